#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/FaultServer.h"
#include "support/NginxServer.h"
#include "support/Process.h"
#include "support/ProxyServer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

namespace {

constexpr int kRunTimeoutMs = 20000;
const char kChecking[] = "Checking RSS feed... ";

std::string MapXml(unsigned int version, const std::string& body = "<spawn x=\"1\"/>") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<map><meta><version>" + std::to_string(version) +
           "</version></meta>" + body + "</map>\n";
}

// The path without symbolic links, as the program's working directory names it.
std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : path;
}

bool HasVersion(const std::string& mapContent, unsigned int version) {
    return mapContent.find("<version>" + std::to_string(version) + "</version>") != std::string::npos;
}

// The real executable run once in a temporary working directory against a real nginx.
class DownloaderRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, mkdir(m_www.File("maps").c_str(), 0755));
        ASSERT_EQ(0, mkdir(m_work.File("maps").c_str(), 0755));
        ASSERT_TRUE(m_nginx.Start()) << m_nginx.Error();
    }

    std::string FeedUrl() const { return m_nginx.Url("/feed.xml?source=e2e"); }
    std::string SavePath() const { return m_work.File("maps"); }

    void WriteConfig(const std::string& extra = "", const std::string& frequency = "0") {
        WriteFile(m_work.File("config.xml"), "<config><url>" + FeedUrl() + "</url><frequency>" + frequency +
                                                 "</frequency><savepath>" + SavePath() + "</savepath>" + extra +
                                                 "</config>");
    }

    // Publishes a feed listing (title, version) pairs whose links point at the maps folder.
    void PublishFeed(const std::vector<std::pair<std::string, unsigned int>>& items) {
        std::string feed =
            "<?xml version=\"1.0\"?>\n<rss version=\"2.0\"><channel>"
            "<time>24-05-01 12:00:00</time>";
        for (const auto& item : items)
            feed += "<item><title>" + item.first + "</title><link>" + m_nginx.Url("/maps/" + item.first) +
                    "</link><version>" + std::to_string(item.second) +
                    "</version><author>e2e</author>"
                    "<description>d</description></item>";
        WriteFile(m_www.File("feed.xml"), feed + "</channel></rss>\n");
    }

    void PublishMap(const std::string& title, const std::string& content) {
        WriteFile(m_www.File("maps/" + title), content);
    }

    std::string LocalMap(const std::string& title) const { return ReadFile(m_work.File("maps/" + title)); }

    std::string Banner(int perPassMax = 0) const {
        std::string banner = "Xovra Map Downloader\n######\nFeed: " + FeedUrl() + "\nMap save path: " + SavePath() +
                             "\nUpdating once then exiting\n";
        if (perPassMax != 0)
            banner += "Downloading up to a maximum of " + std::to_string(perPassMax) + " maps per update.\n";
        return banner + "######\n\n";
    }

    ProcessResult Run(int timeoutMs = kRunTimeoutMs, std::vector<std::string> arguments = {},
                      const std::string& cwd = "") {
        arguments.insert(arguments.begin(), DownloaderExecutable());
        return RunProcess(arguments, cwd.empty() ? m_work.Path() : cwd, timeoutMs);
    }

    TempDir m_work;
    TempDir m_www;
    NginxServer m_nginx{m_www.Path()};
};

TEST_F(DownloaderRunTest, FirstRunDownloadsEveryMapAndStampsItsVersion) {
    WriteConfig();
    PublishFeed({{"harbour.map", 3}, {"caf\xC3\xA9.map", 7}});
    PublishMap("harbour.map", MapXml(1, "<name>Caf\xC3\xA9 du port</name>"));
    PublishMap("caf\xC3\xA9.map", "<map><meta/></map>");

    const ProcessResult result = Run();
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ(Banner() + kChecking + "\nDownloading harbour.map... Done\nDownloading caf\xC3\xA9.map... Done\n\n",
              result.out);
    const std::string harbour = LocalMap("harbour.map");
    EXPECT_TRUE(HasVersion(harbour, 3)) << harbour;
    EXPECT_NE(std::string::npos, harbour.find("Caf\xC3\xA9 du port")) << harbour;
    EXPECT_TRUE(HasVersion(LocalMap("caf\xC3\xA9.map"), 7));
    EXPECT_NE(std::string::npos,
              m_nginx.AccessLog().find("GET /feed.xml?source=e2e&time=00-00-00%2000:00:00 HTTP/1.0"));
}

TEST_F(DownloaderRunTest, FeedAndMapsOnTheIPv6Loopback) {
    try {
        FaultServer probe([](FaultServer&, int, const std::string&) {}, false, false, "::1");
    } catch (const std::exception&) {
        GTEST_SKIP() << "no IPv6 loopback on this machine: fetching over IPv6 is not tested";
    }
    m_nginx.ListenOn("::1");
    ASSERT_TRUE(m_nginx.Start()) << m_nginx.Error();
    ASSERT_EQ(0u, FeedUrl().find("http://[::1]:"));
    WriteConfig();
    PublishFeed({{"a.map", 2}});
    PublishMap("a.map", MapXml(1));

    const ProcessResult result = Run();
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ(Banner() + kChecking + "\nDownloading a.map... Done\n\n", result.out);
    EXPECT_TRUE(HasVersion(LocalMap("a.map"), 2));
    EXPECT_NE(std::string::npos, m_nginx.AccessLog().find("GET /maps/a.map HTTP/1.0"));
}

// The operator's proxy from the environment, with credentials: the banner names it without the
// password, which appears nowhere in the output, and feed and map go through it.
TEST_F(DownloaderRunTest, FeedAndMapsThroughAProxyFromTheEnvironment) {
    ProxyServer squid(ProxyServer::Kind::Squid);
    squid.RequireCredentials("operator", "hunter2");
    ASSERT_TRUE(squid.Start()) << squid.Error();
    const std::string proxy = "127.0.0.1:" + std::to_string(squid.Port());
    PublishFeed({{"a.map", 1}});
    PublishMap("a.map", MapXml(1));
    WriteConfig();
    const ProcessResult result =
        RunProcess({"/usr/bin/env", "http_proxy=http://operator:hunter2@" + proxy, "no_proxy=", DownloaderExecutable()},
                   m_work.Path(), kRunTimeoutMs);
    EXPECT_EQ(0, result.exitCode) << result.err;
    std::string banner = Banner();
    banner.insert(banner.size() - 8, "Proxy: http://operator:***@" + proxy + "\n");
    EXPECT_EQ(banner + kChecking + "\nDownloading a.map... Done\n\n", result.out);
    EXPECT_EQ(std::string::npos, (result.out + result.err).find("hunter2"));
    EXPECT_TRUE(HasVersion(LocalMap("a.map"), 1));
    EXPECT_NE(std::string::npos, squid.Log().find("GET " + m_nginx.Url("/maps/a.map")));
}

