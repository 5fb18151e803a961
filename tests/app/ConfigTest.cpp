#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cstring>
#include <string>
#include <vector>
#include <xercesc/util/PlatformUtils.hpp>

#include "app/CConfig.h"
#include "app/CMapAutoDownload.h"
#include "app/Utils.h"
#include "support/TempDir.h"

namespace {

// Each test writes a config.xml body into a temporary directory and reads it step by step.
class ConfigTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { xercesc::XMLPlatformUtils::Initialize(); }

    bool Load(const std::string& children) {
        WriteFile(m_path, "<config>" + children + "</config>");
        return m_config.Load(m_path.c_str());
    }

    TempDir m_dir;
    std::string m_path = m_dir.File("config.xml");
    std::vector<char*> m_ignored;
    CConfig m_config{m_ignored};
};

TEST_F(ConfigTest, MissingFileIsReportedWithTheSystemReason) {
    EXPECT_FALSE(m_config.Load(m_path.c_str()));
    EXPECT_EQ("No such file or directory", m_config.LoadError());
}

TEST_F(ConfigTest, FifoNamedLikeTheFileIsRefusedWithoutBlocking) {
    ASSERT_EQ(0, mkfifo(m_path.c_str(), 0644));
    EXPECT_FALSE(m_config.Load(m_path.c_str()));
    EXPECT_EQ("not a regular file", m_config.LoadError());
}

TEST_F(ConfigTest, SavePathMustNotBeEmpty) {
    ASSERT_TRUE(Load("<url>http://h/f</url>"));
    ASSERT_TRUE(m_config.ReadSavePath());
    EXPECT_FALSE(m_config.HasSavePath());
    ASSERT_TRUE(Load("<savepath></savepath>"));
    ASSERT_TRUE(m_config.ReadSavePath());
    EXPECT_FALSE(m_config.HasSavePath());
    ASSERT_TRUE(Load("<savepath>maps</savepath>"));
    ASSERT_TRUE(m_config.ReadSavePath());
    EXPECT_TRUE(m_config.HasSavePath());
}

TEST_F(ConfigTest, MalformedFileIsReportedWithTheParserText) {
    WriteFile(m_path, "<config><url>x</url>");
    EXPECT_FALSE(m_config.Load(m_path.c_str()));
    EXPECT_NE(std::string::npos, m_config.LoadError().find("config.xml"));
}

TEST_F(ConfigTest, DefaultsHoldWhenElementsAreAbsent) {
    ASSERT_TRUE(Load("<url>http://h/f</url>"));
    m_config.ReadFrequency();
    ASSERT_TRUE(m_config.ReadSavePath());
    m_config.ReadCounts();
    EXPECT_EQ(60u, m_config.Frequency());
    EXPECT_EQ(10u, m_config.FullCheckFrequency());
    EXPECT_EQ(0, m_config.DownloadsPerUpdateMax());
    EXPECT_EQ(0, m_config.MaxMapCount());
    EXPECT_EQ(30u, m_config.TimeoutSeconds());
    EXPECT_EQ(4u, m_config.ParallelDownloads());
    EXPECT_EQ(0u, m_config.MaxRedirects());
    EXPECT_EQ(2u, m_config.Retries());
    EXPECT_STREQ("", m_config.SavePath());
    ASSERT_TRUE(m_config.ReadCAFile());
    EXPECT_EQ("", m_config.CAFile());
    std::string reason;
    EXPECT_TRUE(m_config.CheckCAFile(reason));
}

