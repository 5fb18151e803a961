#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <xercesc/util/PlatformUtils.hpp>

#include "FeedServer.h"
#include "ScopedChdir.h"
#include "app/CMapAutoDownload.h"
#include "app/CMapVersionCache.h"
#include "support/TempDir.h"
#include "xml/CXMLFileImpl.h"
#include "xml/CXMLNode.h"

namespace {

struct Item {
    std::string title;
    unsigned int version;
};

std::string MapXml(const std::string& versionText, const std::string& body = "<spawn x=\"1\"/>")
{
    return "<map><meta><author>t</author><version>" + versionText + "</version></meta>" + body +
           "</map>";
}

const char kChecking[] = "Checking RSS feed... ";
const char kInitialTime[] = "00-00-00%2000:00:00";

// The pass runs in a temporary working directory, saves into its "maps" folder, talks to a
// loopback server and reads a clock the test sets.
class UpdatePassTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { xercesc::XMLPlatformUtils::Initialize(); }

    UpdatePassTest() : m_cwd(m_dir.Path())
    {
        mkdir(m_dir.File("maps").c_str(), 0755);
    }

    std::unique_ptr<CMapAutoDownload> Make(unsigned long frequency = 0, unsigned int fullCheck = 10,
                                           int perPassMax = 0, std::vector<char*> ignored = {},
                                           std::string savePath = "")
    {
        if (savePath.empty())
            savePath = m_dir.File("maps");
        CSettings settings;
        settings.frequency = static_cast<unsigned int>(frequency);
        settings.fullCheckFrequency = fullCheck;
        settings.feedUrl = FeedUrl();
        settings.savePath = savePath;
        settings.ignoredMaps = ignored;
        settings.downloadsPerUpdateMax = perPassMax;
        settings.timeoutSeconds = 5;
        return std::make_unique<CMapAutoDownload>(settings, [this] { return m_now; });
    }

    std::string FeedUrl() const { return m_server.Url("/feed.xml?source=test"); }

    void PublishFeed(const std::vector<Item>& items, const std::string& time = "24-05-01 12:00:00")
    {
        std::string feed = "<rss><channel><title>feed</title>";
        if (!time.empty())
            feed += "<time>" + time + "</time>";
        for (const Item& item : items) {
            feed += "<item><title>" + item.title + "</title><link>" +
                    m_server.Url("/maps/" + item.title) + "</link><version>" +
                    std::to_string(item.version) + "</version><author>a</author></item>";
        }
        m_server.Serve("/feed.xml", feed + "</channel></rss>");
    }

    // Publishes a map on the server whose own file says version 1.
    void PublishMap(const std::string& title) { m_server.Serve("/maps/" + title, MapXml("1")); }

    std::string Pulse(CMapAutoDownload& downloader)
    {
        ::testing::internal::CaptureStdout();
        downloader.DoPulse();
        return ::testing::internal::GetCapturedStdout();
    }

    std::string MapPath(const std::string& title) const { return m_dir.File("maps/" + title); }

    int LocalVersion(CMapAutoDownload& downloader, const std::string& title)
    {
        return downloader.GetMapVersion(MapPath(title).c_str());
    }

    std::string LastFeedTarget() const
    {
        std::string last;
        for (const std::string& target : m_server.Targets())
            if (target.rfind("/feed.xml", 0) == 0)
                last = target;
        return last;
    }

    TempDir m_dir;
    ScopedChdir m_cwd;
    FeedServer m_server;
    unsigned int m_now = 0;
};

TEST_F(UpdatePassTest, FirstPassDownloadsEveryMapAndStampsTheFeedVersion)
{
    PublishFeed({{"a.map", 2}, {"b.map", 5}});
    PublishMap("a.map");
    m_server.Serve("/maps/b.map", "<map><meta/></map>");
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) + "\nDownloading a.map... Done\nDownloading b.map... Done\n",
              Pulse(*downloader));
    EXPECT_EQ(2, LocalVersion(*downloader, "a.map"));
    EXPECT_EQ(5, LocalVersion(*downloader, "b.map"));
    EXPECT_EQ(std::string("/feed.xml?source=test&time=") + kInitialTime, m_server.Targets()[0]);
}