// config.xml's proxy takes the place of the environment's; its refusal and an unreadable proxy
// are told plainly, and neither shows the password.
TEST_F(DownloaderRunTest, ConfiguredProxyRefusalAndUnreadableProxy) {
    ProxyServer squid(ProxyServer::Kind::Squid);
    squid.RequireCredentials("operator", "right");
    ASSERT_TRUE(squid.Start()) << squid.Error();
    const std::string proxy = "127.0.0.1:" + std::to_string(squid.Port());
    PublishFeed({{"a.map", 1}});
    WriteConfig("<proxy>http://operator:wrong@" + proxy + "</proxy>");
    ProcessResult result = RunProcess({"/usr/bin/env", "http_proxy=http://127.0.0.1:1", DownloaderExecutable()},
                                      m_work.Path(), kRunTimeoutMs);
    EXPECT_EQ(3, result.exitCode);
    EXPECT_NE(std::string::npos, result.out.find("Proxy: http://operator:***@" + proxy + "\n"));
    EXPECT_NE(std::string::npos,
              result.out.find("Error downloading RSS feed: Proxy refused: 407 - Proxy Authentication Required\n"));
    EXPECT_EQ(std::string::npos, result.out.find("wrong"));

    WriteConfig("<proxy>https://operator:wrong@" + proxy + "</proxy>");
    result = Run();
    EXPECT_EQ(1, result.exitCode);
    EXPECT_EQ(
        "The proxy in config.xml's proxy tag does not read. Please write it as "
        "http://[user:password@]host:port.\n",
        result.out);
}

TEST_F(DownloaderRunTest, SecondRunFindsEverythingUpToDate) {
    WriteConfig();
    PublishFeed({{"a.map", 2}});
    PublishMap("a.map", MapXml(1));
    ASSERT_EQ(0, Run().exitCode);

    const ProcessResult result = Run();
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ(Banner() + kChecking + "All maps up to date!\n\n", result.out);
}

TEST_F(DownloaderRunTest, MapThatCannotCarryItsVersionIsNotFetchedAgainAfterARestart) {
    WriteConfig();
    PublishFeed({{"a.map", 2}});
    PublishMap("a.map", "<map editor:x=\"1\"><spawn/></map>\n");
    EXPECT_EQ(Banner() + kChecking +
                  "\nDownloading a.map... Done\nCould not record the version of a.map: no meta element\n\n",
              Run().out);

    EXPECT_EQ(Banner() + kChecking + "All maps up to date!\n\n", Run().out);
    const std::string log = m_nginx.AccessLog();
    const std::size_t first = log.find("GET /maps/a.map ");
    ASSERT_NE(std::string::npos, first);
    EXPECT_EQ(std::string::npos, log.find("GET /maps/a.map ", first + 1));
}

TEST_F(DownloaderRunTest, RememberedVersionsNeverHideAMapEditedBetweenRuns) {
    WriteConfig();
    PublishFeed({{"a.map", 2}});
    PublishMap("a.map", MapXml(1));
    ASSERT_EQ(0, Run().exitCode);
    EXPECT_TRUE(FileExists(m_work.File("mapversions.dat")));

    std::string map = LocalMap("a.map");
    map.replace(map.find("<version>2<"), 11, "<version>1<");
    WriteFile(m_work.File("maps/a.map"), map);

    EXPECT_EQ(Banner() + kChecking + "\nUpdating a.map from version 1 to version 2... Done\n\n", Run().out);
}

TEST_F(DownloaderRunTest, PerPassLimitHoldsMapsBack) {
    WriteConfig("<downloadsperupdatemax>2</downloadsperupdatemax>");
    PublishFeed({{"a.map", 1}, {"b.map", 1}, {"c.map", 1}});
    for (const char* title : {"a.map", "b.map", "c.map"}) PublishMap(title, MapXml(1));

    const ProcessResult first = Run();
    EXPECT_EQ(Banner(2) + kChecking +
                  "\nDownloading a.map... Done\nDownloading b.map... Done\n"
                  "Skipped downloading of 1 maps\n\n",
              first.out);
    EXPECT_EQ(0, first.exitCode);  // held back is not failed
    EXPECT_FALSE(FileExists(m_work.File("maps/c.map")));
    EXPECT_EQ(Banner(2) + kChecking + "\nDownloading c.map... Done\n\n", Run().out);
}

TEST_F(DownloaderRunTest, IgnoreEntriesMatchInAnyLetterCase) {
    WriteConfig("<ignore><map>SECRET.Map</map></ignore>");
    PublishFeed({{"secret.map", 1}, {"a.map", 1}});
    PublishMap("secret.map", MapXml(1));
    PublishMap("a.map", MapXml(1));

    EXPECT_EQ(Banner() + kChecking + "\nDownloading a.map... Done\n\n", Run().out);
    EXPECT_FALSE(FileExists(m_work.File("maps/secret.map")));
}

// The metrics file as a scraper reads it, through the Prometheus client's own parser: one sample
// per line, "NAME{LABELS} VALUE", and "family NAME TYPE" for each family with a HELP text.
std::map<std::string, std::string> ReadMetrics(const std::string& path) {
    const ProcessResult parsed = RunProcess({"/usr/bin/python3", MAD_METRICS_READER, path}, "/", kRunTimeoutMs);
    if (parsed.exitCode == 77) return {};
    EXPECT_EQ(0, parsed.exitCode) << parsed.out << parsed.err;
    std::map<std::string, std::string> values;
    std::istringstream lines(parsed.out);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t space = line.rfind(' ');
        values[line.substr(0, space)] = line.substr(space + 1);
    }
    return values;
}

