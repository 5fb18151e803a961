#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include <xercesc/util/PlatformUtils.hpp>

#include "FeedServer.h"
#include "ScopedChdir.h"
#include "app/CMapAutoDownload.h"
#include "app/CMapVersionCache.h"
#include "fs/CAtomicFile.h"
#include "http/CHTTPClient.h"
#include "support/FaultServer.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "tcp/CTCPImpl.h"
#include "xml/CXMLFileImpl.h"
#include "xml/CXMLNode.h"

namespace {

struct Item {
    std::string title;
    unsigned int version;
};

std::string MapXml(const std::string& versionText, const std::string& body = "<spawn x=\"1\"/>") {
    return "<map><meta><author>t</author><version>" + versionText + "</version></meta>" + body + "</map>";
}

const char kChecking[] = "Checking RSS feed... ";
const char kInitialTime[] = "00-00-00%2000:00:00";

// The pass runs in a temporary working directory, saves into its "maps" folder, talks to a
// loopback server and reads a clock the test sets.
class UpdatePassTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { xercesc::XMLPlatformUtils::Initialize(); }

    UpdatePassTest() : m_cwd(m_dir.Path()) { mkdir(m_dir.File("maps").c_str(), 0755); }

    std::unique_ptr<CMapAutoDownload> Make(unsigned long frequency = 0, unsigned int fullCheck = 10, int perPassMax = 0,
                                           std::vector<char*> ignored = {}, std::string savePath = "") {
        if (savePath.empty()) savePath = m_dir.File("maps");
        CSettings settings;
        settings.frequency = static_cast<unsigned int>(frequency);
        settings.fullCheckFrequency = fullCheck;
        settings.feedUrl = FeedUrl();
        settings.savePath = savePath;
        settings.ignoredMaps = ignored;
        settings.downloadsPerUpdateMax = perPassMax;
        settings.timeoutSeconds = 5;
        settings.parallelDownloads = m_parallel;
        settings.maxMapSize = m_maxMapSize;
        // The pass's behaviours do not depend on retries, which only make failures slow here.
        settings.retries = 0;
        settings.splay = m_splay;
        return std::make_unique<CMapAutoDownload>(settings, [this] { return m_now; });
    }

    std::string FeedUrl() const { return m_server.Url("/feed.xml?source=test"); }

    void PublishFeed(const std::vector<Item>& items, const std::string& time = "24-05-01 12:00:00") {
        std::string feed = "<rss><channel><title>feed</title>";
        if (!time.empty()) feed += "<time>" + time + "</time>";
        for (const Item& item : items) {
            feed += "<item><title>" + item.title + "</title><link>" + m_server.Url("/maps/" + item.title) +
                    "</link><version>" + std::to_string(item.version) + "</version><author>a</author></item>";
        }
        m_server.Serve("/feed.xml", feed + "</channel></rss>");
    }

    // Publishes a map on the server whose own file says version 1.
    void PublishMap(const std::string& title) { m_server.Serve("/maps/" + title, MapXml("1")); }

    std::string Pulse(CMapAutoDownload& downloader) {
        ::testing::internal::CaptureStdout();
        downloader.DoPulse();
        return ::testing::internal::GetCapturedStdout();
    }

    std::string MapPath(const std::string& title) const { return m_dir.File("maps/" + title); }

    int LocalVersion(CMapAutoDownload& downloader, const std::string& title) {
        return downloader.GetMapVersion(MapPath(title).c_str());
    }

    std::string LastFeedTarget() const {
        std::string last;
        for (const std::string& target : m_server.Targets())
            if (target.rfind("/feed.xml", 0) == 0) last = target;
        return last;
    }

    TempDir m_dir;
    ScopedChdir m_cwd;
    FeedServer m_server;
    unsigned int m_now = 0;
    unsigned int m_parallel = CSettings::kDefaultParallelDownloads;
    unsigned long long m_maxMapSize = 0;
    unsigned int m_splay = 0;
};

TEST_F(UpdatePassTest, FirstPassDownloadsEveryMapAndStampsTheFeedVersion) {
    PublishFeed({{"a.map", 2}, {"b.map", 5}});
    PublishMap("a.map");
    m_server.Serve("/maps/b.map", "<map><meta/></map>");
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) + "\nDownloading a.map... Done\nDownloading b.map... Done\n", Pulse(*downloader));
    EXPECT_EQ(2, LocalVersion(*downloader, "a.map"));
    EXPECT_EQ(5, LocalVersion(*downloader, "b.map"));
    EXPECT_EQ(std::string("/feed.xml?source=test&time=") + kInitialTime, m_server.Targets()[0]);
    EXPECT_TRUE(downloader->LastPassComplete());
}

TEST_F(UpdatePassTest, FeedAddressWithoutAQueryStartsOne) {
    PublishFeed({});
    CSettings settings;
    settings.feedUrl = m_server.Url("/feed.xml");
    settings.savePath = m_dir.File("maps");
    settings.frequency = 0;
    CMapAutoDownload downloader(settings, [] { return 0u; });

    EXPECT_EQ(std::string(kChecking) + "All maps up to date!\n", Pulse(downloader));
    EXPECT_EQ(std::string("/feed.xml?time=") + kInitialTime, LastFeedTarget());
}

TEST_F(UpdatePassTest, MapThatArrivedWholeButTookNoVersionStillCompletesThePass) {
    PublishFeed({{"a.map", 2}});
    m_server.Serve("/maps/a.map", "<map/>");
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) +
                  "\nDownloading a.map... Done\nCould not record the version of a.map: no meta element\n",
              Pulse(*downloader));
    EXPECT_TRUE(downloader->LastPassComplete());
}

TEST_F(UpdatePassTest, PassAfterAFailedOneIsCompleteAgain) {
    auto downloader = Make();
    EXPECT_FALSE(downloader->LastPassComplete());
    Pulse(*downloader);
    EXPECT_FALSE(downloader->LastPassComplete());
    PublishFeed({});
    Pulse(*downloader);
    EXPECT_TRUE(downloader->LastPassComplete());
}

TEST_F(UpdatePassTest, OlderLocalMapIsUpdatedAndEqualOneIsLeftAlone) {
    WriteFile(MapPath("a.map"), MapXml("3"));
    WriteFile(MapPath("b.map"), MapXml("3"));
    PublishFeed({{"a.map", 4}, {"b.map", 3}});
    PublishMap("a.map");
    PublishMap("b.map");
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) + "\nUpdating a.map from version 3 to version 4... Done\n", Pulse(*downloader));
    EXPECT_EQ(4, LocalVersion(*downloader, "a.map"));
    EXPECT_EQ(0, m_server.Count("/maps/b.map"));
}

TEST_F(UpdatePassTest, LocalVersionThatIsNotANumberCountsAsZero) {
    WriteFile(MapPath("neg.map"), MapXml("-7"));
    WriteFile(MapPath("text.map"), MapXml("x"));
    PublishFeed({{"neg.map", 1}, {"text.map", 0}});
    PublishMap("neg.map");
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) + "\nUpdating neg.map from version 0 to version 1... Done\n", Pulse(*downloader));
    EXPECT_EQ(0, m_server.Count("/maps/text.map"));
}

TEST_F(UpdatePassTest, ItemsAreMatchedByNameInAnyCaseAndTakenInDocumentOrder) {
    PublishMap("one.map");
    PublishMap("two.map");
    PublishMap("three.map");
    const std::string link = m_server.Url("/maps/");
    m_server.Serve("/feed.xml",
                   "<rss><CHANNEL><time>t</time>"
                   "<ITEM><title>one.map</title><link>" +
                       link +
                       "one.map</link><version>1</version></ITEM>"
                       "<items><title>three.map</title><link>" +
                       link +
                       "three.map</link></items>"
                       "<note/><Item><title>two.map</title><link>" +
                       link +
                       "two.map</link></Item>"
                       "</CHANNEL></rss>");
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) + "\nDownloading one.map... Done\nDownloading two.map... Done\n",
              Pulse(*downloader));
    EXPECT_EQ(0, m_server.Count("/maps/three.map"));
}