TEST_F(UpdatePassTest, OlderLocalMapIsUpdatedAndEqualOneIsLeftAlone)
{
    WriteFile(MapPath("a.map"), MapXml("3"));
    WriteFile(MapPath("b.map"), MapXml("3"));
    PublishFeed({{"a.map", 4}, {"b.map", 3}});
    PublishMap("a.map");
    PublishMap("b.map");
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) + "\nUpdating a.map from version 3 to version 4... Done\n",
              Pulse(*downloader));
    EXPECT_EQ(4, LocalVersion(*downloader, "a.map"));
    EXPECT_EQ(0, m_server.Count("/maps/b.map"));
}

TEST_F(UpdatePassTest, LocalVersionThatIsNotANumberCountsAsZero)
{
    WriteFile(MapPath("neg.map"), MapXml("-7"));
    WriteFile(MapPath("text.map"), MapXml("x"));
    PublishFeed({{"neg.map", 1}, {"text.map", 0}});
    PublishMap("neg.map");
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) + "\nUpdating neg.map from version 0 to version 1... Done\n",
              Pulse(*downloader));
    EXPECT_EQ(0, m_server.Count("/maps/text.map"));
}

TEST_F(UpdatePassTest, ItemsAreMatchedByNameInAnyCaseAndTakenInDocumentOrder)
{
    PublishMap("one.map");
    PublishMap("two.map");
    PublishMap("three.map");
    const std::string link = m_server.Url("/maps/");
    m_server.Serve("/feed.xml",
                   "<rss><CHANNEL><time>t</time>"
                   "<ITEM><title>one.map</title><link>" + link + "one.map</link><version>1</version></ITEM>"
                   "<items><title>three.map</title><link>" + link + "three.map</link></items>"
                   "<note/><Item><title>two.map</title><link>" + link + "two.map</link></Item>"
                   "</CHANNEL></rss>");
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) + "\nDownloading one.map... Done\nDownloading two.map... Done\n",
              Pulse(*downloader));
    EXPECT_EQ(0, m_server.Count("/maps/three.map"));
}

TEST_F(UpdatePassTest, PerPassLimitHoldsMapsBackForTheNextPassWithoutRefetchingTheFeed)
{
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
    m_now += 60001;
    EXPECT_EQ(std::string(kChecking) + "\nDownloading c.map... Done\n", Pulse(*downloader));
    EXPECT_EQ(1, m_server.Count("/feed.xml"));
    EXPECT_EQ(1, LocalVersion(*downloader, "c.map"));
    m_now += 60001;
    EXPECT_EQ(std::string(kChecking) + "All maps up to date!\n", Pulse(*downloader));
    EXPECT_EQ(2, m_server.Count("/feed.xml"));
}

TEST_F(UpdatePassTest, PassIsDueOnlyWhenMoreThanOnePeriodHasPassed)
{
    PublishFeed({});
    auto downloader = Make(60);

    m_now = 60000;
    EXPECT_EQ("", Pulse(*downloader));
    m_now = 60001;
    EXPECT_EQ(std::string(kChecking) + "All maps up to date!\n", Pulse(*downloader));
    m_now = 120001;
    EXPECT_EQ("", Pulse(*downloader));
    m_now = 120002;
    EXPECT_NE("", Pulse(*downloader));
    EXPECT_EQ(2, m_server.Count("/feed.xml"));
}