// A pass with a map downloaded, one current and one failed, as the metrics file tells it.
TEST_F(DownloaderRunTest, MetricsFileTellsWhatThePassDid) {
    WriteConfig("<metricsfile>mad.prom</metricsfile>");
    PublishFeed({{"a.map", 2}, {"b.map", 1}, {"missing.map", 1}});
    PublishMap("a.map", MapXml(1));
    WriteFile(m_work.File("maps/b.map"), MapXml(1));
    const long long before = time(nullptr);
    const ProcessResult result = Run();
    const long long after = time(nullptr);
    EXPECT_EQ(3, result.exitCode);
    EXPECT_EQ(std::string::npos, result.out.find("metrics")) << result.out;

    const std::map<std::string, std::string> metrics = ReadMetrics(m_work.File("mad.prom"));
    if (metrics.empty()) GTEST_SKIP() << "python3-prometheus-client is not installed (scripts/setup-tests.sh)";
    const std::pair<const char*, std::string> expected[] = {
        {"family mapautodownloader_last_pass_timestamp_seconds", "gauge"},
        {"family mapautodownloader_last_pass_complete", "gauge"},
        {"family mapautodownloader_last_pass_duration_seconds", "gauge"},
        {"family mapautodownloader_last_complete_pass_timestamp_seconds", "gauge"},
        {"family mapautodownloader_passes", "counter"},
        {"family mapautodownloader_maps_listed", "gauge"},
        {"family mapautodownloader_maps_current", "gauge"},
        {"family mapautodownloader_maps_downloaded", "counter"},
        {"family mapautodownloader_map_failures", "counter"},
        {"family mapautodownloader_downloaded_bytes", "counter"},
        {"family mapautodownloader_feed_failures", "counter"},
        {"mapautodownloader_last_pass_complete{}", "0"},
        {"mapautodownloader_last_complete_pass_timestamp_seconds{}", "0"},
        {"mapautodownloader_passes_total{result=\"complete\"}", "0"},
        {"mapautodownloader_passes_total{result=\"incomplete\"}", "1"},
        {"mapautodownloader_maps_listed{}", "3"},
        {"mapautodownloader_maps_current{}", "2"},
        {"mapautodownloader_maps_downloaded_total{}", "1"},
        {"mapautodownloader_map_failures_total{}", "1"},
        {"mapautodownloader_downloaded_bytes_total{}", std::to_string(LocalMap("a.map").size())},
        {"mapautodownloader_feed_failures_total{}", "0"},
    };
    for (const auto& [name, value] : expected) {
        const auto found = metrics.find(name);
        EXPECT_TRUE(found != metrics.end() && found->second == value) << name << " should be " << value;
    }
    const long long endedAt = std::stoll(metrics.at("mapautodownloader_last_pass_timestamp_seconds{}"));
    EXPECT_LE(before, endedAt);
    EXPECT_GE(after, endedAt);
    EXPECT_LE(0.0, std::stod(metrics.at("mapautodownloader_last_pass_duration_seconds{}")));
    struct stat info {};
    ASSERT_EQ(0, stat(m_work.File("mad.prom").c_str(), &info));
    EXPECT_EQ(0644u, info.st_mode & 07777);
}

// Written at start and after the pass, both failing for the same reason: said once, and the pass
// goes on as without it.
TEST_F(DownloaderRunTest, MetricsFileThatCannotBeWrittenIsReportedOnce) {
    WriteConfig("<metricsfile>gone/mad.prom</metricsfile>");
    PublishFeed({{"a.map", 1}});
    PublishMap("a.map", MapXml(1));
    const ProcessResult result = Run();
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ(Banner() + "Unable to write the metrics file gone/mad.prom: No such file or directory\n" + kChecking +
                  "\nDownloading a.map... Done\n\n",
              result.out);
}

TEST_F(DownloaderRunTest, FeedNotFoundIsReported) {
    WriteConfig();
    const ProcessResult result = Run();
    EXPECT_EQ(3, result.exitCode);
    EXPECT_EQ(Banner() + kChecking + "Failed\nError downloading RSS feed: 404 - Not Found\n\n", result.out);
}

// Quiet, a pass that went well prints nothing; one that did not prints only its problems, each
// failed map with the line that names it.
TEST_F(DownloaderRunTest, QuietPrintsOnlyTheProblemsAndTheMapsTheyConcern) {
    WriteConfig();
    PublishFeed({{"a.map", 2}, {"missing.map", 1}, {"..", 1}, {"b.map", 3}});
    PublishMap("a.map", MapXml(1));
    PublishMap("b.map", MapXml(1));
    ProcessResult result = Run(kRunTimeoutMs, {"-q"});
    EXPECT_EQ(3, result.exitCode);
    EXPECT_EQ(
        "Downloading missing.map... Failed\nError downloading missing.map: 404 - Not Found\n"
        "Skipping map with an unsafe name: ..\n",
        result.out);
    EXPECT_TRUE(HasVersion(LocalMap("b.map"), 3));

    PublishFeed({{"a.map", 2}, {"b.map", 4}});
    result = Run(kRunTimeoutMs, {"--quiet"});
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ("", result.out + result.err);
    EXPECT_TRUE(HasVersion(LocalMap("b.map"), 4));

    ASSERT_EQ(0, remove(m_www.File("feed.xml").c_str()));
    result = Run(kRunTimeoutMs, {"-q"});
    EXPECT_EQ(3, result.exitCode);
    EXPECT_EQ(kChecking + std::string("Failed\nError downloading RSS feed: 404 - Not Found\n"), result.out);
}

TEST_F(DownloaderRunTest, DirectoryOptionFindsTheConfigurationAndARelativeSavePath) {
    WriteFile(m_work.File("config.xml"), "<config><url>" + FeedUrl() +
                                             "</url><frequency>0</frequency><savepath>maps"
                                             "</savepath></config>");
    PublishFeed({{"a.map", 2}});
    PublishMap("a.map", MapXml(1));

    const ProcessResult result = Run(kRunTimeoutMs, {"--directory", m_work.Path()}, "/");
    EXPECT_EQ(0, result.exitCode) << result.out;
    EXPECT_TRUE(HasVersion(LocalMap("a.map"), 2));
    EXPECT_TRUE(FileExists(m_work.File("autoupdate.xml")));
}

TEST_F(DownloaderRunTest, OnceRunsOnePassWhateverTheFrequencyAndTellsAFailure) {
    WriteConfig("", "3600");
    PublishFeed({});
    const ProcessResult good = Run(kRunTimeoutMs, {"--once", "-C", m_work.Path()});
    EXPECT_EQ(0, good.exitCode);
    EXPECT_EQ(Banner() + kChecking + "All maps up to date!\n\n", good.out);

    ASSERT_EQ(0, remove(m_www.File("feed.xml").c_str()));
    EXPECT_EQ(3, Run(kRunTimeoutMs, {"--once"}).exitCode);
}

// Every file under the working directory, save path included, with its bytes.
std::vector<std::string> Snapshot(const TempDir& work) {
    std::vector<std::string> files;
    for (const std::string& name : work.List()) files.push_back(name + "=" + ReadFile(work.File(name)));
    for (const std::string& name : ListDirectory(work.File("maps")))
        files.push_back("maps/" + name + "=" + ReadFile(work.File("maps/" + name)));
    return files;
}

TEST_F(DownloaderRunTest, DryRunPrintsThePlanAndWritesNothing) {
    WriteConfig("<downloadsperupdatemax>3</downloadsperupdatemax>", "3600");
    PublishFeed({{"old.map", 3},
                 {"same.map", 2},
                 {"new.map", 1},
                 {"../up.map", 1},
                 {"bare.map", 4},
                 {"new.map", 1},
                 {"late.map", 1}});
    WriteFile(m_work.File("maps/old.map"), MapXml(1));
    WriteFile(m_work.File("maps/same.map"), MapXml(2));
    WriteFile(m_work.File("maps/bare.map"), "<map/>");
    const std::vector<std::string> before = Snapshot(m_work);

    const ProcessResult result = Run(kRunTimeoutMs, {"--dry-run"});
    EXPECT_EQ(4, result.exitCode);
    // A map listed twice is judged as a pass would after fetching it the first time.
    EXPECT_EQ(Banner(3) + kChecking +
                  "\nWould update old.map from version 1 to version 3\nWould download new.map\n"
                  "Skipping map with an unsafe name: ../up.map\n"
                  "Would download bare.map again, version info not found\n"
                  "Would skip downloading of 1 maps\n\n",
              result.out);
    EXPECT_EQ(before, Snapshot(m_work));
    EXPECT_EQ(std::string::npos, m_nginx.AccessLog().find("GET /maps/"));
}

