#include <gtest/gtest.h>
#include <ctime>
#include <string>
#include <utility>

#include "http/CHTTPClient.h"
#include "tcp/CTCPImpl.h"

namespace {

// Splitting URLs: scheme, host, port and path.
class ParseURLTest : public ::testing::Test {
protected:
    bool Parse(const std::string& url) {
        return CHTTPClient::ParseURL(url.c_str(), m_scheme, sizeof m_scheme, m_host, sizeof m_host, m_port, m_path,
                                     sizeof m_path);
    }

    char m_scheme[64] = "stale";
    char m_host[256] = "stale";
    char m_path[1024] = "stale";
    unsigned short m_port = 1;
};

TEST_F(ParseURLTest, SplitsSchemeHostPortAndPath) {
    ASSERT_TRUE(Parse("HTTP://maps.example.org:8080/dir/a b.xml?x=1%20y"));
    EXPECT_STREQ(m_scheme, "HTTP");
    EXPECT_STREQ(m_host, "maps.example.org");
    EXPECT_EQ(m_port, 8080);
    EXPECT_STREQ(m_path, "/dir/a b.xml?x=1%20y");
}

TEST_F(ParseURLTest, NoPortAndNoPathLeaveThemEmpty) {
    ASSERT_TRUE(Parse("http://host"));
    EXPECT_STREQ(m_host, "host");
    EXPECT_EQ(m_port, 0);
    EXPECT_STREQ(m_path, "");
}

TEST_F(ParseURLTest, WithoutSchemeTheHostRunsToTheFirstSeparator) {
    ASSERT_TRUE(Parse("host\\maps/x.xml"));
    EXPECT_STREQ(m_scheme, "");
    EXPECT_STREQ(m_host, "host");
    EXPECT_STREQ(m_path, "\\maps/x.xml");
}

TEST_F(ParseURLTest, SchemeIsTakenFromTheFirstMarkerAnywhere) {
    ASSERT_TRUE(Parse("host/feed?u=ftp://x"));
    EXPECT_STREQ(m_scheme, "host/feed?u=ftp");
    EXPECT_STREQ(m_host, "x");
}

TEST_F(ParseURLTest, MarkerAtTheStartIsRejected) { EXPECT_FALSE(Parse("://host/x")); }

TEST_F(ParseURLTest, PortMustBeADecimalFrom1To65535) {
    ASSERT_TRUE(Parse("http://h:65535/"));
    EXPECT_EQ(m_port, 65535);
    ASSERT_TRUE(Parse("http://h:1"));
    EXPECT_EQ(m_port, 1);
    EXPECT_FALSE(Parse("http://h:/x"));
    EXPECT_FALSE(Parse("http://h:0/x"));
    EXPECT_FALSE(Parse("http://h:65536/x"));
    EXPECT_FALSE(Parse("http://h:99999999999999999999/x"));
    EXPECT_FALSE(Parse("http://h:80a/x"));
    EXPECT_FALSE(Parse("http://h:-80/x"));
    EXPECT_FALSE(Parse("http://h:8:8/x"));
}

// An IPv6 address comes in brackets, which the host loses; anything else in brackets is refused.
TEST_F(ParseURLTest, BracketedIPv6AddressIsTheHost) {
    struct Case {
        const char* url;
        const char* host;  // null: refused
        unsigned short port;
        const char* path;
    };
    const Case cases[] = {
        {"http://[::1]:8080/feed.php", "::1", 8080, "/feed.php"},
        {"https://[2001:db8::5]/m.map", "2001:db8::5", 0, "/m.map"},
        {"http://[::ffff:127.0.0.1]", "::ffff:127.0.0.1", 0, ""},
        {"http://[::1/x", nullptr, 0, nullptr},
        {"http://[example.org]/x", nullptr, 0, nullptr},
        {"http://[::1]8080/x", nullptr, 0, nullptr},
        {"http://[::1]:/x", nullptr, 0, nullptr},
        {"http://::1/x", nullptr, 0, nullptr},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Parse(c.url), c.host != nullptr) << c.url;
        if (c.host == nullptr) continue;
        EXPECT_STREQ(m_host, c.host);
        EXPECT_EQ(m_port, c.port);
        EXPECT_STREQ(m_path, c.path);
    }
}

TEST_F(ParseURLTest, HostOrPathTooLongIsRejectedNotCut) {
    EXPECT_TRUE(Parse("http://" + std::string(255, 'h') + "/x"));
    EXPECT_FALSE(Parse("http://" + std::string(256, 'h') + "/x"));
    EXPECT_TRUE(Parse("http://h/" + std::string(1022, 'p')));
    EXPECT_FALSE(Parse("http://h/" + std::string(1023, 'p')));
}

// The exact request bytes.
class BuildRequestTest : public ::testing::Test {
protected:
    char m_request[2048] = {};
};