TEST_F(UpdatePassTest, DueTestSurvivesTheClockWrap)
{
    PublishFeed({});
    auto downloader = Make(60);

    m_now = 0xFFFFFF00u;
    EXPECT_NE("", Pulse(*downloader));
    m_now = 0xFFFFFF00u + 60000u;  // wraps past zero
    EXPECT_EQ("", Pulse(*downloader));
    m_now = 0xFFFFFF00u + 60001u;
    EXPECT_NE("", Pulse(*downloader));
    EXPECT_EQ(2, m_server.Count("/feed.xml"));
}

TEST_F(UpdatePassTest, LongFrequencyDoesNotWrapIntoAShortPeriod)
{
    PublishFeed({});
    // 4294968 s * 1000 wraps a 32-bit count to 704 ms.
    auto downloader = Make(4294968);
    m_now = 5000;
    EXPECT_EQ("", Pulse(*downloader));
}

TEST_F(UpdatePassTest, FrequencyBeyondTheClocksRangeStillComesDue)
{
    PublishFeed({});
    auto downloader = Make(2147483647);
    m_now = CMapAutoDownload::kLongestPeriodMs;
    EXPECT_EQ("", Pulse(*downloader));
    m_now += 1000;
    EXPECT_EQ(std::string(kChecking) + "All maps up to date!\n", Pulse(*downloader));
}

TEST_F(UpdatePassTest, IncrementalRequestsCarryTheFeedTimeAndEveryThirdIsAFullCheck)
{
    PublishFeed({}, "24-05-01 12:00:00");
    auto downloader = Make(60, 3);
    const std::string base = "/feed.xml?source=test&time=";
    for (int pass = 1; pass <= 4; ++pass) {
        m_now += 60001;
        Pulse(*downloader);
    }
    EXPECT_EQ((std::vector<std::string>{base + kInitialTime, base + "24-05-01%2012:00:00",
                                        base + kInitialTime, base + "24-05-01%2012:00:00"}),
              m_server.Targets());
}

TEST_F(UpdatePassTest, FeedWithoutTimeMakesTheNextRequestEndInAnEmptyTime)
{
    PublishFeed({}, "");
    auto downloader = Make();
    Pulse(*downloader);
    Pulse(*downloader);
    EXPECT_EQ("/feed.xml?source=test&time=", LastFeedTarget());
}

TEST_F(UpdatePassTest, FeedDownloadFailureIsReportedAndKeepsTheFeedTime)
{
    PublishFeed({}, "T1");
    auto downloader = Make();
    Pulse(*downloader);
    m_server.Remove("/feed.xml");

    EXPECT_EQ(std::string(kChecking) + "Failed\nError downloading RSS feed: 404 - Not Found\n",
              Pulse(*downloader));
    EXPECT_STREQ("T1", downloader->LastFeedTime());
}

TEST_F(UpdatePassTest, UnparsableFeedFailsThePassAndKeepsTheFeedTime)
{
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
    Pulse(*downloader);
    EXPECT_EQ("/feed.xml?source=test&time=T1", LastFeedTarget());
}

TEST_F(UpdatePassTest, FeedWithoutChannelFailsThePass)
{
    m_server.Serve("/feed.xml", "<rss><time>T2</time></rss>");
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) + "Failed\nError parsing RSS feed: no channel element\n",
              Pulse(*downloader));
    EXPECT_STREQ("00-00-00 00:00:00", downloader->LastFeedTime());
}

TEST_F(UpdatePassTest, FailedMapDownloadIsReportedAndLeavesTheOldMapAndVersion)
{
    const std::string old = MapXml("3", "<old/>");
    WriteFile(MapPath("a.map"), old);
    PublishFeed({{"a.map", 4}});
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) +
                  "\nUpdating a.map from version 3 to version 4... Failed\n"
                  "Error downloading a.map: 404 - Not Found\n",
              Pulse(*downloader));
    EXPECT_EQ(old, ReadFile(MapPath("a.map")));
    Pulse(*downloader);
    EXPECT_EQ(2, m_server.Count("/maps/a.map"));
}