TEST_F(DownloaderRunTest, DryRunOfAnUpToDateDirectorySucceedsAndKeepsTheStoredFeed) {
    WriteConfig();
    PublishFeed({{"a.map", 2}});
    PublishMap("a.map", MapXml(1));
    ASSERT_EQ(0, Run().exitCode);
    const std::vector<std::string> before = Snapshot(m_work);
    WriteFile(m_www.File("feed.xml"), ReadFile(m_www.File("feed.xml")) + "<!-- changed -->\n");

    const ProcessResult result = Run(kRunTimeoutMs, {"--dry-run"});
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ(Banner() + kChecking + "All maps up to date!\n\n", result.out);
    EXPECT_EQ(before, Snapshot(m_work));

    ASSERT_EQ(0, remove(m_www.File("feed.xml").c_str()));
    const ProcessResult failed = Run(kRunTimeoutMs, {"--dry-run"});
    EXPECT_EQ(3, failed.exitCode);
    EXPECT_EQ(Banner() + kChecking + "Failed\nError downloading RSS feed: 404 - Not Found\n\n", failed.out);
    EXPECT_EQ(before, Snapshot(m_work));
}

// Both hooks after a pass with one update and one failure: each sees the pass through its
// environment, runs in the working directory, and prints into the program's output after the
// pass's last line. Neither changes the exit status.
TEST_F(DownloaderRunTest, HooksRecordWhatThePassChanged) {
    const std::string record =
        "printf '%s|%s|%s|%s|%s' \"$MAD_UPDATED\" \"$MAD_FAILED\" "
        "\"$MAD_SAVE_PATH\" \"$MAD_PASS\" \"$MAD_FEED_ERROR\" > ";
    WriteConfig("<onupdate>" + record + "updated.txt; echo reloaded</onupdate><ONFAILURE>" + record +
                "failed.txt; exit 7</ONFAILURE>");
    PublishFeed({{"good.map", 2}, {"gone.map", 1}});
    PublishMap("good.map", MapXml(1));

    const ProcessResult result = Run();
    EXPECT_EQ(3, result.exitCode);
    const std::string tail = "reloaded\nHook onfailure exited with status 7\n\n";
    ASSERT_GT(result.out.size(), tail.size());
    EXPECT_EQ(tail, result.out.substr(result.out.size() - tail.size())) << result.out;
    EXPECT_EQ(0u, result.out.find(Banner() + kChecking + "\nDownloading good.map... Done\n"));
    const std::string pass = "good.map|gone.map|" + SavePath() + "|incomplete|";
    EXPECT_EQ(pass, ReadFile(m_work.File("updated.txt")));
    EXPECT_EQ(pass, ReadFile(m_work.File("failed.txt")));

    // A feed that cannot be fetched runs onfailure alone and names the reason; a dry run runs none.
    ASSERT_EQ(0, remove(m_work.File("failed.txt").c_str()));
    ASSERT_EQ(0, remove(m_work.File("updated.txt").c_str()));
    EXPECT_EQ(4, Run(kRunTimeoutMs, {"--dry-run"}).exitCode);
    EXPECT_FALSE(FileExists(m_work.File("failed.txt")));
    ASSERT_EQ(0, remove(m_www.File("feed.xml").c_str()));
    EXPECT_EQ(3, Run().exitCode);
    EXPECT_EQ("||" + SavePath() + "|incomplete|404 - Not Found", ReadFile(m_work.File("failed.txt")));
    EXPECT_FALSE(FileExists(m_work.File("updated.txt")));
}

// A hook that hangs is ended at its time-out and the program goes on; a stop request while one
// runs ends it and the program within about a second.
TEST_F(DownloaderRunTest, HangingHookIsEndedAndTheProgramGoesOn) {
    PublishFeed({{"a.map", 2}});
    PublishMap("a.map", MapXml(1));
    for (const bool stop : {false, true}) {
        std::remove(m_work.File("maps/a.map").c_str());
        WriteConfig("<hooktimeout>" + std::string(stop ? "0" : "1") +
                    "</hooktimeout><onupdate>touch started; sleep 60</onupdate>");
        std::thread stopper;
        std::atomic<long long> stoppedAt{0};
        const ProcessResult result = RunProcess({DownloaderExecutable()}, m_work.Path(), kRunTimeoutMs, [&](pid_t pid) {
            if (stop)
                stopper = std::thread([this, pid, &stoppedAt] {
                    for (int i = 0; i < 1000 && !FileExists(m_work.File("started")); ++i)
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    stoppedAt = std::chrono::steady_clock::now().time_since_epoch().count();
                    kill(pid, SIGTERM);
                });
        });
        const auto ended = std::chrono::steady_clock::now().time_since_epoch();
        if (stopper.joinable()) stopper.join();
        EXPECT_TRUE(FileExists(m_work.File("started")));
        ASSERT_EQ(0, std::remove(m_work.File("started").c_str()));
        EXPECT_EQ(0, result.exitCode) << result.out;
        const std::string pass = Banner() + kChecking + "\nDownloading a.map... Done\n";
        if (stop) {
            EXPECT_LT(ended - std::chrono::steady_clock::duration(stoppedAt.load()), std::chrono::milliseconds(1500));
            EXPECT_EQ(pass + "Hook onupdate killed by signal 15\n\n", result.out);
        } else {
            EXPECT_EQ(pass + "Hook onupdate timed out after 1 s\n\n", result.out);
        }
    }
}

TEST_F(DownloaderRunTest, OutputReachesAPipeAtOnceWhileTheDaemonRuns) {
    WriteConfig("", "60");
    // Periodic mode never ends by itself; whatever is not flushed dies with the process.
    const ProcessResult result = Run(1500);
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ("Xovra Map Downloader\n######\nFeed: " + FeedUrl() + "\nMap save path: " + SavePath() +
                  "\nUpdating every 60 seconds with a full update every 10 updates\n######\n\n",
              result.out);
}