TEST_F(UpdatePassTest, PerPassLimitHoldsMapsBackForTheNextPassWithoutRefetchingTheFeed) {
    PublishFeed({{"a.map", 1}, {"b.map", 1}, {"c.map", 1}});
    PublishMap("a.map");
    PublishMap("b.map");
    PublishMap("c.map");
    auto downloader = Make(60, 10, 2);

    m_now = 60001;
    EXPECT_EQ(std::string(kChecking) +
                  "\nDownloading a.map... Done\nDownloading b.map... Done\n"
                  "Skipped downloading of 1 maps\n",
              Pulse(*downloader));
    EXPECT_TRUE(downloader->LastPassComplete());
    m_now += 60001;
    EXPECT_EQ(std::string(kChecking) + "\nDownloading c.map... Done\n", Pulse(*downloader));
    EXPECT_EQ(1, m_server.Count("/feed.xml"));
    EXPECT_EQ(1, LocalVersion(*downloader, "c.map"));
    m_now += 60001;
    EXPECT_EQ(std::string(kChecking) + "All maps up to date!\n", Pulse(*downloader));
    EXPECT_EQ(2, m_server.Count("/feed.xml"));
}

// A pass is due once more than one period has passed since the last one, across the clock's
// wrap too, and however long the period.
TEST_F(UpdatePassTest, PassIsDueOnlyWhenMoreThanOnePeriodHasPassed) {
    PublishFeed({});
    constexpr unsigned int kLongest = CMapAutoDownload::kLongestPeriodMs;
    struct Case {
        unsigned int frequency;
        std::vector<std::pair<unsigned int, bool>> pulses;  // the clock, and whether a pass runs
    };
    const Case cases[] = {
        {60, {{60000, false}, {60001, true}, {120001, false}, {120002, true}}},
        {60, {{0xFFFFFF00u, true}, {0xFFFFFF00u + 60000u, false}, {0xFFFFFF00u + 60001u, true}}},
        // 4294968 s * 1000 wraps a 32-bit count to 704 ms.
        {4294968, {{5000, false}}},
        // Beyond the clock's range the period is capped, so it still comes due.
        {2147483647, {{kLongest, false}, {kLongest + 1000, true}}},
    };
    for (const Case& c : cases) {
        auto downloader = Make(c.frequency);
        for (const auto& pulse : c.pulses) {
            m_now = pulse.first;
            EXPECT_EQ(pulse.second, !Pulse(*downloader).empty()) << c.frequency << " s, at " << pulse.first;
        }
    }
}

// With a splay each pass waits its own drawn delay after the period: the longest, then none.
TEST_F(UpdatePassTest, SplayDelaysEachPassByAFreshDraw) {
    PublishFeed({});
    m_splay = 30;
    auto downloader = Make(60);
    std::vector<unsigned int> delays = {0, 0, 30000};  // drawn from the back
    std::vector<unsigned int> longest;
    downloader->SetSplayDraw([&](unsigned int longestMs) {
        longest.push_back(longestMs);
        const unsigned int delay = delays.empty() ? 0 : delays.back();
        if (!delays.empty()) delays.pop_back();
        return delay;
    });
    const std::pair<unsigned int, bool> pulses[] = {{60001, false}, {90000, false}, {90001, true}, {150002, true}};
    for (const auto& [now, runs] : pulses) {
        m_now = now;
        EXPECT_EQ(runs, !Pulse(*downloader).empty()) << "at " << now;
    }
    EXPECT_EQ((std::vector<unsigned int>{30000, 30000, 30000}), longest);
}

TEST_F(UpdatePassTest, IncrementalRequestsCarryTheFeedTimeAndEveryThirdIsAFullCheck) {
    PublishFeed({}, "24-05-01 12:00:00");
    auto downloader = Make(60, 3);
    const std::string base = "/feed.xml?source=test&time=";
    for (int pass = 1; pass <= 4; ++pass) {
        m_now += 60001;
        Pulse(*downloader);
    }
    EXPECT_EQ((std::vector<std::string>{base + kInitialTime, base + "24-05-01%2012:00:00", base + kInitialTime,
                                        base + "24-05-01%2012:00:00"}),
              m_server.Targets());
}

TEST_F(UpdatePassTest, FeedWithoutTimeMakesTheNextRequestEndInAnEmptyTime) {
    PublishFeed({}, "");
    auto downloader = Make();
    Pulse(*downloader);
    Pulse(*downloader);
    EXPECT_EQ("/feed.xml?source=test&time=", LastFeedTarget());
}

TEST_F(UpdatePassTest, FeedDownloadFailureIsReportedAndKeepsTheFeedTime) {
    PublishFeed({}, "T1");
    auto downloader = Make();
    Pulse(*downloader);
    m_server.Remove("/feed.xml");

    EXPECT_EQ(std::string(kChecking) + "Failed\nError downloading RSS feed: 404 - Not Found\n", Pulse(*downloader));
    EXPECT_STREQ("T1", downloader->LastFeedTime());
    EXPECT_FALSE(downloader->LastPassComplete());
    EXPECT_EQ("404 - Not Found", downloader->LastPass().feedError);
}

// A feed that arrived but cannot be put in place as autoupdate.xml (a directory holds the name)
// fails the pass with the reason, fetches no map and leaves no temporary file.
TEST_F(UpdatePassTest, FeedCopyThatCannotBePutInPlaceFailsThePass) {
    PublishFeed({{"a.map", 4}});
    PublishMap("a.map");
    ASSERT_EQ(0, mkdir(m_dir.File("autoupdate.xml").c_str(), 0755));
    WriteFile(m_dir.File("autoupdate.xml/keep"), "x");
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) +
                  "Failed\nError downloading RSS feed: Unable to write destination file autoupdate.xml: Is a "
                  "directory\n",
              Pulse(*downloader));
    EXPECT_FALSE(downloader->LastPassComplete());
    EXPECT_EQ(0, m_server.Count("/maps/a.map"));
    EXPECT_EQ((std::vector<std::string>{"autoupdate.xml", "maps"}), ListDirectory(m_dir.Path()));
}

// A feed that would never end (or end only after filling the disk) is cut off at 1 GiB; one that
// says so up front fails at once.
TEST_F(UpdatePassTest, FeedLargerThanTheLimitFailsThePassAndLeavesNothing) {
    m_server.ServeRaw("/feed.xml", "HTTP/1.0 200 OK\r\nContent-Length: 1073741825\r\n\r\n<rss>");
    auto downloader = Make();
    EXPECT_EQ(std::string(kChecking) + "Failed\nError downloading RSS feed: Body larger than 1073741824 bytes\n",
              Pulse(*downloader));
    EXPECT_EQ((std::vector<std::string>{"maps"}), ListDirectory(m_dir.Path()));
}

TEST_F(UpdatePassTest, UnparsableFeedFailsThePassAndKeepsTheFeedTime) {
    PublishFeed({}, "T1");
    auto downloader = Make();
    Pulse(*downloader);
    m_server.Serve("/feed.xml", "<rss><channel><time>T2</time>");

    const std::string out = Pulse(*downloader);
    const std::string prefix = std::string(kChecking) + "Failed\nError parsing RSS feed: ";
    ASSERT_EQ(prefix, out.substr(0, prefix.size()));
    EXPECT_GT(out.size(), prefix.size() + 1);
    // One line with the parser's text, and nothing after it.
    EXPECT_EQ(out.size() - 1, out.find('\n', prefix.size()));
    EXPECT_STREQ("T1", downloader->LastFeedTime());
    EXPECT_FALSE(downloader->LastPassComplete());
    Pulse(*downloader);
    EXPECT_EQ("/feed.xml?source=test&time=T1", LastFeedTarget());
}