// The feed lists a failed map again only when asked for everything since the pass before.
TEST_F(UpdatePassTest, FeedTimeStaysBehindAPassWhoseMapFailed)
{
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

TEST_F(UpdatePassTest, MapPathThatIsNotAReadableRegularFileIsLeftAlone)
{
    ASSERT_EQ(0, mkfifo(MapPath("fifo.map").c_str(), 0644));
    ASSERT_EQ(0, mkdir(MapPath("dir.map").c_str(), 0755));
    ASSERT_EQ(0, symlink("loop.map", MapPath("loop.map").c_str()));
    PublishFeed({{"fifo.map", 1}, {"dir.map", 1}, {"loop.map", 1}, {"ok.map", 1}});
    for (const char* title : {"fifo.map", "dir.map", "loop.map", "ok.map"})
        PublishMap(title);
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) +
                  "\nSkipping map that is not a regular file: fifo.map\n"
                  "Skipping map that is not a regular file: dir.map\n"
                  "Cannot read map loop.map: Too many levels of symbolic links\n"
                  "Downloading ok.map... Done\n",
              Pulse(*downloader));
    EXPECT_EQ(0, m_server.Count("/maps/fifo.map") + m_server.Count("/maps/dir.map") +
                     m_server.Count("/maps/loop.map"));
    struct stat info {};
    ASSERT_EQ(0, lstat(MapPath("fifo.map").c_str(), &info));
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST_F(UpdatePassTest, StopRequestEndsThePassAfterTheMapInProgress)
{
    PublishFeed({{"a.map", 1}, {"b.map", 1}});
    PublishMap("a.map");
    PublishMap("b.map");
    auto downloader = Make();
    // The stop arrives while a.map downloads: asked before a.map, then before b.map.
    int asked = 0;
    downloader->SetStopCheck([&asked] { return ++asked > 1; });

    EXPECT_EQ(std::string(kChecking) + "\nDownloading a.map... Done\n", Pulse(*downloader));
    EXPECT_EQ(1, LocalVersion(*downloader, "a.map"));
    EXPECT_EQ(0, m_server.Count("/maps/b.map"));
}

TEST_F(UpdatePassTest, MapDownloadCutShortLeavesNoFileAndNoVersion)
{
    PublishFeed({{"a.map", 4}});
    m_server.ServeRaw("/maps/a.map", "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n<map><meta>");
    auto downloader = Make();

    const std::string out = Pulse(*downloader);
    const std::string prefix =
        std::string(kChecking) + "\nDownloading a.map... Failed\nError downloading a.map: ";
    EXPECT_EQ(prefix, out.substr(0, prefix.size()));
    EXPECT_EQ(out.size() - 1, out.find('\n', prefix.size()));
    EXPECT_EQ(std::vector<std::string>{}, ListDirectory(m_dir.File("maps")));
}

TEST_F(UpdatePassTest, UnsafeTitlesAreNeverOpenedOrWritten)
{
    PublishFeed({{"", 1}, {".", 1}, {"..", 1}, {"../escape.map", 1}, {"sub/x.map", 1},
                 {"back\\slash.map", 1}, {"fake&#10;Downloading x.map... Done", 1},
                 {"tab&#9;del\x7f.map", 1}, {"ok.map", 1}});
    PublishMap("../escape.map");
    PublishMap("ok.map");
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
                  "Downloading ok.map... Done\n",
              Pulse(*downloader));
    EXPECT_FALSE(FileExists(m_dir.File("escape.map")));
    // The feed and ok.map, nothing else.
    EXPECT_EQ(2u, m_server.Targets().size());
}