// Under journald each line starts with the priority of its worst piece; elsewhere nothing changes.
// The pass is the same each time: the map it downloads is removed before the next run.
TEST_F(DownloaderRunTest, JournalStreamGivesEachLineItsPriorityAndOnlyThere) {
    WriteConfig("<colour>red</colour>");
    PublishFeed({{"a.map", 2}, {"missing.map", 1}, {"..", 1}});
    PublishMap("a.map", MapXml(2));
    const std::string warning = "config.xml: unknown element 'colour' (ignored)\n";
    const std::vector<std::pair<std::string, std::string>> pieces = {
        {"<6>", Banner() + kChecking + "\nDownloading a.map... Done\n"},
        {"<3>", "Downloading missing.map... Failed\nError downloading missing.map: 404 - Not Found\n"},
        {"<4>", "Skipping map with an unsafe name: ..\n"},
        {"<6>", "\n"},
    };
    std::string plain;
    std::string journal;
    for (const auto& piece : pieces) {
        plain += piece.second;
        for (std::size_t start = 0, end; start < piece.second.size(); start = end + 1) {
            end = piece.second.find('\n', start);
            journal += piece.first + piece.second.substr(start, end + 1 - start);
        }
    }
    const struct {
        JournalStream stream;
        std::string out;
        std::string err;
    } cases[] = {
        {JournalStream::None, plain, warning},
        {JournalStream::StandardOutput, journal, warning},
        {JournalStream::StandardError, plain, "<4>" + warning},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.stream));
        for (const std::string& name : ListDirectory(SavePath())) remove((SavePath() + "/" + name).c_str());
        const ProcessResult result =
            RunProcess({DownloaderExecutable()}, m_work.Path(), kRunTimeoutMs, nullptr, c.stream);
        EXPECT_EQ(3, result.exitCode);
        EXPECT_EQ(c.out, result.out);
        EXPECT_EQ(c.err, result.err);
    }
}

// Cases a real server cannot produce, against the tests' own fault server.
TEST_F(DownloaderRunTest, ProgressLineOnATerminalLeavesStandardOutputAsItIs) {
    WriteConfig();
    PublishFeed({{"a.map", 1}, {"b.map", 2}, {"c.map", 3}});
    for (const char* title : {"a.map", "b.map", "c.map"}) PublishMap(title, MapXml(1, std::string(200000, ' ')));
    auto forget = [this] {
        for (const char* title : {"a.map", "b.map", "c.map"}) unlink(m_work.File(std::string("maps/") + title).c_str());
    };

    const ProcessResult piped = Run();
    ASSERT_EQ(0, piped.exitCode) << piped.out << piped.err;
    EXPECT_EQ(std::string::npos, piped.err.find("maps,")) << piped.err;
    forget();

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_NE(-1, master);
    ASSERT_EQ(0, grantpt(master));
    ASSERT_EQ(0, unlockpt(master));
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_NE(-1, slave);
    std::string terminal;
    std::thread reader([&] {
        char buffer[4096];
        // Ends with EIO once no one holds the slave open any more.
        for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);) {
            if (n > 0) terminal.append(buffer, static_cast<std::size_t>(n));
        }
    });
    const ProcessResult onTerminal =
        RunProcess({DownloaderExecutable()}, m_work.Path(), kRunTimeoutMs, nullptr, JournalStream::None, slave);
    close(slave);
    reader.join();
    close(master);

    EXPECT_EQ(0, onTerminal.exitCode);
    EXPECT_EQ(piped.out, onTerminal.out);
    // All of the maps' bytes, counted as each map is done.
    EXPECT_TRUE(std::regex_search(terminal, std::regex("3 of 3 maps, 58[0-9]\\.[0-9] KiB received"))) << terminal;
    const std::string clear = "\r\033[K";
    ASSERT_GE(terminal.size(), clear.size()) << terminal;
    EXPECT_EQ(clear, terminal.substr(terminal.size() - clear.size())) << terminal;
}

class FaultRunTest : public ::testing::Test {
protected:
    // Expects the run-once pass to end with status (3: it failed, as most cases here do).
    std::string RunAgainst(const FaultServer& server, const std::string& extra = "", int status = 3) {
        m_feedUrl = server.Url("/feed.xml?source=e2e");
        WriteFile(m_work.File("config.xml"), "<config><url>" + m_feedUrl + "</url><frequency>0</frequency><savepath>" +
                                                 m_work.File("maps") + "</savepath>" + extra + "</config>");
        const ProcessResult result = RunProcess({DownloaderExecutable()}, m_work.Path(), kRunTimeoutMs);
        EXPECT_EQ(status, result.exitCode);
        return result.out;
    }

    std::string Banner() const {
        return "Xovra Map Downloader\n######\nFeed: " + m_feedUrl + "\nMap save path: " + m_work.File("maps") +
               "\nUpdating once then exiting\n######\n\n";
    }

    std::string ParallelBanner(unsigned int parallel) const {
        std::string banner = Banner();
        return banner.insert(banner.size() - 8, "Downloading up to " + std::to_string(parallel) + " maps at a time.\n");
    }

    TempDir m_work;
    std::string m_feedUrl;
};

TEST_F(FaultRunTest, MapDownloadCutShortKeepsTheOldMap) {
    ASSERT_EQ(0, mkdir(m_work.File("maps").c_str(), 0755));
    const std::string old = MapXml(3, "<old/>");
    WriteFile(m_work.File("maps/a.map"), old);
    FaultServer server([](FaultServer& self, int fd, const std::string& request) {
        if (request.rfind("GET /feed.xml", 0) == 0) {
            const std::string feed = "<rss><channel><time>t</time><item><title>a.map</title><link>" +
                                     self.Url("/maps/a.map") + "</link><version>4</version></item></channel></rss>";
            FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n" + feed);
        } else {
            FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n<map>");
        }
    });

    const std::string out = RunAgainst(server, "<retries>0</retries>");  // sets the feed URL that Banner() names
    EXPECT_EQ(Banner() + kChecking +
                  "\nUpdating a.map from version 3 to version 4... Failed\n"
                  "Error downloading a.map: Incomplete response body: 5 of 1000 bytes\n\n",
              out);
    EXPECT_EQ(old, ReadFile(m_work.File("maps/a.map")));
    EXPECT_EQ(std::vector<std::string>{"a.map"}, ListDirectory(m_work.File("maps")));
}

// A map whose server is briefly unavailable is fetched again within the pass, and is done.
TEST_F(FaultRunTest, MapAnswered503ThenOkIsDoneOnItsSecondRequest) {
    ASSERT_EQ(0, mkdir(m_work.File("maps").c_str(), 0755));
    std::atomic<int> mapRequests{0};
    FaultServer server([&mapRequests](FaultServer& self, int fd, const std::string& request) {
        if (request.rfind("GET /feed.xml", 0) == 0) {
            const std::string feed = "<rss><channel><time>t</time><item><title>a.map</title><link>" +
                                     self.Url("/maps/a.map") + "</link><version>4</version></item></channel></rss>";
            FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n" + feed);
        } else if (mapRequests++ == 0) {
            FaultServer::SendAll(fd, "HTTP/1.0 503 Service Unavailable\r\n\r\n");
        } else {
            FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n" + MapXml(1));
        }
    });

    const std::string out = RunAgainst(server, "", 0);
    EXPECT_EQ(Banner() + kChecking + "\nDownloading a.map... Done\n\n", out);
    EXPECT_EQ(2, mapRequests.load());
    EXPECT_TRUE(HasVersion(ReadFile(m_work.File("maps/a.map")), 4));
}