TEST_F(ConfigTest, CAFileMaxRedirectsAndRetriesReachTheSettings) {
    ASSERT_TRUE(Load("<CAFile>/etc/mad/feed-ca.pem</CAFile><maxredirects>5</maxredirects><retries>0</retries>"));
    ASSERT_TRUE(m_config.ReadCAFile());
    m_config.ReadCounts();
    const CSettings settings = m_config.Settings();
    EXPECT_EQ("/etc/mad/feed-ca.pem", settings.caFile);
    EXPECT_EQ(5u, settings.maxRedirects);
    EXPECT_EQ(0u, settings.retries);
    ASSERT_TRUE(Load("<retries>11</retries>"));
    m_config.ReadCounts();
    EXPECT_EQ(10u, m_config.Retries());

    ASSERT_TRUE(Load("<cafile>" + std::string(512, 'c') + "</cafile>"));
    EXPECT_FALSE(m_config.ReadCAFile());
}

TEST_F(ConfigTest, MaxMapSizeTakesBytesOrASuffixAndRefusesAnythingElse) {
    const struct {
        const char* text;
        bool valid;
        unsigned long long bytes;
    } cases[] = {
        {"", true, 0},
        {"1000", true, 1000},
        {" 64k\n", true, 64ull << 10},
        {"3m", true, 3ull << 20},
        {"2G", true, 2ull << 30},
        {"17179869183G", true, 17179869183ull << 30},
        {"17179869184G", false, 0},
        {"18446744073709551616", false, 0},
        {"1.5M", false, 0},
        {"-1", false, 0},
        {"k", false, 0},
        {"2T", false, 0},
        {"64 M", false, 0},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Load(std::string("<MaxMapSize>") + c.text + "</MaxMapSize>"));
        EXPECT_EQ(c.valid, m_config.ReadMaxMapSize()) << c.text;
        if (c.valid) {
            EXPECT_EQ(c.bytes, m_config.Settings().maxMapSize) << c.text;
        }
    }
}

// Above twenty, the value acts as twenty, with a warning that quotes the text.
TEST_F(ConfigTest, MaxRedirectsIsCappedAtTwenty) {
    const struct {
        const char* text;
        unsigned int redirects;
        const char* quoted;
    } cases[] = {
        {"20", 20, ""}, {"21", 20, "21"}, {" 2147483647\n", 20, "2147483647"}, {"0x7fffffff", 20, "0x7fffffff"}};
    for (const auto& c : cases) {
        ASSERT_TRUE(Load(std::string("<maxredirects>") + c.text + "</maxredirects>"));
        m_config.ReadCounts();
        EXPECT_EQ(c.redirects, m_config.Settings().maxRedirects) << c.text;
        const std::vector<std::string> warnings =
            c.quoted[0] ? std::vector<std::string>{std::string("config.xml: maxredirects value '") + c.quoted +
                                                   "' is not valid, using 20\n"}
                        : std::vector<std::string>{};
        EXPECT_EQ(warnings, m_config.Warnings()) << c.text;
    }
}

TEST_F(ConfigTest, HookCommandsAreReadUpToTheirLengthLimit) {
    std::string tooLong;
    ASSERT_TRUE(Load("<url>x</url>"));
    ASSERT_TRUE(m_config.ReadHooks(tooLong));
    EXPECT_EQ("", m_config.OnUpdate() + m_config.OnFailure());
    EXPECT_EQ(60u, m_config.HookTimeoutSeconds());

    const std::string longest(1023, 'c');
    ASSERT_TRUE(Load("<OnUpdate>systemctl reload game</OnUpdate><ONFAILURE>" + longest +
                     "</ONFAILURE><HookTimeout>0</HookTimeout>"));
    ASSERT_TRUE(m_config.ReadHooks(tooLong));
    const CSettings settings = m_config.Settings();
    EXPECT_EQ("systemctl reload game", settings.onUpdate);
    EXPECT_EQ(longest, settings.onFailure);
    EXPECT_EQ(0u, settings.hookTimeoutSeconds);

    for (const char* name : {"onupdate", "onfailure"}) {
        ASSERT_TRUE(Load(std::string("<") + name + ">" + longest + "c</" + name + ">"));
        EXPECT_FALSE(m_config.ReadHooks(tooLong));
        EXPECT_EQ(name, tooLong);
        EXPECT_EQ("", m_config.OnUpdate() + m_config.OnFailure());
    }
}