TEST_F(UpdatePassTest, FeedWithoutChannelFailsThePass) {
    m_server.Serve("/feed.xml", "<rss><time>T2</time></rss>");
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) + "Failed\nError parsing RSS feed: no channel element\n", Pulse(*downloader));
    EXPECT_STREQ("00-00-00 00:00:00", downloader->LastFeedTime());
    EXPECT_FALSE(downloader->LastPassComplete());
    EXPECT_EQ("no channel element", downloader->LastPass().feedError);
}

TEST_F(UpdatePassTest, FailedMapDownloadIsReportedAndLeavesTheOldMapAndVersion) {
    const std::string old = MapXml("3", "<old/>");
    WriteFile(MapPath("a.map"), old);
    PublishFeed({{"a.map", 4}});
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) +
                  "\nUpdating a.map from version 3 to version 4... Failed\n"
                  "Error downloading a.map: 404 - Not Found\n",
              Pulse(*downloader));
    EXPECT_EQ(old, ReadFile(MapPath("a.map")));
    EXPECT_FALSE(downloader->LastPassComplete());
    Pulse(*downloader);
    EXPECT_EQ(2, m_server.Count("/maps/a.map"));
}

// The feed lists a failed map again only when asked for everything since the pass before.
TEST_F(UpdatePassTest, FeedTimeStaysBehindAPassWhoseMapFailed) {
    PublishFeed({{"a.map", 1}}, "T1");
    auto downloader = Make();
    Pulse(*downloader);
    EXPECT_STREQ("00-00-00 00:00:00", downloader->LastFeedTime());
    PublishMap("a.map");
    PublishFeed({{"a.map", 1}}, "T2");
    Pulse(*downloader);
    EXPECT_STREQ("T2", downloader->LastFeedTime());
    EXPECT_EQ(1, LocalVersion(*downloader, "a.map"));
}

// A map held back and failing in a later pass was listed by the stored feed: the next request
// reaches back as far as the one that fetched it, so an incremental feed lists the map again.
TEST_F(UpdatePassTest, FeedTimeStaysBehindAHeldBackMapThatFailed) {
    PublishFeed({{"a.map", 1}, {"b.map", 1}}, "T1");
    PublishMap("a.map");
    auto downloader = Make(60, 10, 1);
    m_now = 60001;
    Pulse(*downloader);
    m_now += 60001;
    EXPECT_NE(std::string::npos, Pulse(*downloader).find("Error downloading b.map: 404"));
    m_now += 60001;
    Pulse(*downloader);
    EXPECT_EQ(2, m_server.Count("/feed.xml"));
    EXPECT_EQ(std::string("/feed.xml?source=test&time=") + kInitialTime, LastFeedTarget());
}

// A pass that walks the stored feed asks the server nothing, so a full check that falls on it
// waits for the next pass that asks.
TEST_F(UpdatePassTest, FullCheckFallingOnAHeldBackPassIsAskedForByTheNextFetch) {
    PublishFeed({{"a.map", 1}, {"b.map", 1}}, "T1");
    PublishMap("a.map");
    PublishMap("b.map");
    auto downloader = Make(60, 2, 1);
    for (int pass = 0; pass < 3; ++pass) {
        m_now += 60001;
        Pulse(*downloader);
    }
    EXPECT_EQ(2, m_server.Count("/feed.xml"));
    EXPECT_EQ(std::string("/feed.xml?source=test&time=") + kInitialTime, LastFeedTarget());
}

TEST_F(UpdatePassTest, MapPathThatIsNotAReadableRegularFileIsLeftAlone) {
    ASSERT_EQ(0, mkfifo(MapPath("fifo.map").c_str(), 0644));
    ASSERT_EQ(0, mkdir(MapPath("dir.map").c_str(), 0755));
    ASSERT_EQ(0, symlink("loop.map", MapPath("loop.map").c_str()));
    PublishFeed({{"fifo.map", 1}, {"dir.map", 1}, {"loop.map", 1}, {"ok.map", 1}});
    for (const char* title : {"fifo.map", "dir.map", "loop.map", "ok.map"}) PublishMap(title);
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) +
                  "\nSkipping map that is not a regular file: fifo.map\n"
                  "Skipping map that is not a regular file: dir.map\n"
                  "Cannot read map loop.map: Too many levels of symbolic links\n"
                  "Downloading ok.map... Done\n",
              Pulse(*downloader));
    EXPECT_EQ(0, m_server.Count("/maps/fifo.map") + m_server.Count("/maps/dir.map") + m_server.Count("/maps/loop.map"));
    struct stat info {};
    ASSERT_EQ(0, lstat(MapPath("fifo.map").c_str(), &info));
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST_F(UpdatePassTest, StopRequestEndsThePassAfterTheMapInProgress) {
    PublishFeed({{"a.map", 1}, {"b.map", 1}});
    PublishMap("a.map");
    PublishMap("b.map");
    m_parallel = 1;
    auto downloader = Make();
    // The stop arrives while a.map downloads; the readers of the feed and the maps ask too, so
    // the check depends on what the server saw, not on how often it is asked.
    downloader->SetStopCheck([this] { return m_server.Count("/maps/a.map") > 0; });

    EXPECT_EQ(std::string(kChecking) + "\nDownloading a.map... Done\n", Pulse(*downloader));
    EXPECT_EQ(0, m_server.Count("/maps/b.map"));
    EXPECT_FALSE(downloader->LastPassComplete());
    downloader->SetStopCheck({});
    EXPECT_EQ(1, LocalVersion(*downloader, "a.map"));
}

TEST_F(UpdatePassTest, MapDownloadCutShortLeavesNoFileAndNoVersion) {
    PublishFeed({{"a.map", 4}});
    m_server.ServeRaw("/maps/a.map", "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n<map><meta>");
    auto downloader = Make();

    const std::string out = Pulse(*downloader);
    const std::string prefix = std::string(kChecking) + "\nDownloading a.map... Failed\nError downloading a.map: ";
    EXPECT_EQ(prefix, out.substr(0, prefix.size()));
    EXPECT_EQ(out.size() - 1, out.find('\n', prefix.size()));
    EXPECT_EQ(std::vector<std::string>{}, ListDirectory(m_dir.File("maps")));
}

TEST_F(UpdatePassTest, BodyThatIsNotAnXmlDocumentNeverReplacesTheMap) {
    const std::string old = MapXml("3", "<old/>");
    const char* const notXml = "not an XML document (";
    // The reason's start and the end of the output.
    const struct {
        std::string body;
        std::string reason;
        std::string ending;
    } cases[] = {
        {"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body>Service unavailable</body>", notXml, ")\n"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", notXml, ")\n"},
        // No Content-Length: the close looks like the end, and the map is cut off.
        {"HTTP/1.0 200 OK\r\n\r\n<map><meta><version>4</version></meta><spawn", notXml, ")\n"},
        // Refused before its framing could be read as the map.
        {"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n<map>\r\n0\r\n\r\n",
         "Unsupported Transfer-Encoding", "Encoding\n"}};
    for (const auto& [body, reason, ending] : cases) {
        WriteFile(MapPath("a.map"), old);
        PublishFeed({{"a.map", 4}});
        m_server.ServeRaw("/maps/a.map", body);
        auto downloader = Make();

        const std::string out = Pulse(*downloader);
        const std::string prefix = std::string(kChecking) +
                                   "\nUpdating a.map from version 3 to version 4... Failed\n"
                                   "Error downloading a.map: " +
                                   reason;
        EXPECT_EQ(prefix, out.substr(0, prefix.size())) << body;
        EXPECT_EQ(ending, out.substr(out.size() - ending.size())) << body;
        EXPECT_EQ(old, ReadFile(MapPath("a.map"))) << body;
        EXPECT_EQ(std::vector<std::string>{"a.map"}, ListDirectory(m_dir.File("maps"))) << body;
    }
}