// A supervisor's SIGTERM in the middle of downloads, one at a time and two side by side: those in
// flight are abandoned like failed ones and reported in feed order, no later map starts, their
// temporary files go and the exit is clean.
TEST_F(FaultRunTest, StopRequestAbandonsTheDownloadsInProgressAndLeavesNoPartialFile) {
    ASSERT_EQ(0, mkdir(m_work.File("maps").c_str(), 0755));
    const std::string old = MapXml(3, "<old/>");
    struct Case {
        int parallel;
        const char* lastStarted;  // the stop comes once its body has started arriving
        std::string lines;
    };
    const Case cases[] = {
        {1, "GET /maps/a.map",
         "\nUpdating a.map from version 3 to version 4... Failed\nError downloading a.map: Stopped\n\n"},
        {2, "GET /maps/b.map",
         "\nUpdating a.map from version 3 to version 4... Failed\nError downloading a.map: Stopped\n"
         "Downloading b.map... Failed\nError downloading b.map: Stopped\n\n"},
    };
    for (const Case& c : cases) {
        WriteFile(m_work.File("maps/a.map"), old);
        std::atomic<pid_t> downloader{0};
        FaultServer server(
            [&](FaultServer& self, int fd, const std::string& request) {
                if (request.rfind("GET /feed.xml", 0) == 0) {
                    std::string feed = "<rss><channel><time>t</time>";
                    for (const char* title : {"a.map", "b.map", "c.map", "d.map"})
                        feed += std::string("<item><title>") + title + "</title><link>" +
                                self.Url(std::string("/maps/") + title) + "</link><version>4</version></item>";
                    FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n" + feed + "</channel></rss>");
                    return;
                }
                FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n<map>");
                if (request.rfind(c.lastStarted, 0) == 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(200));
                    kill(downloader.load(), SIGTERM);
                }
                self.WaitUntilStopped();
            },
            /*readRequest=*/true, /*concurrent=*/true);
        m_feedUrl = server.Url("/feed.xml?source=e2e");
        WriteFile(m_work.File("config.xml"), "<config><url>" + m_feedUrl + "</url><frequency>0</frequency><savepath>" +
                                                 m_work.File("maps") +
                                                 "</savepath><timeout>1</timeout><paralleldownloads>" +
                                                 std::to_string(c.parallel) + "</paralleldownloads></config>");

        const ProcessResult result = RunProcess({DownloaderExecutable()}, m_work.Path(), kRunTimeoutMs,
                                                [&downloader](pid_t pid) { downloader = pid; });
        EXPECT_EQ(0, result.signal) << c.parallel;
        EXPECT_EQ(0, result.exitCode) << c.parallel;  // a stop is not a failed pass
        EXPECT_EQ(ParallelBanner(c.parallel) + kChecking + c.lines, result.out);
        EXPECT_EQ(old, ReadFile(m_work.File("maps/a.map"))) << c.parallel;
        EXPECT_EQ(std::vector<std::string>{"a.map"}, ListDirectory(m_work.File("maps"))) << c.parallel;
        // No later map was asked for; a connection opened ahead carries no request.
        const std::vector<std::string> requests = server.Requests();
        EXPECT_EQ(1 + c.parallel, std::count_if(requests.begin(), requests.end(),
                                                [](const std::string& request) { return !request.empty(); }))
            << c.parallel;
        // One at a time opens no connection ahead of its download.
        if (c.parallel == 1) {
            EXPECT_EQ(2, server.Connections());
        }
    }
}