TEST_F(ConfigTest, MaxRateReachesTheSettingsOnlyWhenItReads) {
    ASSERT_TRUE(Load("<maxrate>\n  2M </maxrate>"));
    ASSERT_TRUE(m_config.ReadMaxRate());
    EXPECT_EQ("2M", m_config.Settings().maxRate);
    EXPECT_EQ((CRateLimiter::Schedule{{0, 2 * 1024 * 1024}}), m_config.Settings().maxRateSchedule);
    ASSERT_TRUE(Load("<maxrate>2 M</maxrate>"));
    EXPECT_FALSE(m_config.ReadMaxRate());
    EXPECT_EQ("2 M", m_config.MaxRate());
    EXPECT_TRUE(m_config.Settings().maxRateSchedule.empty());
}

TEST_F(ConfigTest, ElementNamesMatchInAnyLetterCaseAndTheFirstOccurrenceWins) {
    ASSERT_TRUE(Load("<URL>http://h/first</URL><url>http://h/second</url><FrEqUeNcY>0</FrEqUeNcY>"));
    ASSERT_TRUE(m_config.HasUrl());
    ASSERT_EQ(CConfig::UrlResult::Ok, m_config.ReadUrl());
    m_config.ReadFrequency();
    EXPECT_STREQ("http://h/first", m_config.FeedUrl());
    EXPECT_EQ(0u, m_config.Frequency());
}

TEST_F(ConfigTest, UrlIsRequiredAndMustNotBeBlank) {
    ASSERT_TRUE(Load("<frequency>60</frequency>"));
    EXPECT_FALSE(m_config.HasUrl());
    ASSERT_TRUE(Load("<url></url>"));
    EXPECT_TRUE(m_config.HasUrl());
    EXPECT_EQ(CConfig::UrlResult::Blank, m_config.ReadUrl());
}

// An operator may lay config.xml out with each value on lines of its own, as XML editors do.
TEST_F(ConfigTest, TextSettingsOnLinesOfTheirOwnReadAsOnOneLine) {
    ASSERT_TRUE(
        Load("<url>\n  http://h/feed\n</url><savepath>\n\t/srv/maps \n</savepath>"
             "<cafile> /etc/ca.pem\n</cafile><metricsfile>\n  m.prom</metricsfile>"
             "<proxy>\n  http://p:3128\n</proxy><noproxy>\n  localhost,\n  feed.example.org\n</noproxy>"
             "<ignore><map>\n  secret.map\n</map></ignore>"));
    ASSERT_EQ(CConfig::UrlResult::Ok, m_config.ReadUrl());
    ASSERT_TRUE(m_config.ReadSavePath());
    ASSERT_TRUE(m_config.ReadCAFile());
    ASSERT_TRUE(m_config.ReadMetricsFile());
    std::string source;
    EXPECT_TRUE(m_config.ReadProxy(source, [](const char*) -> const char* { return nullptr; })) << source;
    m_config.ReadIgnoreList();
    const CSettings settings = m_config.Settings();
    EXPECT_EQ("http://h/feed", settings.feedUrl);
    EXPECT_EQ("/srv/maps", settings.savePath);
    EXPECT_EQ("/etc/ca.pem", settings.caFile);
    EXPECT_EQ("m.prom", settings.metricsFile);
    EXPECT_EQ("p", settings.proxies.Http() ? settings.proxies.Http()->Host() : "");
    EXPECT_TRUE(settings.proxies.GoesDirect("localhost"));
    EXPECT_TRUE(settings.proxies.GoesDirect("feed.example.org"));
    ASSERT_EQ(1u, settings.ignoredMaps.size());
    EXPECT_STREQ("secret.map", settings.ignoredMaps[0]);
    // Nothing but white space is no address.
    ASSERT_TRUE(Load("<url>\n  \n</url>"));
    EXPECT_EQ(CConfig::UrlResult::Blank, m_config.ReadUrl());
}