// A told length over the limit fails before any body byte is read (none is sent here); an untold
// one as soon as the bytes pass it.
TEST_F(UpdatePassTest, MapLargerThanTheLimitNeverReplacesTheOldOne) {
    const std::string old = MapXml("3", "<old/>");
    const std::string big = MapXml("4", std::string(1100, ' '));
    const std::string responses[] = {
        "HTTP/1.0 200 OK\r\nContent-Length: 1025\r\n\r\n",
        "HTTP/1.0 200 OK\r\n\r\n" + big,
    };
    m_maxMapSize = 1024;
    for (const std::string& response : responses) {
        WriteFile(MapPath("a.map"), old);
        PublishFeed({{"a.map", 4}});
        m_server.ServeRaw("/maps/a.map", response);
        auto downloader = Make();

        EXPECT_EQ(std::string(kChecking) +
                      "\nUpdating a.map from version 3 to version 4... Failed\n"
                      "Error downloading a.map: larger than maxmapsize (1k)\n",
                  Pulse(*downloader))
            << response;
        EXPECT_EQ(old, ReadFile(MapPath("a.map")));
        EXPECT_EQ(std::vector<std::string>{"a.map"}, ListDirectory(m_dir.File("maps")));
        EXPECT_FALSE(downloader->LastPassComplete());
    }
    // Up to the limit is taken.
    m_server.Serve("/maps/a.map", MapXml("1", std::string(1024 - MapXml("1", "").size(), ' ')));
    auto downloader = Make();
    Pulse(*downloader);
    EXPECT_EQ(4, LocalVersion(*downloader, "a.map"));
}

TEST_F(UpdatePassTest, StampKeepsEveryByteOutsideTheRecordOfAPrefixedMap) {
    const std::string map =
        "<?xml version=\"1.0\"?>\r\n<!-- by hand -->\r\n<map editor:definitions=\"main\" b='2' a='1'>"
        "\r\n\t<meta><version>1</version></meta>\r\n\t<ed:spawn/>\r\n</map>\r\n";
    PublishFeed({{"a.map", 6}});
    m_server.Serve("/maps/a.map", map);
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) + "\nDownloading a.map... Done\n", Pulse(*downloader));
    std::string expected = map;
    expected.replace(expected.find("<version>1<"), 11, "<version>6<");
    EXPECT_EQ(expected, ReadFile(MapPath("a.map")));
    EXPECT_EQ(std::vector<std::string>{"a.map"}, ListDirectory(m_dir.File("maps")));
    EXPECT_EQ(std::string(kChecking) + "All maps up to date!\n", Pulse(*downloader));
}

// Maps of several MiB are checked and stamped while they arrive: with the record near the top, and
// with it so far down that the body is written as it came and stamped by a copy afterwards.
TEST_F(UpdatePassTest, BigMapIsStampedWhereverItsRecordLies) {
    std::string spawns;
    for (int i = 0; spawns.size() < 6u << 20; ++i) spawns += "<spawn x=\"" + std::to_string(i) + "\"/>\n";
    const std::string maps[] = {MapXml("1", spawns), "<map>" + spawns + "<meta><version>1</version></meta></map>"};
    for (const std::string& map : maps) {
        WriteFile(MapPath("a.map"), MapXml("3"));
        PublishFeed({{"a.map", 4}});
        m_server.Serve("/maps/a.map", map);
        auto downloader = Make();

        EXPECT_EQ(std::string(kChecking) + "\nUpdating a.map from version 3 to version 4... Done\n",
                  Pulse(*downloader));
        std::string expected = map;
        expected.replace(expected.find("<version>1<"), 11, "<version>4<");
        EXPECT_TRUE(expected == ReadFile(MapPath("a.map")));
        EXPECT_EQ(std::vector<std::string>{"a.map"}, ListDirectory(m_dir.File("maps")));
    }
}

// A big body that breaks off, or stops being XML, after MiBs were checked and written: the old map
// stays and the half-written file goes, whether the record was near the top or far down.
TEST_F(UpdatePassTest, BigBodyCutShortOrNotXmlLateNeverReplacesTheMap) {
    std::string spawns;
    for (int i = 0; spawns.size() < 6u << 20; ++i) spawns += "<spawn x=\"" + std::to_string(i) + "\"/>\n";
    const std::string near = MapXml("1", spawns);
    const std::string far = "<map>" + spawns + "<meta><version>1</version></meta></map>";
    const std::size_t cut = 5u << 20;
    const std::string told = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(near.size()) + "\r\n\r\n";
    const struct {
        std::string response;
        std::string error;
    } cases[] = {
        {told + near.substr(0, cut),
         "Incomplete response body: " + std::to_string(cut) + " of " + std::to_string(near.size()) + " bytes\n"},
        {"HTTP/1.0 200 OK\r\n\r\n" + near.substr(0, cut), "not an XML document ("},
        {"HTTP/1.0 200 OK\r\n\r\n" + far.substr(0, cut), "not an XML document ("},
        {told + near.substr(0, cut) + "<<" + near.substr(cut + 2), "not an XML document (line "},
    };
    const std::string old = MapXml("3", "<old/>");
    for (const auto& c : cases) {
        WriteFile(MapPath("a.map"), old);
        PublishFeed({{"a.map", 4}});
        m_server.ServeRaw("/maps/a.map", c.response);
        auto downloader = Make();

        const std::string out = Pulse(*downloader);
        const std::string prefix = std::string(kChecking) +
                                   "\nUpdating a.map from version 3 to version 4... Failed\n"
                                   "Error downloading a.map: " +
                                   c.error;
        EXPECT_EQ(prefix, out.substr(0, prefix.size())) << c.error;
        EXPECT_EQ(old, ReadFile(MapPath("a.map"))) << c.error;
        EXPECT_EQ(std::vector<std::string>{"a.map"}, ListDirectory(m_dir.File("maps"))) << c.error;
    }
}

// A body the parser refused is not read on: a link to an endless stream that is no XML (a radio
// station, a log) ends the map's download instead of holding the pass for ever.
TEST_F(UpdatePassTest, BodyThatIsNotXmlIsNotReadToItsEnd) {
    std::atomic<std::size_t> sent{0};
    FaultServer server([&](FaultServer&, int fd, const std::string&) {
        FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n");
        const std::string noise(64u << 10, 'x');
        while (sent < (256u << 20) && FaultServer::SendAll(fd, noise)) sent += noise.size();
    });
    CTCPImpl tcp;
    CHTTPClient http(&tcp);
    std::string detail;
    std::unique_ptr<CAtomicFile> stamped;

    EXPECT_EQ(CMapAutoDownload::DownloadOutcome::Failed,
              CMapAutoDownload::DownloadAndStamp(http, server.Url("/a.map").c_str(), AT_FDCWD, "maps/a.map",
                                                 "maps/a.map", 9, detail, stamped));
    EXPECT_EQ("not an XML document (line 1, column 1: invalid document structure)", detail);
    EXPECT_LT(sent.load(), 16u << 20);
    EXPECT_EQ(std::vector<std::string>{}, ListDirectory(m_dir.File("maps")));
}