// With time-out 0 nothing bounds a wait on the server, yet SIGTERM still ends the program within
// a second: both while a silent server holds the head back and while a server trickles the body.
TEST_F(FaultRunTest, StopEndsAnEndlessWaitWithinASecond) {
    ASSERT_EQ(0, mkdir(m_work.File("maps").c_str(), 0755));
    for (const bool trickle : {false, true}) {
        FaultServer server([trickle](FaultServer& self, int fd, const std::string&) {
            if (trickle) {
                FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n<rss><channel>");
                for (int i = 0; i < 100 && FaultServer::SendAll(fd, " "); ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            self.WaitUntilStopped();
        });
        m_feedUrl = server.Url("/feed.xml?source=e2e");
        WriteFile(m_work.File("config.xml"), "<config><url>" + m_feedUrl + "</url><frequency>0</frequency><savepath>" +
                                                 m_work.File("maps") + "</savepath><timeout>0</timeout></config>");
        std::thread stopper;
        std::atomic<long long> stoppedAt{0};
        const ProcessResult result = RunProcess({DownloaderExecutable()}, m_work.Path(), kRunTimeoutMs, [&](pid_t pid) {
            // Stopped once it waits on the server (after the connection, some of the body).
            stopper = std::thread([pid, &server, &stoppedAt] {
                for (int i = 0; i < 500 && server.Connections() == 0; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
                stoppedAt = std::chrono::steady_clock::now().time_since_epoch().count();
                kill(pid, SIGTERM);
            });
        });
        const auto ended = std::chrono::steady_clock::now().time_since_epoch();
        stopper.join();
        EXPECT_LT(ended - std::chrono::steady_clock::duration(stoppedAt.load()), std::chrono::seconds(1))
            << "trickle " << trickle;
        EXPECT_EQ(0, result.exitCode) << result.out;
        EXPECT_EQ(Banner() + kChecking + "Failed\nError downloading RSS feed: Stopped\n\n", result.out);
        EXPECT_EQ((std::vector<std::string>{"config.xml", "maps"}), ListDirectory(m_work.Path()));
    }
}

TEST_F(FaultRunTest, ConfiguredTimeoutEndsAWaitOnASilentServer) {
    ASSERT_EQ(0, mkdir(m_work.File("maps").c_str(), 0755));
    FaultServer server([](FaultServer& self, int, const std::string&) { self.WaitUntilStopped(); });

    const auto start = std::chrono::steady_clock::now();
    // Without retries: each try would wait out the time-out again.
    const std::string out = RunAgainst(server, "<timeout>1</timeout><retries>0</retries>");  // sets Banner()'s feed URL
    EXPECT_EQ(Banner() + kChecking + "Failed\nError downloading RSS feed: Timed out waiting for the server\n\n", out);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// The real program over https: refused until cafile names the feed's own authority, then the
// feed and a map arrive verified, the map through a redirect that maxredirects allows.
TEST(HttpsRunTest, FeedAndMapOverVerifiedHttpsWithARedirect) {
    TestCertificates certificates;
    ASSERT_TRUE(certificates.Generate()) << certificates.Error();
    TempDir www;
    TempDir work;
    ASSERT_EQ(0, mkdir(www.File("maps").c_str(), 0755));
    ASSERT_EQ(0, mkdir(work.File("maps").c_str(), 0755));
    NginxServer nginx(www.Path());
    nginx.UseTLS(certificates.Certificate("good"), certificates.Key("good"));
    nginx.AddServerConfig("location = /old/a.map { return 301 /maps/a.map; }");
    ASSERT_TRUE(nginx.Start()) << nginx.Error();
    WriteFile(www.File("feed.xml"), "<rss><channel><time>t</time><item><title>a.map</title><link>" +
                                        nginx.Url("/old/a.map") + "</link><version>4</version></item></channel></rss>");
    WriteFile(www.File("maps/a.map"), MapXml(1));
    const std::string url = nginx.Url("/feed.xml?source=e2e");
    const std::string banner = "Xovra Map Downloader\n######\nFeed: " + url + "\nMap save path: " + work.File("maps") +
                               "\nUpdating once then exiting\n######\n\n";
    auto run = [&](const std::string& extra) {
        WriteFile(work.File("config.xml"), "<config><url>" + url + "</url><frequency>0</frequency><savepath>" +
                                               work.File("maps") + "</savepath>" + extra + "</config>");
        return RunProcess({DownloaderExecutable()}, work.Path(), kRunTimeoutMs);
    };

    ProcessResult result = run("<maxredirects>1</maxredirects>");
    EXPECT_EQ(banner + kChecking +
                  "Failed\nError downloading RSS feed: Certificate verification failed: unable to get "
                  "local issuer certificate\n\n",
              result.out);
    result = run("<cafile>" + certificates.Authority() + "</cafile><maxredirects>1</maxredirects>");
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ(banner + kChecking + "\nDownloading a.map... Done\n\n", result.out);
    EXPECT_TRUE(HasVersion(ReadFile(work.File("maps/a.map")), 4));
}

// The configuration checks, each with its message, status 1 and nothing else on the output.
class ConfigurationTest : public ::testing::Test {
protected:
    // Configuration errors end at once; a valid periodic configuration is stopped after 1.5 s.
    ProcessResult RunWith(const std::string& children) {
        WriteFile(m_work.File("config.xml"), "<settings>" + children + "</settings>");
        return RunProcess({DownloaderExecutable()}, m_work.Path(), 1500);
    }

    void ExpectError(const ProcessResult& result, const std::string& message) {
        EXPECT_EQ(1, result.exitCode);
        EXPECT_EQ(message, result.out);
    }

    std::string Writable() const { return "<savepath>" + m_work.Path() + "</savepath>"; }

    TempDir m_work;
};

const char kNoUrl[] =
    "Your config file, config.xml does not contain a 'url' tag. To create a valid feed url, "
    "visit " MAD_FEED_SERVICE_SITE ".\n";
const char kBlankUrl[] = "Your config file contains a blank url tag. Please enter a valid feed url.\n";
const char kLongUrl[] =
    "Your config file contains a url that is too long. Please enter a feed "
    "url of at most 456 characters.\n";
const char kLongSavePath[] =
    "Your config file contains a savepath that is too long. Please "
    "enter a save path of at most 511 characters.\n";
const char kBadMaxMapSize[] =
    "Your config file contains a maxmapsize that is not a size. Please "
    "enter a number of bytes, optionally followed by k, M or G.\n";
const char kLongHook[] =
    "Your config file contains an onfailure command that is too long. Please "
    "enter a command line of at most 1023 characters.\n";
const char kLowFrequency[] =
    "The frequency value specified in the config file is too low. "
    "Please increase it to a minimum of 60 seconds.\n";

std::string CannotWrite(const std::string& path, const std::string& reason) {
    return "Cannot write to the save directory specified (" + path + "): " + reason +
           ". Please ensure it exists and that you have write access to it.\n";
}

// The file is named with the full path of where the program looked, -C's directory or the working one.
TEST_F(ConfigurationTest, MissingConfigurationFileIsAnErrorNamingItsFullPath) {
    const std::string expected = "Cannot read " + RealPath(m_work.Path()) + "/config.xml: No such file or directory\n";
    ExpectError(RunProcess({DownloaderExecutable()}, m_work.Path(), kRunTimeoutMs), expected);
    ExpectError(RunProcess({DownloaderExecutable(), "-C", m_work.Path()}, "/", kRunTimeoutMs), expected);
}

TEST_F(ConfigurationTest, MalformedConfigurationFileIsAnErrorNamingTheParserReason) {
    const ProcessResult result = RunWith("<url>http://127.0.0.1/f</url");
    EXPECT_EQ(1, result.exitCode);
    EXPECT_TRUE(
        std::regex_match(result.out, std::regex("Cannot read /[^\n]*/config\\.xml: [^\n]*config\\.xml[^\n]*\n")))
        << result.out;
}

std::string OwnFile(const std::string& name) {
    return "Your config file names the program's own " + name + " as metricsfile. Please enter another path.\n";
}

// Each configuration error, and which comes first when several are there: the url, then the
// save directory, then the map size limit, then a hook command, then the frequency. Nothing
// but config.xml is left behind.
TEST_F(ConfigurationTest, ConfigurationErrorsAreReportedInTheirOrder) {
    const std::pair<std::string, std::string> cases[] = {
        {"<frequency>5</frequency><savepath>/nonexistent</savepath>", kNoUrl},
        {"<URL></URL><savepath>/nonexistent</savepath>", kBlankUrl},
        {"<url>http://h/" + std::string(449, 'u') + "</url>", kLongUrl},
        {"<url>http://h/f</url><savepath>/" + std::string(511, 's') + "</savepath>", kLongSavePath},
        {"<url>http://h/f</url><frequency>30</frequency><savepath>/nonexistent/maps</savepath>",
         CannotWrite("/nonexistent/maps", "No such file or directory")},
        {"<url>http://h/f</url><frequency>59</frequency>" + Writable() + "<metricsfile>/" + std::string(511, 'm') +
             "</metricsfile>",
         "Your config file contains a metricsfile path that is too long. Please enter a path of at most 511 "
         "characters.\n"},
        // Each write of the metrics would replace the program's own file.
        {"<url>http://h/f</url><frequency>59</frequency>" + Writable() + "<metricsfile>config.xml</metricsfile>",
         OwnFile("config.xml")},
        {"<url>http://h/f</url><frequency>59</frequency>" + Writable() + "<metricsfile>" + m_work.Path() +
             "/AutoUpdate.xml</metricsfile><maxmapsize>2T</maxmapsize>",
         OwnFile("autoupdate.xml")},
        {"<url>http://h/f</url><frequency>59</frequency>" + Writable() + "<metricsfile>./mapversions.dat</metricsfile>",
         OwnFile("mapversions.dat")},
        {"<url>http://h/f</url><frequency>59</frequency>" + Writable() + "<maxmapsize>2T</maxmapsize>", kBadMaxMapSize},
        {"<url>http://h/f</url><frequency>59</frequency>" + Writable() + "<onUpdate>" + std::string(1023, 'u') +
             "</onUpdate><OnFailure>" + std::string(1024, 'f') + "</OnFailure>",
         kLongHook},
        {"<url>http://h/f</url><frequency>59</frequency>" + Writable() + "<ignore><map>x</map></ignore>",
         kLowFrequency},
    };
    for (const auto& c : cases) {
        ExpectError(RunWith(c.first), c.second);
        EXPECT_EQ(std::vector<std::string>{"config.xml"}, m_work.List()) << c.first;
    }
}

// --check-config reads and judges the file like a start, then lists every setting in effect
// instead of running; it contacts no server and writes nothing, not even the save directory probe.
TEST_F(ConfigurationTest, CheckConfigListsTheSettingsInEffectOrTheErrorAndWritesNothing) {
    const std::string valid = "<url>http://127.0.0.1:1/f</url><frequncy>0</frequncy>" + Writable() +
                              "<timeout>99999999</timeout><ignore><map>a.map</map><map>b.map</map></ignore>";
    const std::string warnings =
        "config.xml: unknown element 'frequncy' (ignored)\n"
        "config.xml: timeout value '99999999' is not valid, using 4294967\n";
    const std::string settings =
        "url = http://127.0.0.1:1/f\nfrequency = 60\nsavepath = " + m_work.Path() +
        "\nfullcheckfrequency = 10\ndownloadsperupdatemax = 0\nmaxmapcount = 0\n"
        "timeout = 4294967\nparalleldownloads = 4\ncafile = \nmaxredirects = 0\nmaxmapsize = 0\nmaxrate = \nretries = "
        "2\n"
        "onupdate = \nonfailure = \nhooktimeout = 60\nmetricsfile = \nsplay = 0\nproxy = \nnoproxy = \n"
        "ignore = a.map\nignore = b.map\n";
    struct Case {
        std::string children;
        std::vector<std::string> options;
        int exitCode;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {valid, {"--check-config"}, 0, settings, warnings},
        {valid, {"--check-config", "-q"}, 0, "", warnings},
        {"<url>http://h/f</url>" + Writable() + "<frequency>30</frequency>", {"--check-config"}, 1, kLowFrequency, ""},
        {"<url>http://h/f</url><savepath>" + m_work.File("none") + "</savepath>",
         {"--check-config", "-q"},
         1,
         CannotWrite(m_work.File("none"), "No such file or directory"),
         ""},
    };
    for (const Case& c : cases) {
        WriteFile(m_work.File("config.xml"), "<settings>" + c.children + "</settings>");
        std::vector<std::string> argv = c.options;
        argv.insert(argv.begin(), DownloaderExecutable());
        const ProcessResult result = RunProcess(argv, m_work.Path(), kRunTimeoutMs);
        EXPECT_EQ(c.exitCode, result.exitCode) << c.children;
        EXPECT_EQ(c.out, result.out);
        EXPECT_EQ(c.err, result.err);
        EXPECT_EQ(std::vector<std::string>{"config.xml"}, m_work.List());
    }
}

TEST_F(ConfigurationTest, UnreadableCAFileIsAnErrorBeforeTheFrequency) {
    WriteFile(m_work.File("notpem.txt"), "not a certificate\n");
    ASSERT_EQ(0, mkfifo(m_work.File("fifo.pem").c_str(), 0644));
    const std::pair<std::string, std::string> cases[] = {
        {m_work.File("missing.pem"), "No such file or directory"},
        {m_work.Path(), "Is a directory"},
        // Its open would wait for a writer that never comes.
        {m_work.File("fifo.pem"), "not a regular file"},
        {m_work.File("notpem.txt"), "no certificate or crl found"},
    };
    for (const auto& c : cases)
        ExpectError(
            RunWith("<url>http://h/f</url><frequency>30</frequency>" + Writable() + "<cafile>" + c.first + "</cafile>"),
            "Cannot read the certificate file specified in cafile (" + c.first + "): " + c.second + "\n");
}

TEST_F(ConfigurationTest, AMaxRateIsShownAsWrittenAndOneThatDoesNotReadIsAnError) {
    ExpectError(RunWith("<url>http://h/f</url>" + Writable() + "<maxrate>08:00,fast</maxrate>"),
                "Your config file contains a maxrate that cannot be read (08:00,fast). Please enter bytes "
                "per second with an optional k or M suffix, off, or a timetable such as "
                "\"08:00,512k 18:00,2M 23:30,off\".\n");
    const ProcessResult result =
        RunWith("<url>http://h/f</url>" + Writable() + "<maxrate> 08:00,512k  23:30,off\n</maxrate>");
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ("Xovra Map Downloader\n######\nFeed: http://h/f\nMap save path: " + m_work.Path() +
                  "\nUpdating every 60 seconds with a full update every 10 updates\n"
                  "Bandwidth cap: 08:00,512k  23:30,off\n######\n\n",
              result.out);
}

TEST_F(ConfigurationTest, BadNumbersKeepTheirDefaultsInThePeriodicBanner) {
    // Periodic mode runs until it is killed; its first pass would come after 60 s.
    const ProcessResult result = RunWith("<url>http://h/f</url><frequency>abc</frequency>" + Writable() +
                                         "<fullcheckfrequency>-3</fullcheckfrequency>"
                                         "<downloadsperupdatemax>0x2</downloadsperupdatemax><splay>0x1e</splay>");
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ("Xovra Map Downloader\n######\nFeed: http://h/f\nMap save path: " + m_work.Path() +
                  "\nUpdating every 60 seconds with a full update every 10 updates\n"
                  "Downloading up to a maximum of 2 maps per update.\n"
                  "Each pass starts up to 30 seconds late, at random.\n######\n\n",
              result.out);
    EXPECT_EQ(
        "config.xml: frequency value 'abc' is not valid, using 60\n"
        "config.xml: fullcheckfrequency value '-3' is not valid, using 10\n",
        result.err);
}

}  // namespace

namespace {

// Options that end the program before it reads any configuration: none of them may fall through
// to the "Cannot read config.xml" of a directory without one.
TEST(CommandLineRunTest, OptionsAnswerWithoutReadingTheConfiguration) {
    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
        std::string out;  // regular expressions
        std::string err;
    };
    const std::string usage = "Usage: mapautodownloader \\[--once\\] \\[--dry-run[^\n]*\n[^\n]*\n";
    const Case cases[] = {
        {{"--help"}, 0, usage + "[\\s\\S]*\n  3  run-once mode[\\s\\S]*\n  4  --dry-run[\\s\\S]*", ""},
        {{"--version"}, 0, "mapautodownloader [0-9]+\\.[0-9]+\\.[0-9]+\n", ""},
        {{"--bogus"}, 2, "", "mapautodownloader: unknown option --bogus\n" + usage + ".*--help.*\n"},
        {{"--once", "extra"}, 2, "", "mapautodownloader: unexpected argument extra\n" + usage + ".*\n"},
        {{"-C"}, 2, "", "mapautodownloader: option -C needs a directory\n" + usage + ".*\n"},
        {{"-C", "/nonexistent"}, 2, "", "mapautodownloader: cannot enter /nonexistent: No such file or directory\n"},
    };
    TempDir empty;
    for (const Case& c : cases) {
        std::vector<std::string> argv = c.arguments;
        argv.insert(argv.begin(), DownloaderExecutable());
        const ProcessResult result = RunProcess(argv, empty.Path(), kRunTimeoutMs);
        EXPECT_EQ(c.exitCode, result.exitCode) << c.arguments[0];
        EXPECT_TRUE(std::regex_match(result.out, std::regex(c.out))) << result.out;
        EXPECT_TRUE(std::regex_match(result.err, std::regex(c.err))) << result.err;
    }
}

}  // namespace