// No length limit of their own: a list, timetable or password cut at some buffer's end could
// still read, as another setting.
TEST_F(ConfigTest, LongProxyAndRateSettingsAreReadWhole) {
    std::string hosts;
    for (int i = 0; i < 40; ++i) hosts += ".internal" + std::to_string(i) + ".example.net,";
    std::string timetable;
    for (int hour = 0; hour < 24; ++hour)
        timetable += Format("%02d:00,%dk %02d:30,%dk ", hour, hour + 1000, hour, 9999);
    timetable += "23:59,2M";
    ASSERT_TRUE(Load("<proxy>http://user:" + std::string(600, 'p') + "@p:3128</proxy><noproxy>" + hosts +
                     "feed.example.org</noproxy><maxrate>" + timetable + "</maxrate>"));
    std::string source;
    EXPECT_TRUE(m_config.ReadProxy(source, [](const char*) -> const char* { return nullptr; })) << source;
    EXPECT_TRUE(m_config.ReadMaxRate());
    const CSettings settings = m_config.Settings();
    EXPECT_EQ("p", settings.proxies.Http() ? settings.proxies.Http()->Host() : "");
    EXPECT_TRUE(settings.proxies.GoesDirect("feed.example.org"));
    EXPECT_EQ(timetable, settings.maxRate);
    ASSERT_EQ(49u, settings.maxRateSchedule.size());
    EXPECT_EQ(2u * 1024 * 1024, settings.maxRateSchedule.back().rate);
}

TEST_F(ConfigTest, UrlMustLeaveRoomForTheTimeParameter) {
    const unsigned int limit = CMapAutoDownload::kMaxFeedUrlLength;
    EXPECT_EQ(456u, limit);
    ASSERT_TRUE(Load("<url>" + std::string(limit, 'u') + "</url>"));
    EXPECT_EQ(CConfig::UrlResult::Ok, m_config.ReadUrl());
    EXPECT_EQ(limit, strlen(m_config.FeedUrl()));

    CConfig longer(m_ignored);
    WriteFile(m_path, "<c><url>" + std::string(limit + 1, 'u') + "</url></c>");
    ASSERT_TRUE(longer.Load(m_path.c_str()));
    EXPECT_EQ(CConfig::UrlResult::TooLong, longer.ReadUrl());
    EXPECT_STREQ("", longer.FeedUrl());
}

TEST_F(ConfigTest, NumbersFollowTheUnsignedRulesAndBadOnesKeepTheDefault) {
    ASSERT_TRUE(
        Load("<frequency>0x3c</frequency><fullcheckfrequency>010</fullcheckfrequency>"
             "<downloadsperupdatemax>-5</downloadsperupdatemax><maxmapcount>abc</maxmapcount>"
             "<timeout>2147483648</timeout>"));
    m_config.ReadFrequency();
    m_config.ReadCounts();
    EXPECT_EQ(60u, m_config.Frequency());
    EXPECT_EQ(8u, m_config.FullCheckFrequency());
    EXPECT_EQ(0, m_config.DownloadsPerUpdateMax());
    EXPECT_EQ(0, m_config.MaxMapCount());
    EXPECT_EQ(30u, m_config.TimeoutSeconds());
}

TEST_F(ConfigTest, TimeoutIsReadAndCappedToWhatMillisecondsCanHold) {
    ASSERT_TRUE(Load("<timeout>7</timeout>"));
    m_config.ReadCounts();
    EXPECT_EQ(7u, m_config.TimeoutSeconds());
    ASSERT_TRUE(Load("<timeout>2147483647</timeout>"));
    m_config.ReadCounts();
    EXPECT_EQ(4294967u, m_config.TimeoutSeconds());
}