// A try that broke off once the parser and the map's file had a MiB of the body: the next try
// starts both over, and the map is the second try's body, stamped.
TEST_F(UpdatePassTest, RetriedBigMapStartsItsCheckAndItsFileOver) {
    std::string spawns;
    for (int i = 0; spawns.size() < 2u << 20; ++i) spawns += "<spawn x=\"" + std::to_string(i) + "\"/>\n";
    const std::string map = MapXml("1", spawns);
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(map.size()) + "\r\n\r\n";
    FaultServer server([&](FaultServer& peer, int fd, const std::string&) {
        FaultServer::SendAll(fd, head + (peer.Connections() == 1 ? map.substr(0, 1u << 20) : map));
    });
    CTCPImpl tcp;
    CHTTPClient http(&tcp);
    http.SetRetries(1);
    http.SetRetryWait([](std::chrono::milliseconds) { return true; });
    std::string detail;
    std::unique_ptr<CAtomicFile> stamped;

    EXPECT_EQ(CMapAutoDownload::DownloadOutcome::Stamped,
              CMapAutoDownload::DownloadAndStamp(http, server.Url("/a.map").c_str(), AT_FDCWD, "maps/a.map",
                                                 "maps/a.map", 9, detail, stamped))
        << detail;
    ASSERT_TRUE(stamped && stamped->Commit());
    EXPECT_EQ(2, server.Connections());
    std::string expected = map;
    expected.replace(expected.find("<version>1<"), 11, "<version>9<");
    EXPECT_TRUE(expected == ReadFile(MapPath("a.map")));
    EXPECT_EQ(std::vector<std::string>{"a.map"}, ListDirectory(m_dir.File("maps")));
}

TEST_F(UpdatePassTest, UnsafeTitlesAreNeverOpenedOrWritten) {
    PublishFeed({{"", 1},
                 {".", 1},
                 {"..", 1},
                 {"../escape.map", 1},
                 {"sub/x.map", 1},
                 {"back\\slash.map", 1},
                 {"fake&#10;Downloading x.map... Done", 1},
                 {"tab&#9;del\x7f.map", 1},
                 {".a.map.mad-ABCDEFGH.part", 1},
                 {"csi\xc2\x9b"
                  "2J.map",
                  1},
                 {"nel\xc2\x85"
                  "fake",
                  1},
                 {"evil\xe2\x80\xaegnp.map", 1},
                 {"\xe2\x81\xa6isolated.map", 1},
                 {"ok.map", 1},
                 {"caf\xc3\xa9\xe2\x80\xa0.map", 1}});
    PublishMap("../escape.map");
    PublishMap("ok.map");
    PublishMap("caf\xc3\xa9\xe2\x80\xa0.map");
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) +
                  "\nSkipping map with an unsafe name: \n"
                  "Skipping map with an unsafe name: .\n"
                  "Skipping map with an unsafe name: ..\n"
                  "Skipping map with an unsafe name: ../escape.map\n"
                  "Skipping map with an unsafe name: sub/x.map\n"
                  "Skipping map with an unsafe name: back\\slash.map\n"
                  "Skipping map with an unsafe name: fake\\x0aDownloading x.map... Done\n"
                  "Skipping map with an unsafe name: tab\\x09del\\x7f.map\n"
                  "Skipping map with an unsafe name: .a.map.mad-ABCDEFGH.part\n"
                  "Skipping map with an unsafe name: csi\\xc2\\x9b2J.map\n"
                  "Skipping map with an unsafe name: nel\\xc2\\x85"
                  "fake\n"
                  "Skipping map with an unsafe name: evil\\xe2\\x80\\xaegnp.map\n"
                  "Skipping map with an unsafe name: \\xe2\\x81\\xa6isolated.map\n"
                  "Downloading ok.map... Done\n"
                  "Downloading caf\xc3\xa9\xe2\x80\xa0.map... Done\n",
              Pulse(*downloader));
    EXPECT_FALSE(FileExists(m_dir.File("escape.map")));
    // The feed and the two good maps, nothing else.
    EXPECT_EQ(3u, m_server.Targets().size());
    EXPECT_FALSE(downloader->LastPassComplete());
}