TEST_F(BuildRequestTest, Port80HostLineCarriesNoPort) {
    ASSERT_TRUE(CHTTPClient::BuildRequest("maps.example.org", 80, "/a b/c d.xml?q=%41", m_request, sizeof m_request));
    EXPECT_STREQ(m_request,
                 "GET /a%20b/c%20d.xml?q=%41 HTTP/1.0\r\nHost: maps.example.org\r\n"
                 "User-Agent: XOVRA_SERVER_10\r\n\r\n");
}

// The Host line names the port only when it is not the scheme's own.
TEST_F(BuildRequestTest, HostLineOmitsOnlyTheSchemesDefaultPort) {
    ASSERT_TRUE(CHTTPClient::BuildRequest("h", 443, "/x", m_request, sizeof m_request, 443));
    EXPECT_STREQ(m_request, "GET /x HTTP/1.0\r\nHost: h\r\nUser-Agent: XOVRA_SERVER_10\r\n\r\n");
    ASSERT_TRUE(CHTTPClient::BuildRequest("h", 80, "/x", m_request, sizeof m_request, 443));
    EXPECT_STREQ(m_request, "GET /x HTTP/1.0\r\nHost: h:80\r\nUser-Agent: XOVRA_SERVER_10\r\n\r\n");
    ASSERT_TRUE(CHTTPClient::BuildRequest("h", 443, "/x", m_request, sizeof m_request));
    EXPECT_STREQ(m_request, "GET /x HTTP/1.0\r\nHost: h:443\r\nUser-Agent: XOVRA_SERVER_10\r\n\r\n");
}

// To a proxy: the whole URL as target, the same Host line, credentials only when there are some.
TEST_F(BuildRequestTest, ForAProxyTheTargetIsAbsolute) {
    ASSERT_TRUE(
        CHTTPClient::BuildRequest("maps.example.org", 8080, "/a b.map?v=1", m_request, sizeof m_request, 80, ""));
    EXPECT_STREQ(m_request,
                 "GET http://maps.example.org:8080/a%20b.map?v=1 HTTP/1.0\r\nHost: maps.example.org:8080\r\n"
                 "User-Agent: XOVRA_SERVER_10\r\n\r\n");
    ASSERT_TRUE(CHTTPClient::BuildRequest("::1", 80, "", m_request, sizeof m_request, 80, "Basic dTpw"));
    EXPECT_STREQ(m_request,
                 "GET http://[::1]/ HTTP/1.0\r\nHost: [::1]\r\nProxy-Authorization: Basic dTpw\r\n"
                 "User-Agent: XOVRA_SERVER_10\r\n\r\n");
}

TEST_F(BuildRequestTest, IPv6AddressKeepsItsBracketsInTheHostLine) {
    ASSERT_TRUE(CHTTPClient::BuildRequest("::1", 8080, "/feed.php", m_request, sizeof m_request));
    EXPECT_STREQ(m_request, "GET /feed.php HTTP/1.0\r\nHost: [::1]:8080\r\nUser-Agent: XOVRA_SERVER_10\r\n\r\n");
    ASSERT_TRUE(CHTTPClient::BuildRequest("2001:db8::5", 443, "/m.map", m_request, sizeof m_request, 443));
    EXPECT_STREQ(m_request, "GET /m.map HTTP/1.0\r\nHost: [2001:db8::5]\r\nUser-Agent: XOVRA_SERVER_10\r\n\r\n");
}

TEST_F(BuildRequestTest, OtherPortIsNamedAndEmptyPathBecomesSlash) {
    ASSERT_TRUE(CHTTPClient::BuildRequest("h", 8080, "", m_request, sizeof m_request));
    EXPECT_STREQ(m_request, "GET / HTTP/1.0\r\nHost: h:8080\r\nUser-Agent: XOVRA_SERVER_10\r\n\r\n");
}

// A feed's time stamp or link must not be able to add header lines of its own.
TEST_F(BuildRequestTest, ControlBytesInTheTargetAreEscapedNotSent) {
    ASSERT_TRUE(CHTTPClient::BuildRequest("h", 80, "/feed?time=x\r\nX-Evil: 1\t\x7f", m_request, sizeof m_request));
    EXPECT_STREQ(m_request,
                 "GET /feed?time=x%0D%0AX-Evil:%201%09%7F HTTP/1.0\r\nHost: h\r\n"
                 "User-Agent: XOVRA_SERVER_10\r\n\r\n");
}

TEST_F(BuildRequestTest, HostWithControlBytesIsRefused) {
    EXPECT_FALSE(CHTTPClient::BuildRequest("h\r\nX-Evil: 1", 80, "/", m_request, sizeof m_request));
    EXPECT_FALSE(CHTTPClient::BuildRequest("h\x7f", 80, "/", m_request, sizeof m_request));
}

TEST_F(BuildRequestTest, TargetLongerThan1023IsRefused) {
    // 341 spaces encode to 1023 characters, one more to 1026.
    EXPECT_TRUE(CHTTPClient::BuildRequest("h", 80, std::string(341, ' ').c_str(), m_request, sizeof m_request));
    EXPECT_FALSE(CHTTPClient::BuildRequest("h", 80, std::string(342, ' ').c_str(), m_request, sizeof m_request));
    EXPECT_FALSE(
        CHTTPClient::BuildRequest("h", 80, ("/" + std::string(1023, 'p')).c_str(), m_request, sizeof m_request));
}