TEST_F(ConfigTest, ParallelDownloadsOutsideOneToThirtyTwoKeepTheDefault) {
    const std::pair<const char*, unsigned int> cases[] = {{"1", 1},  {"32", 32}, {"16", 16}, {"0", 4},
                                                          {"33", 4}, {"-2", 4},  {"x", 4},   {"4294967297", 4}};
    for (const auto& [text, expected] : cases) {
        CConfig config(m_ignored);
        WriteFile(m_path, std::string("<config><paralleldownloads>") + text + "</paralleldownloads></config>");
        ASSERT_TRUE(config.Load(m_path.c_str()));
        config.ReadCounts();
        EXPECT_EQ(expected, config.ParallelDownloads()) << text;
    }
}

TEST_F(ConfigTest, FrequencyBelowSixtyIsRefusedExceptZero) {
    ASSERT_TRUE(Load("<frequency>59</frequency>"));
    m_config.ReadFrequency();
    EXPECT_FALSE(m_config.IsFrequencyAllowed());
    ASSERT_TRUE(Load("<frequency>60</frequency>"));
    m_config.ReadFrequency();
    EXPECT_TRUE(m_config.IsFrequencyAllowed());
    ASSERT_TRUE(Load("<frequency>0</frequency>"));
    m_config.ReadFrequency();
    EXPECT_TRUE(m_config.IsFrequencyAllowed());
}

TEST_F(ConfigTest, SavePathLongerThanItsBufferIsRefused) {
    ASSERT_TRUE(Load("<savepath>" + std::string(511, 's') + "</savepath>"));
    EXPECT_TRUE(m_config.ReadSavePath());
    EXPECT_EQ(511u, strlen(m_config.SavePath()));

    CConfig longer(m_ignored);
    WriteFile(m_path, "<c><savepath>" + std::string(512, 's') + "</savepath></c>");
    ASSERT_TRUE(longer.Load(m_path.c_str()));
    EXPECT_FALSE(longer.ReadSavePath());
}

TEST_F(ConfigTest, WriteProbeNeedsAWritableDirectoryAndLeavesNothingBehind) {
    std::string reason;
    ASSERT_TRUE(Load("<savepath>" + m_dir.Path() + "</savepath>"));
    ASSERT_TRUE(m_config.ReadSavePath());
    EXPECT_TRUE(m_config.ProbeSavePath(reason));
    EXPECT_EQ(std::vector<std::string>{"config.xml"}, m_dir.List());

    // An unusable save directory is reported with the system's reason.
    const std::pair<std::string, std::string> unusable[] = {
        {m_dir.File("missing"), "No such file or directory"},
        {m_dir.File("config.xml"), "Not a directory"},
    };
    for (const auto& c : unusable) {
        ASSERT_TRUE(Load("<savepath>" + c.first + "</savepath>"));
        ASSERT_TRUE(m_config.ReadSavePath());
        EXPECT_FALSE(m_config.ProbeSavePath(reason));
        EXPECT_EQ(c.second, reason) << c.first;
    }
}

// A map may be called temp.dat: the probe must neither truncate nor remove it.
TEST_F(ConfigTest, WriteProbeLeavesAnExistingTempDatAlone) {
    WriteFile(m_dir.File("temp.dat"), "<map><meta><version>2</version></meta></map>");
    ASSERT_TRUE(Load("<savepath>" + m_dir.Path() + "</savepath>"));
    ASSERT_TRUE(m_config.ReadSavePath());
    std::string reason;
    EXPECT_TRUE(m_config.ProbeSavePath(reason));
    EXPECT_EQ("<map><meta><version>2</version></meta></map>", ReadFile(m_dir.File("temp.dat")));
    EXPECT_EQ((std::vector<std::string>{"config.xml", "temp.dat"}), m_dir.List());
}

TEST_F(ConfigTest, IgnoreListTakesOnlyLowerCaseMapChildren) {
    ASSERT_TRUE(
        Load("<ignore><map>A</map><maps>B</maps><MAP>C</MAP><map></map><mapx>D</mapx>"
             "<map>" +
             std::string(300, 'n') + "</map></ignore>"));
    m_config.ReadIgnoreList();
    ASSERT_EQ(3u, m_ignored.size());
    EXPECT_STREQ("A", m_ignored[0]);
    EXPECT_STREQ("", m_ignored[1]);
    EXPECT_EQ(259u, strlen(m_ignored[2]));
}