// Titles are judged as the parser decoded them, whatever the feed's encoding or way of writing.
TEST_F(UpdatePassTest, HiddenControlsInATitleNeverReachTheConsole) {
    const std::string item = "<item><link>" + m_server.Url("/maps/a.map") + "</link><version>1</version><title>";
    const struct {
        std::string feed;
        std::string shown;
    } cases[] = {
        // XML 1.1 lets a feed carry an escape byte as a character reference.
        {"<?xml version=\"1.1\"?><rss><channel>" + item + "a&#x1b;[2J.map", "a\\x1b[2J.map"},
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><rss><channel>" + item + "a\x9b[2J.map", "a\\xc2\\x9b[2J.map"},
        {"<rss><channel>" + item + "a&#x202E;gnp.map", "a\\xe2\\x80\\xaegnp.map"},
        // A title cut at the feed's limit inside a character: the cut bytes are no UTF-8.
        {"<rss><channel>" + item + std::string(254, 'a') + "\xc3\xa9", std::string(254, 'a') + "\\xc3"},
    };
    for (const auto& c : cases) {
        m_server.Serve("/feed.xml", c.feed + "</title></item></channel></rss>");
        auto downloader = Make();
        EXPECT_EQ(std::string(kChecking) + "\nSkipping map with an unsafe name: " + c.shown + "\n", Pulse(*downloader))
            << c.shown;
    }
    EXPECT_EQ(std::vector<std::string>{}, ListDirectory(m_dir.File("maps")));
    EXPECT_EQ(0, m_server.Count("/maps/a.map"));
}

// A server's reason phrase and a parser's quote of a document reach the pass's lines, the hooks'
// MAD_FEED_ERROR and the service's status: a line break or an escape there must stay visible text.
TEST_F(UpdatePassTest, ServerTextInAnErrorCannotMakeUpLinesOrSteerTheTerminal) {
    const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\nWATCHDOG=trigger\x1b[2J\"?>";
    const std::string quoted = "'UTF-8\\x0aWATCHDOG=trigger\\x1b[2J'";
    const auto lines = [](const std::string& text) { return std::count(text.begin(), text.end(), '\n'); };
    auto downloader = Make();
    m_server.ServeRaw("/feed.xml",
                      "HTTP/1.0 404 Not\x1b[2J\xe2\x80\xae"
                      "Found\r\n\r\n");
    EXPECT_EQ(std::string(kChecking) + "Failed\nError downloading RSS feed: 404 - Not\\x1b[2J\\xe2\\x80\\xaeFound\n",
              Pulse(*downloader));
    EXPECT_EQ("404 - Not\\x1b[2J\\xe2\\x80\\xaeFound", downloader->LastPass().feedError);

    m_server.Serve("/feed.xml", declaration + "<rss><channel/></rss>");
    std::string out = Pulse(*downloader);
    EXPECT_NE(std::string::npos, out.find(quoted)) << out;
    EXPECT_EQ(2, lines(out)) << out;
    EXPECT_NE(std::string::npos, downloader->LastPass().feedError.find(quoted));

    PublishFeed({{"a.map", 2}});
    m_server.Serve("/maps/a.map", declaration + MapXml("1"));
    out = Pulse(*downloader);
    EXPECT_NE(std::string::npos, out.find("Error downloading a.map: not an XML document (")) << out;
    EXPECT_NE(std::string::npos, out.find(quoted)) << out;
    EXPECT_EQ(3, lines(out)) << out;
}

TEST_F(UpdatePassTest, FeedCannotOverwriteTheProgramsOwnFilesInTheWorkingDirectory) {
    WriteFile(m_dir.File("config.xml"), "<config><url>x</url></config>");
    PublishFeed({{"config.xml", 1}, {"autoupdate.xml", 1}, {"mapversions.dat", 1}, {"Config.XML", 1}, {"ok.map", 1}});
    PublishMap("config.xml");
    PublishMap("autoupdate.xml");
    PublishMap("mapversions.dat");
    PublishMap("ok.map");
    // The working directory named another way than ".".
    auto downloader = Make(0, 10, 0, {}, m_dir.Path() + "/maps/..");

    EXPECT_EQ(std::string(kChecking) +
                  "\nSkipping map with an unsafe name: config.xml\n"
                  "Skipping map with an unsafe name: autoupdate.xml\n"
                  "Skipping map with an unsafe name: mapversions.dat\n"
                  "Skipping map with an unsafe name: Config.XML\n"
                  "Downloading ok.map... Done\n",
              Pulse(*downloader));
    EXPECT_EQ("<config><url>x</url></config>", ReadFile(m_dir.File("config.xml")));
    EXPECT_EQ(0, m_server.Count("/maps/config.xml"));
}

TEST_F(UpdatePassTest, ProgramFileNamesAreOrdinaryMapsInAnotherDirectory) {
    PublishFeed({{"config.xml", 1}});
    PublishMap("config.xml");
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) + "\nDownloading config.xml... Done\n", Pulse(*downloader));
}

TEST_F(UpdatePassTest, MapPathThatDoesNotFitIsSkippedByName) {
    const std::string title(200, 't');
    PublishFeed({{title, 1}});
    // 311 + "/" + 200 characters do not fit the 512-byte map path (relative to the working
    // directory, so the directory can be made whatever the temporary directory's path).
    const std::string savePath = "maps/" + std::string(200, 'd') + "/" + std::string(105, 'd');
    ASSERT_EQ(0, mkdir(savePath.substr(0, 205).c_str(), 0755));
    ASSERT_EQ(0, mkdir(savePath.c_str(), 0755));
    auto downloader = Make(0, 10, 0, {}, savePath);

    EXPECT_EQ(std::string(kChecking) + "\nSkipping map with a name or path that is too long: " + title + "\n",
              Pulse(*downloader));
    EXPECT_EQ(0, m_server.Count("/maps/" + title));
    EXPECT_FALSE(downloader->LastPassComplete());
}

TEST_F(UpdatePassTest, SaveDirectoryThatCannotBeOpenedFailsThePass) {
    PublishFeed({{"a.map", 1}});
    PublishMap("a.map");
    auto downloader = Make(0, 10, 0, {}, m_dir.File("gone"));

    EXPECT_EQ(std::string(kChecking) + "Failed\nCannot open the save directory " + m_dir.File("gone") +
                  ": No such file or directory\n",
              Pulse(*downloader));
    EXPECT_EQ(0, m_server.Count("/maps/a.map"));
    EXPECT_FALSE(downloader->LastPassComplete());
}

TEST_F(UpdatePassTest, TitleLongerThanTheFeedLimitIsSkipped) {
    const std::string title(300, 'n');
    PublishFeed({{title, 1}});
    auto downloader = Make();

    EXPECT_EQ(
        std::string(kChecking) + "\nSkipping map with a name or path that is too long: " + title.substr(0, 255) + "\n",
        Pulse(*downloader));
}

// Passes that download several maps at once, against servers that answer in a scrambled order.
class ParallelPassTest : public UpdatePassTest {
protected:
    // The same starting disk for every run: an older map, an equal one, one that is not XML.
    void SeedMaps(const std::string& folder) {
        ASSERT_EQ(0, mkdir(m_dir.File(folder).c_str(), 0755));
        WriteFile(m_dir.File(folder + "/old.map"), MapXml("3"));
        WriteFile(m_dir.File(folder + "/same.map"), MapXml("3"));
        WriteFile(m_dir.File(folder + "/broken.map"), "not xml");
    }

    std::string Run(unsigned int parallel, const std::string& folder, int perPassMax = 0) {
        m_parallel = parallel;
        auto downloader = Make(0, 10, perPassMax, {}, m_dir.File(folder));
        std::string output = Pulse(*downloader);
        m_passes.push_back(downloader->LastPass());
        return output;
    }

    // Every file of the folder with its bytes.
    std::vector<std::string> Contents(const std::string& folder) const {
        std::vector<std::string> contents;
        for (const std::string& name : ListDirectory(m_dir.File(folder)))
            contents.push_back(name + "=" + ReadFile(m_dir.File(folder + "/" + name)));
        return contents;
    }

    std::vector<CPassResult> m_passes;
};

TEST_F(ParallelPassTest, OutputAndDiskAreTheSameAtOneFourAndSixteen) {
    std::vector<Item> items = {{"old.map", 4}, {"same.map", 3},  {"broken.map", 2},
                               {"dup.map", 6}, {"../up.map", 1}, {"gone.map", 1}};
    for (int i = 0; i < 10; ++i) items.push_back({"n" + std::to_string(i) + ".map", 1});
    // Listed twice: the second item must be judged by what the first download left.
    items.push_back({"dup.map", 6});
    PublishFeed(items);
    int index = 0;
    for (const Item& item : items) {
        if (item.title != "gone.map") PublishMap(item.title);
        m_server.Delay("/maps/" + item.title, (index++ * 7) % 5 * 25);
    }

    std::vector<std::string> outputs;
    std::vector<std::vector<std::string>> disks;
    std::vector<std::string> answered;
    for (unsigned int parallel : {1u, 4u, 16u}) {
        const std::string folder = "maps" + std::to_string(parallel);
        SeedMaps(folder);
        const std::size_t before = m_server.Answered().size();
        outputs.push_back(Run(parallel, folder, 12));
        disks.push_back(Contents(folder));
        const std::vector<std::string> all = m_server.Answered();
        answered.assign(all.begin() + static_cast<long>(before), all.end());
    }

    EXPECT_EQ(std::string(kChecking) +
                  "\nUpdating old.map from version 3 to version 4... Done\n"
                  "Version info not found in broken.map, downloading again... Done\n"
                  "Downloading dup.map... Done\n"
                  "Skipping map with an unsafe name: ../up.map\n"
                  "Downloading gone.map... Failed\nError downloading gone.map: 404 - Not Found\n"
                  "Downloading n0.map... Done\nDownloading n1.map... Done\n"
                  "Downloading n2.map... Done\nDownloading n3.map... Done\n"
                  "Downloading n4.map... Done\nDownloading n5.map... Done\n"
                  "Downloading n6.map... Done\nDownloading n7.map... Done\n"
                  "Skipped downloading of 2 maps\n",
              outputs[0]);
    EXPECT_EQ(outputs[0], outputs[1]);
    EXPECT_EQ(outputs[0], outputs[2]);
    // The pass's record is in feed order too, whatever order the downloads ended in.
    using Titles = std::vector<std::string>;
    for (const CPassResult& pass : m_passes) {
        EXPECT_EQ((Titles{"old.map", "broken.map", "dup.map", "n0.map", "n1.map", "n2.map", "n3.map", "n4.map",
                          "n5.map", "n6.map", "n7.map"}),
                  pass.updated);
        EXPECT_EQ(Titles{"gone.map"}, pass.failed);
        EXPECT_EQ(Titles{"../up.map"}, pass.refused);
        EXPECT_EQ(2u, pass.upToDate);
        EXPECT_EQ(2u, pass.heldBack);
        EXPECT_FALSE(pass.complete);
        EXPECT_TRUE(pass.feedError.empty());
    }
    EXPECT_EQ(disks[0], disks[1]);
    EXPECT_EQ(disks[0], disks[2]);
    // The last run's servers really did answer out of feed order.
    std::vector<std::string> sorted = answered;
    std::sort(sorted.begin(), sorted.end(), [&items](const std::string& a, const std::string& b) {
        auto position = [&items](const std::string& path) {
            return std::find_if(items.begin(), items.end(),
                                [&path](const Item& item) { return path == "/maps/" + item.title; }) -
                   items.begin();
        };
        return position(a) < position(b);
    });
    EXPECT_NE(sorted, answered);
}

TEST_F(ParallelPassTest, StopStartsNothingNewAndFinishesWhatIsInFlight) {
    std::vector<Item> items;
    for (int i = 0; i < 8; ++i) items.push_back({"m" + std::to_string(i) + ".map", 2});
    PublishFeed(items);
    for (const Item& item : items) {
        PublishMap(item.title);
        m_server.Delay("/maps/" + item.title, 150);
    }
    // Cut short while the stop is pending: its temporary file must go too.
    m_server.ServeRaw("/maps/m1.map", "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n<map>");
    // Three workers: a fourth map waits for a free one (at least the server's delay), by which
    // time the stop has come, since the third map has been asked for.
    m_parallel = 3;
    auto downloader = Make();
    downloader->SetStopCheck([this] { return m_server.Count("/maps/m2.map") > 0; });

    EXPECT_EQ(std::string(kChecking) +
                  "\nDownloading m0.map... Done\n"
                  "Downloading m1.map... Failed\n"
                  "Error downloading m1.map: Incomplete response body: 5 of 1000 bytes\n"
                  "Downloading m2.map... Done\n",
              Pulse(*downloader));
    EXPECT_EQ((std::vector<std::string>{"m0.map", "m2.map"}), ListDirectory(m_dir.File("maps")));
    downloader->SetStopCheck({});
    EXPECT_EQ(2, LocalVersion(*downloader, "m0.map"));
    EXPECT_EQ(2, LocalVersion(*downloader, "m2.map"));
}

// The stop check is the pass's own hook, asked on its thread only, also while workers open
// connections ahead: a hook written for one thread need not be safe for more.
TEST_F(ParallelPassTest, StopCheckIsAskedOnThePassThreadOnly) {
    std::vector<Item> items;
    for (int i = 0; i < 6; ++i) items.push_back({"m" + std::to_string(i) + ".map", 2});
    PublishFeed(items);
    for (const Item& item : items) {
        PublishMap(item.title);
        m_server.Delay("/maps/" + item.title, 150);
    }
    m_parallel = 2;
    auto downloader = Make();
    std::mutex mutex;
    std::set<std::thread::id> askedBy;
    downloader->SetStopCheck([&] {
        std::lock_guard<std::mutex> lock(mutex);
        askedBy.insert(std::this_thread::get_id());
        return false;
    });

    Pulse(*downloader);
    EXPECT_TRUE(downloader->LastPassComplete());
    EXPECT_EQ(std::set<std::thread::id>{std::this_thread::get_id()}, askedBy);
}

// The pass with its version memory: a clock well past every file's times, so entries are
// trusted as they would be a few seconds after the files last changed.
class RememberedVersionsTest : public UpdatePassTest {
protected:
    std::unique_ptr<CMapAutoDownload> MakeRemembering() {
        auto downloader = Make();
        downloader->SetVersionCache(&m_versions);
        return downloader;
    }

    int Remembered(const std::string& title) {
        int version = -100;
        return m_versions.Lookup(MapPath(title).c_str(), version) ? version : -100;
    }

    CMapVersionCache m_versions{[] { return CMapVersionCache::RealTimeNs() + 10'000'000'000; }};
};

TEST_F(RememberedVersionsTest, MapWrittenByThePassIsKnownAtOnce) {
    PublishFeed({{"a.map", 3}});
    PublishMap("a.map");
    auto downloader = MakeRemembering();

    EXPECT_EQ(std::string(kChecking) + "\nDownloading a.map... Done\n", Pulse(*downloader));
    EXPECT_EQ(3, Remembered("a.map"));
    EXPECT_EQ(std::string(kChecking) + "All maps up to date!\n", Pulse(*downloader));
}

TEST_F(RememberedVersionsTest, MapThatCannotCarryItsVersionIsKnownUntilTheFeedMovesOn) {
    PublishFeed({{"a.map", 3}});
    m_server.Serve("/maps/a.map", "<map><spawn/></map>");
    auto downloader = MakeRemembering();

    EXPECT_EQ(std::string(kChecking) +
                  "\nDownloading a.map... Done\nCould not record the version of a.map: no meta element\n",
              Pulse(*downloader));
    EXPECT_EQ("<map><spawn/></map>", ReadFile(MapPath("a.map")));
    EXPECT_EQ(std::string(kChecking) + "All maps up to date!\n", Pulse(*downloader));

    // After a restart, too.
    ASSERT_TRUE(m_versions.Save(m_dir.File("state.dat")));
    CMapVersionCache reloaded;
    ASSERT_TRUE(reloaded.Load(m_dir.File("state.dat")));
    auto restarted = Make();
    restarted->SetVersionCache(&reloaded);
    EXPECT_EQ(std::string(kChecking) + "All maps up to date!\n", Pulse(*restarted));

    // The file counts as the version it was downloaded for.
    PublishFeed({{"a.map", 4}});
    EXPECT_EQ(std::string(kChecking) +
                  "\nUpdating a.map from version 3 to version 4... Done\n"
                  "Could not record the version of a.map: no meta element\n",
              Pulse(*restarted));
    EXPECT_EQ(2, m_server.Count("/maps/a.map"));
}

// Well-formed bodies that are no map: refused, the old map kept, nothing remembered, so the pass
// after the server's repair fetches the map.
TEST_F(RememberedVersionsTest, PageOrFeedInPlaceOfAMapIsRefusedUntilTheServerIsRepaired) {
    const std::string old = MapXml("3", "<old/>");
    const std::string xhtml =
        "<?xml version=\"1.0\"?><html xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>"
        "503</title></head><body><p>Try later</p></body></html>";
    const struct {
        bool onDisk;
        std::string body;  // empty: the link is the feed's own address
        std::string reason;
    } cases[] = {
        {true, xhtml, "root element html"},  {true, "<x:HTML xmlns:x=\"urn:x\"><meta/></x:HTML>", "root element html"},
        {true, "", "it is a feed"},          {true, "<error code=\"503\">busy</error>", "no meta element"},
        {false, xhtml, "root element html"},
    };
    for (const auto& c : cases) {
        if (c.onDisk) WriteFile(MapPath("a.map"), old);
        const std::string link = c.body.empty() ? FeedUrl() : m_server.Url("/maps/a.map");
        m_server.Serve("/feed.xml", "<rss><channel><item><title>a.map</title><link>" + link +
                                        "</link><version>4</version></item></channel></rss>");
        m_server.Serve("/maps/a.map", c.body);
        auto downloader = MakeRemembering();
        const std::string head = c.onDisk ? "Updating a.map from version 3 to version 4... " : "Downloading a.map... ";

        EXPECT_EQ(
            std::string(kChecking) + "\n" + head + "Failed\nError downloading a.map: not a map (" + c.reason + ")\n",
            Pulse(*downloader))
            << c.body;
        EXPECT_FALSE(downloader->LastPassComplete()) << c.body;
        EXPECT_EQ(c.onDisk ? std::vector<std::string>{"a.map"} : std::vector<std::string>{},
                  ListDirectory(m_dir.File("maps")))
            << c.body;
        if (c.onDisk) {
            EXPECT_EQ(old, ReadFile(MapPath("a.map"))) << c.body;
        }

        PublishFeed({{"a.map", 4}});
        PublishMap("a.map");
        EXPECT_EQ(std::string(kChecking) + "\n" + head + "Done\n", Pulse(*downloader)) << c.body;
        EXPECT_EQ(4, LocalVersion(*downloader, "a.map")) << c.body;
        ASSERT_EQ(0, unlink(MapPath("a.map").c_str()));
    }
}

TEST_F(RememberedVersionsTest, MapEditedByHandIsReadAgain) {
    PublishFeed({{"a.map", 3}, {"b.map", 3}});
    PublishMap("a.map");
    PublishMap("b.map");
    auto downloader = MakeRemembering();
    Pulse(*downloader);

    // Same size, other version: only the file's identity tells the edit apart.
    const std::string stamped = ReadFile(MapPath("a.map"));
    std::string edited = stamped;
    edited.replace(edited.find("<version>3<"), 11, "<version>1<");
    WriteFile(MapPath("a.map"), edited);
    // Replaced by another file: a new inode.
    WriteFile(MapPath("b.map.new"), MapXml("2"));
    ASSERT_EQ(0, rename(MapPath("b.map.new").c_str(), MapPath("b.map").c_str()));

    EXPECT_EQ(std::string(kChecking) +
                  "\nUpdating a.map from version 1 to version 3... Done\n"
                  "Updating b.map from version 2 to version 3... Done\n",
              Pulse(*downloader));
}

TEST_F(RememberedVersionsTest, DeletedMapIsDownloadedAgain) {
    PublishFeed({{"a.map", 3}});
    PublishMap("a.map");
    auto downloader = MakeRemembering();
    Pulse(*downloader);
    ASSERT_EQ(0, unlink(MapPath("a.map").c_str()));

    EXPECT_EQ(std::string(kChecking) + "\nDownloading a.map... Done\n", Pulse(*downloader));
}

// A map that arrived whole but cannot be put in place (a directory took its name meanwhile) fails
// with the reason, leaves no file, and is not remembered; the map beside it is.
TEST_F(RememberedVersionsTest, MapThatCannotBePutInPlaceFailsAndIsNotRemembered) {
    PublishFeed({{"taken.map", 2}, {"kept.map", 2}});
    PublishMap("taken.map");
    PublishMap("kept.map");
    m_server.Delay("/maps/taken.map", 300);
    std::thread squatter([this] {
        for (int waited = 0; m_server.Count("/maps/taken.map") == 0 && waited < 5000; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        mkdir(MapPath("taken.map").c_str(), 0755);
    });
    auto downloader = MakeRemembering();
    const std::string output = Pulse(*downloader);
    squatter.join();

    EXPECT_EQ(std::string(kChecking) + "\nDownloading taken.map... Failed\nError downloading taken.map: cannot write " +
                  MapPath("taken.map") + ": Is a directory\nDownloading kept.map... Done\n",
              output);
    EXPECT_EQ((std::vector<std::string>{"kept.map", "taken.map"}), ListDirectory(m_dir.File("maps")));
    EXPECT_EQ(std::vector<std::string>{"taken.map"}, downloader->LastPass().failed);
    EXPECT_EQ(-100, Remembered("taken.map"));
    EXPECT_EQ(2, Remembered("kept.map"));
}

// Map version records, read and written.
class MapVersionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { xercesc::XMLPlatformUtils::Initialize(); }

    int Read(const std::string& content) {
        WriteFile(m_path, content);
        return m_downloader.GetMapVersion(m_path.c_str());
    }

    TempDir m_dir;
    std::string m_path = m_dir.File("x.map");
    CMapAutoDownload m_downloader{Settings(m_dir.Path())};

    static CSettings Settings(const std::string& savePath) {
        CSettings settings;
        settings.frequency = 0;
        settings.feedUrl = "http://127.0.0.1:1/feed";
        settings.savePath = savePath;
        return settings;
    }
};

// The recorded version; a missing record told apart from a missing file; what is not a
// non-negative number reads as 0.
TEST_F(MapVersionTest, ReadsTheRecordedVersion) {
    EXPECT_EQ(CMapAutoDownload::kNoFile, m_downloader.GetMapVersion(m_path.c_str()));
    const std::pair<const char*, int> cases[] = {
        {"<map><meta><version>12</version></meta></map>", 12},
        {"<anything><META><Version>0xff</Version></META></anything>", 255},
        {"<map><meta><version>-7</version></meta></map>", 0},
        {"<map><meta><version>x</version></meta></map>", 0},
        {"not xml", CMapAutoDownload::kNoVersionRecord},
        {"<map><meta><version>3</version></meta>", CMapAutoDownload::kNoVersionRecord},
        {"<map><version>3</version></map>", CMapAutoDownload::kNoVersionRecord},
        {"<map><meta/></map>", CMapAutoDownload::kNoVersionRecord},
    };
    for (const auto& c : cases) EXPECT_EQ(c.second, Read(c.first)) << c.first;
}

// A map that is there but cannot be opened (no descriptor left) is not taken for one without a
// version, which the pass would download again.
TEST_F(MapVersionTest, MapThatCannotBeOpenedIsNotUnversioned) {
    WriteFile(m_path, MapXml("1"));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!UseUpFileDescriptors()) _exit(2);
        _exit(m_downloader.GetMapVersion(m_path.c_str()) == CMapAutoDownload::kCannotRead ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST_F(MapVersionTest, WriteReplacesTheVersionAndKeepsTheRestOfTheMap) {
    WriteFile(m_path,
              "<map name=\"Caf\xC3\xA9\"><meta><version>1</version></meta>"
              "<title>Gr\xC3\xBCn &amp; blau</title></map>");
    ASSERT_TRUE(m_downloader.WriteMapVersion(m_path.c_str(), 9));

    EXPECT_EQ(9, m_downloader.GetMapVersion(m_path.c_str()));
    CXMLFileImpl file(m_path.c_str());
    ASSERT_TRUE(file.Parse());
    char title[64];
    file.GetRootNode()->FindSubNode("title", 0)->GetTagContent(title, sizeof(title));
    EXPECT_STREQ("Gr\xC3\xBCn & blau", title);
    EXPECT_EQ(1u, file.GetRootNode()->FindSubNode("meta", 0)->GetSubNodeCount());
}

TEST_F(MapVersionTest, WriteCreatesTheVersionUnderMeta) {
    WriteFile(m_path, "<map><meta><author>a</author></meta></map>");
    ASSERT_TRUE(m_downloader.WriteMapVersion(m_path.c_str(), 4));
    EXPECT_EQ(4, m_downloader.GetMapVersion(m_path.c_str()));
}

TEST_F(MapVersionTest, WriteNeitherCreatesFilesNorTouchesMapsWithoutMeta) {
    EXPECT_FALSE(m_downloader.WriteMapVersion(m_path.c_str(), 4));
    EXPECT_FALSE(FileExists(m_path));
    const std::string noMeta = "<map><version>1</version></map>";
    WriteFile(m_path, noMeta);
    EXPECT_FALSE(m_downloader.WriteMapVersion(m_path.c_str(), 4));
    EXPECT_EQ(noMeta, ReadFile(m_path));
}

TEST_F(MapVersionTest, FailedWriteKeepsTheOldBytes) {
    // A directory that the writer may read but not change.
    const std::string directory = m_dir.File("locked");
    const std::string path = directory + "/x.map";
    ASSERT_EQ(0, mkdir(directory.c_str(), 0755));
    const std::string old = MapXml("1", "<keep/>");
    WriteFile(path, old);
    chmod(path.c_str(), 0644);
    chmod(m_dir.Path().c_str(), 0755);
    if (geteuid() != 0) chmod(directory.c_str(), 0555);

    // Root may write anywhere, so the write runs in a child that gives up root first.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
        _exit(m_downloader.WriteMapVersion(path.c_str(), 5) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    chmod(directory.c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(old, ReadFile(path));
    EXPECT_EQ((std::vector<std::string>{"x.map"}), ListDirectory(directory));
}

}  // namespace