// XML 1.1 lets a feed carry an escape byte as a character reference.
TEST_F(UpdatePassTest, TerminalEscapeInATitleNeverReachesTheConsole)
{
    m_server.Serve("/feed.xml", "<?xml version=\"1.1\"?><rss><channel><item><title>a&#x1b;[2J.map</title>"
                                "<link>" + m_server.Url("/maps/a.map") + "</link><version>1</version></item>"
                                "</channel></rss>");
    auto downloader = Make();
    EXPECT_EQ(std::string(kChecking) + "\nSkipping map with an unsafe name: a\\x1b[2J.map\n", Pulse(*downloader));
    EXPECT_EQ(std::vector<std::string>{}, ListDirectory(m_dir.File("maps")));
}

TEST_F(UpdatePassTest, FeedCannotOverwriteTheProgramsOwnFilesInTheWorkingDirectory)
{
    WriteFile(m_dir.File("config.xml"), "<config><url>x</url></config>");
    PublishFeed({{"config.xml", 1}, {"autoupdate.xml", 1}, {"mapversions.dat", 1}, {"ok.map", 1}});
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
                  "Downloading ok.map... Done\n",
              Pulse(*downloader));
    EXPECT_EQ("<config><url>x</url></config>", ReadFile(m_dir.File("config.xml")));
    EXPECT_EQ(0, m_server.Count("/maps/config.xml"));
}

TEST_F(UpdatePassTest, ProgramFileNamesAreOrdinaryMapsInAnotherDirectory)
{
    PublishFeed({{"config.xml", 1}});
    PublishMap("config.xml");
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) + "\nDownloading config.xml... Done\n", Pulse(*downloader));
}

TEST_F(UpdatePassTest, MapPathThatDoesNotFitIsSkippedByName)
{
    const std::string title(200, 't');
    PublishFeed({{title, 1}});
    // 311 + "/" + 200 characters do not fit the 512-byte map path.
    auto downloader = Make(0, 10, 0, {}, "/nonexistent/" + std::string(298, 'd'));

    EXPECT_EQ(std::string(kChecking) + "\nSkipping map with a name or path that is too long: " +
                  title + "\n",
              Pulse(*downloader));
    EXPECT_EQ(0, m_server.Count("/maps/" + title));
}

TEST_F(UpdatePassTest, TitleLongerThanTheFeedLimitIsSkipped)
{
    const std::string title(300, 'n');
    PublishFeed({{title, 1}});
    auto downloader = Make();

    EXPECT_EQ(std::string(kChecking) + "\nSkipping map with a name or path that is too long: " +
                  title.substr(0, 255) + "\n",
              Pulse(*downloader));
}

// The pass with its version memory: a clock well past every file's times, so entries are
// trusted as they would be a few seconds after the files last changed.
class RememberedVersionsTest : public UpdatePassTest {
protected:
    std::unique_ptr<CMapAutoDownload> MakeRemembering()
    {
        auto downloader = Make();
        downloader->SetVersionCache(&m_versions);
        return downloader;
    }

    int Remembered(const std::string& title)
    {
        int version = -100;
        return m_versions.Lookup(MapPath(title).c_str(), version) ? version : -100;
    }