// The names live as long as the process, so a daemon reloaded every day for months must not take
// new memory for the same list each time.
TEST_F(ConfigTest, IgnoreListReadAgainTakesTheSameNames) {
    ASSERT_TRUE(Load("<ignore><map>a.map</map><map>b.map</map></ignore>"));
    m_config.ReadIgnoreList();
    std::vector<char*> reloaded;
    CConfig again(reloaded);
    ASSERT_TRUE(again.Load(m_path.c_str()));
    again.ReadIgnoreList();
    EXPECT_EQ(m_ignored, reloaded);
    EXPECT_STREQ("b.map", reloaded[1]);
}

// What the reader cannot use as written is told, one line each: unknown elements first, then the
// values in the order they are read, each with the value used instead.
TEST_F(ConfigTest, MistakesAreWarnedAboutWithTheValueUsed) {
    const std::string known =
        "<URL>http://h/f</URL><Frequency> 60 </Frequency><SAVEPATH>/x</SAVEPATH><fullCheckFrequency>5"
        "</fullCheckFrequency><DownloadsPerUpdateMax>1</DownloadsPerUpdateMax><MaxMapCount>2</MaxMapCount>"
        "<Timeout>3</Timeout><ParallelDownloads>32</ParallelDownloads><CAFile></CAFile>"
        "<MaxRedirects>1</MaxRedirects><MaxMapSize>1k</MaxMapSize><Ignore><map>a</map><!-- c --></Ignore>";
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {known, {}},
        {"<frequncy>0</frequncy><ignore><map>a</map><MAP>b</MAP><maps>c</maps></ignore>",
         {"unknown element 'frequncy' (ignored)", "unknown element 'MAP' (ignored)",
          "unknown element 'maps' (ignored)"}},
        {"<frequency>-1</frequency><paralleldownloads>64</paralleldownloads><bogus/>",
         {"unknown element 'bogus' (ignored)", "frequency value '-1' is not valid, using 60",
          "paralleldownloads value '64' is not valid, using 4"}},
        {"<frequency>abc</frequency><paralleldownloads>0</paralleldownloads>",
         {"frequency value 'abc' is not valid, using 60", "paralleldownloads value '0' is not valid, using 4"}},
        {"<timeout>2147483647</timeout>", {"timeout value '2147483647' is not valid, using 4294967"}},
        {"<timeout>2147483648</timeout>", {"timeout value '2147483648' is not valid, using 30"}},
        {"<fullcheckfrequency>12abc</fullcheckfrequency><maxmapcount></maxmapcount>",
         {"fullcheckfrequency value '12abc' is not valid, using 12", "maxmapcount value '' is not valid, using 0"}},
        {"<downloadsperupdatemax>\n 1&#9;x\n</downloadsperupdatemax>",
         {"downloadsperupdatemax value '1\\x09x' is not valid, using 1"}},
    };
    for (const auto& [children, expected] : cases) {
        CConfig config(m_ignored);
        WriteFile(m_path, "<config>" + children + "</config>");
        ASSERT_TRUE(config.Load(m_path.c_str()));
        config.CheckElements();
        config.ReadUrl();
        config.ReadFrequency();
        ASSERT_TRUE(config.ReadSavePath());
        ASSERT_TRUE(config.ReadCAFile());
        config.ReadCounts();
        config.ReadIgnoreList();
        std::vector<std::string> lines;
        for (const std::string& warning : expected) lines.push_back("config.xml: " + warning + "\n");
        EXPECT_EQ(lines, config.Warnings()) << children;
    }
}