TEST_F(BuildRequestTest, RequestThatDoesNotFitIsRefused) {
    const std::string host(255, 'h');
    const std::string path = "/" + std::string(1022, 'p');
    EXPECT_TRUE(CHTTPClient::BuildRequest(host.c_str(), 65535, path.c_str(), m_request, sizeof m_request));
    EXPECT_FALSE(CHTTPClient::BuildRequest(host.c_str(), 65535, path.c_str(), m_request, 1300));
}

TEST(ResolveRedirectTest, LocationsResolveAgainstTheCurrentURL) {
    const char base[] = "https://h:8443/maps/new/list.xml?page=2#top";
    const std::pair<const char*, const char*> cases[] = {
        {"http://other/x.map", "http://other/x.map"},
        {"HTTPS://other:1/y#frag", "HTTPS://other:1/y"},
        {"//mirror.example/z", "https://mirror.example/z"},
        {"/abs/a.map?v=1", "https://h:8443/abs/a.map?v=1"},
        {"a.map", "https://h:8443/maps/new/a.map"},
        {"../old/./a.map", "https://h:8443/maps/old/a.map"},
        {"../../../../a.map", "https://h:8443/a.map"},
        {"sub/..", "https://h:8443/maps/new/"},
        {"?page=3", "https://h:8443/maps/new/list.xml?page=3"},
        {"x?u=../y", "https://h:8443/maps/new/x?u=../y"},
    };
    for (const auto& c : cases) {
        std::string resolved;
        ASSERT_TRUE(CHTTPClient::ResolveRedirect(base, c.first, resolved)) << c.first;
        EXPECT_EQ(resolved, c.second) << c.first;
    }
    std::string resolved;
    ASSERT_TRUE(CHTTPClient::ResolveRedirect("host:81", "a.map", resolved));
    EXPECT_EQ(resolved, "http://host:81/a.map");
    EXPECT_FALSE(CHTTPClient::ResolveRedirect(base, "#only-a-fragment", resolved));
}

// URL errors that Get reports before any connection is made.
class GetURLErrorTest : public ::testing::Test {
protected:
    std::string GetError(const char* url) {
        EXPECT_FALSE(m_client.Get(url, "/nonexistent-dir/never-written"));
        return m_client.GetLastError();
    }

    CTCPImpl m_tcp;
    CHTTPClient m_client{&m_tcp};
};

TEST_F(GetURLErrorTest, EachMalformedURLHasItsText) {
    EXPECT_STREQ(m_client.GetLastError(), "");
    EXPECT_EQ(GetError("://host/x"), "Invalid URL");
    EXPECT_EQ(GetError("http://host:0/x"), "Invalid URL");
    EXPECT_EQ(GetError(("http://h/" + std::string(400, ' ')).c_str()), "Invalid URL");
    EXPECT_EQ(GetError("httpx://host/x"), "Unsupported protocol");
    EXPECT_EQ(GetError("https:///x"), "No hostname within the URL");
    EXPECT_EQ(GetError("ftp://host/x"), "Unsupported protocol");
    EXPECT_EQ(GetError("host/feed?u=ftp://x"), "Unsupported protocol");
    EXPECT_EQ(GetError("http:///x"), "No hostname within the URL");
    EXPECT_EQ(GetError("/x"), "No hostname within the URL");
    EXPECT_EQ(GetError("http://no-such-host.invalid/x"), "Unable to resolve");
    // A space in the host is no danger to the request; such a host just does not resolve.
    EXPECT_EQ(GetError("a host&time=x"), "Unable to resolve");
}

// Retry-After: delay seconds or any of the three HTTP date forms, counted from now.
TEST(RetryAfterTest, SecondsOrADateFromNow) {
    std::tm base{};
    base.tm_year = 2015 - 1900;
    base.tm_mon = 9;
    base.tm_mday = 21;
    base.tm_hour = 7;
    base.tm_min = 28;
    const std::time_t now = timegm(&base);  // Wed, 21 Oct 2015 07:28:00 GMT
    const std::pair<const char*, long long> cases[] = {
        {"2", 2},
        {"0", 0},
        {"Wed, 21 Oct 2015 07:28:10 GMT", 10},
        {"Wednesday, 21-Oct-15 07:28:10 GMT", 10},
        {"Wed Oct 21 07:28:10 2015", 10},
        {"Wed, 21 Oct 2015 07:27:00 GMT", 0},
        {"soon", -1},
        {"-1", -1},
        {"2.5", -1},
        {"", -1},
    };
    for (const auto& [value, expected] : cases) {
        long long seconds = -1;
        EXPECT_EQ(CHTTPClient::ParseRetryAfter(value, now, seconds), expected >= 0) << value;
        if (expected >= 0) {
            EXPECT_EQ(seconds, expected) << value;
        }
    }
}

}  // namespace