    CMapVersionCache m_versions{[] { return CMapVersionCache::RealTimeNs() + 10'000'000'000; }};
};

TEST_F(RememberedVersionsTest, MapWrittenByThePassIsKnownAtOnce)
{
    PublishFeed({{"a.map", 3}});
    PublishMap("a.map");
    auto downloader = MakeRemembering();

    EXPECT_EQ(std::string(kChecking) + "\nDownloading a.map... Done\n", Pulse(*downloader));
    EXPECT_EQ(3, Remembered("a.map"));
    EXPECT_EQ(std::string(kChecking) + "All maps up to date!\n", Pulse(*downloader));
}

TEST_F(RememberedVersionsTest, MapEditedByHandIsReadAgain)
{
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

TEST_F(RememberedVersionsTest, DeletedMapIsDownloadedAgain)
{
    PublishFeed({{"a.map", 3}});
    PublishMap("a.map");
    auto downloader = MakeRemembering();
    Pulse(*downloader);
    ASSERT_EQ(0, unlink(MapPath("a.map").c_str()));

    EXPECT_EQ(std::string(kChecking) + "\nDownloading a.map... Done\n", Pulse(*downloader));
}

// Map version records, read and written.
class MapVersionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { xercesc::XMLPlatformUtils::Initialize(); }

    int Read(const std::string& content)
    {
        WriteFile(m_path, content);
        return m_downloader.GetMapVersion(m_path.c_str());
    }

    TempDir m_dir;
    std::string m_path = m_dir.File("x.map");
    CMapAutoDownload m_downloader{Settings(m_dir.Path())};

    static CSettings Settings(const std::string& savePath)
    {
        CSettings settings;
        settings.frequency = 0;
        settings.feedUrl = "http://127.0.0.1:1/feed";
        settings.savePath = savePath;
        return settings;
    }
};

TEST_F(MapVersionTest, ReadsTheRecordedVersion)
{
    EXPECT_EQ(12, Read(MapXml("12")));
    EXPECT_EQ(255, Read("<anything><META><Version>0xff</Version></META></anything>"));
}

TEST_F(MapVersionTest, MissingFileAndMissingRecordAreToldApart)
{
    EXPECT_EQ(CMapAutoDownload::kNoFile, m_downloader.GetMapVersion(m_path.c_str()));
    EXPECT_EQ(CMapAutoDownload::kNoVersionRecord, Read("not xml"));
    EXPECT_EQ(CMapAutoDownload::kNoVersionRecord, Read("<map><meta><version>3</version></meta>"));
    EXPECT_EQ(CMapAutoDownload::kNoVersionRecord, Read("<map><version>3</version></map>"));
    EXPECT_EQ(CMapAutoDownload::kNoVersionRecord, Read("<map><meta/></map>"));
}

TEST_F(MapVersionTest, NegativeOrTextualVersionReadsAsZero)
{
    EXPECT_EQ(0, Read(MapXml("-7")));
    EXPECT_EQ(0, Read(MapXml("x")));
}

TEST_F(MapVersionTest, WriteReplacesTheVersionAndKeepsTheRestOfTheMap)
{
    WriteFile(m_path, "<map name=\"Caf\xC3\xA9\"><meta><version>1</version></meta>"
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

TEST_F(MapVersionTest, WriteCreatesTheVersionUnderMeta)
{
    WriteFile(m_path, "<map><meta><author>a</author></meta></map>");
    ASSERT_TRUE(m_downloader.WriteMapVersion(m_path.c_str(), 4));
    EXPECT_EQ(4, m_downloader.GetMapVersion(m_path.c_str()));
}

TEST_F(MapVersionTest, WriteNeitherCreatesFilesNorTouchesMapsWithoutMeta)
{
    EXPECT_FALSE(m_downloader.WriteMapVersion(m_path.c_str(), 4));
    EXPECT_FALSE(FileExists(m_path));
    const std::string noMeta = "<map><version>1</version></map>";
    WriteFile(m_path, noMeta);
    EXPECT_FALSE(m_downloader.WriteMapVersion(m_path.c_str(), 4));
    EXPECT_EQ(noMeta, ReadFile(m_path));
}

TEST_F(MapVersionTest, FailedWriteKeepsTheOldBytes)
{
    // A directory that the writer may read but not change.
    const std::string directory = m_dir.File("locked");
    const std::string path = directory + "/x.map";
    ASSERT_EQ(0, mkdir(directory.c_str(), 0755));
    const std::string old = MapXml("1", "<keep/>");
    WriteFile(path, old);
    chmod(path.c_str(), 0644);
    chmod(m_dir.Path().c_str(), 0755);
    if (geteuid() != 0)
        chmod(directory.c_str(), 0555);

    // Root may write anywhere, so the write runs in a child that gives up root first.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
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