// The process clock.
class ClockTest : public ::testing::Test {
protected:
    // Moves the origin back by the given milliseconds.
    static void StartAgo(unsigned long long milliseconds) {
        timeval now;
        gettimeofday(&now, nullptr);
        long long micros =
            static_cast<long long>(now.tv_sec) * 1000000 + now.tv_usec - static_cast<long long>(milliseconds) * 1000;
        g_tvInitialTime.tv_sec = micros / 1000000;
        g_tvInitialTime.tv_usec = micros % 1000000;
    }
};

TEST_F(ClockTest, CountsMillisecondsSinceTheOrigin) {
    InitializeTime();
    EXPECT_LT(GetTime(), 100u);
    StartAgo(1500);
    const unsigned int elapsed = GetTime();
    EXPECT_GE(elapsed, 1500u);
    EXPECT_LT(elapsed, 1600u);
}

TEST_F(ClockTest, CountWrapsAfterAboutFiftyDays) {
    const unsigned long long fiftyDays = 50ull * 24 * 3600 * 1000;
    StartAgo(fiftyDays);
    const unsigned int expected = static_cast<unsigned int>(fiftyDays % 4294967296ull);
    EXPECT_LT(GetTime() - expected, 100u);
    InitializeTime();
}

}  // namespace

namespace {

// Which proxy each scheme gets, and what goes direct, from config.xml and the environment.
TEST_F(ConfigTest, ProxyComesFromTheFileElseTheEnvironmentAsCurlReadsIt) {
    struct Case {
        const char* children;
        std::vector<std::pair<const char*, const char*>> environment;
        const char* http;  // the proxy's host, "" for none
        const char* https;
        bool direct;  // whether "feed.example.org" goes direct
    };
    const Case cases[] = {
        {"", {}, "", "", false},
        {"<proxy>http://file:1</proxy>", {{"http_proxy", "http://env:2"}}, "file", "file", false},
        {"", {{"http_proxy", "http://plain:2"}, {"HTTPS_PROXY", "http://upper:3"}}, "plain", "upper", false},
        {"", {{"https_proxy", "http://lower:3"}, {"HTTPS_PROXY", "http://upper:3"}}, "", "lower", false},
        // Upper-case HTTP_PROXY may come from a request header under CGI: never used.
        {"", {{"HTTP_PROXY", "http://cgi:2"}}, "", "", false},
        {"<proxy>p:1</proxy>", {{"NO_PROXY", ".example.org"}}, "p", "p", true},
        {"<proxy>p:1</proxy><noproxy>other.net</noproxy>", {{"no_proxy", "*"}}, "p", "p", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.children);
        ASSERT_TRUE(Load(c.children));
        std::string source;
        ASSERT_TRUE(m_config.ReadProxy(source, [&c](const char* name) -> const char* {
            for (const auto& variable : c.environment)
                if (std::strcmp(variable.first, name) == 0) return variable.second;
            return nullptr;
        }));
        const CProxySelector proxies = m_config.Settings().proxies;
        EXPECT_EQ(c.http, proxies.Http() ? proxies.Http()->Host() : "");
        EXPECT_EQ(c.https, proxies.Https() ? proxies.Https()->Host() : "");
        EXPECT_EQ(c.direct, proxies.GoesDirect("feed.example.org"));
    }
}

TEST_F(ConfigTest, UnreadableProxyNamesItsSourceButNotItsValue) {
    const auto environment = [](const char* name) -> const char* {
        return std::strcmp(name, "https_proxy") == 0 ? "socks5://u:secret@h:1" : nullptr;
    };
    std::string source;
    ASSERT_TRUE(Load("<proxy>ftp://u:secret@h:1</proxy>"));
    EXPECT_FALSE(m_config.ReadProxy(source, environment));
    EXPECT_EQ("config.xml's proxy tag", source);
    ASSERT_TRUE(Load(""));
    EXPECT_FALSE(m_config.ReadProxy(source, environment));
    EXPECT_EQ("the environment variable https_proxy", source);
}

}  // namespace
