#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "http/CHTTPClient.h"
#include "http/CProxy.h"
#include "http/CProxySelector.h"
#include "support/LoopbackPort.h"
#include "support/NginxServer.h"
#include "support/ProxyServer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
#include "tcp/CTCPImpl.h"
#include "tcp/CTLSContext.h"

namespace {

const char kMap[] = "<map><meta><version>3</version></meta></map>\n";

int Count(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// Downloads through a real proxy from a plain and a TLS nginx serving the same map; the TLS one
// has a certificate for 127.0.0.1 from the suite's test authority.
class ProxyDownloadTest : public ::testing::TestWithParam<ProxyServer::Kind> {
protected:
    static void SetUpTestSuite() {
        s_certificates = std::make_unique<TestCertificates>();
        ASSERT_TRUE(s_certificates->Generate()) << s_certificates->Error();
    }
    static void TearDownTestSuite() { s_certificates.reset(); }

    void SetUp() override {
        WriteFile(m_root.File("a.map"), kMap);
        ASSERT_TRUE(m_plain.Start()) << m_plain.Error();
        m_client.SetTimeout(10000);
        m_tcp.SetTLSContext(std::make_shared<const CTLSContext>(s_certificates->Authority()));
    }

    void ServeTLS(const std::string& certificate) {
        m_tls.UseTLS(s_certificates->Certificate(certificate), s_certificates->Key(certificate));
        ASSERT_TRUE(m_tls.Start()) << m_tls.Error();
    }

    // Every request through proxyUrl, except to the hosts noProxy lists.
    void UseProxy(const std::string& proxyUrl, const std::string& noProxy = "") {
        CProxy proxy;
        ASSERT_TRUE(CProxy::Parse(proxyUrl, proxy));
        CProxySelector selector;
        selector.SetHttp(proxy);
        selector.SetHttps(proxy);
        selector.SetNoProxy(noProxy);
        m_client.SetProxies(selector);
    }
    std::string ProxyUrl(const std::string& credentials = "") const {
        return "http://" + credentials + "127.0.0.1:" + std::to_string(m_proxy.Port());
    }

    bool Get(const std::string& url) {
        const std::string destination = m_out.File("a.map");
        return m_client.Get(url.c_str(), destination.c_str()) && ReadFile(destination) == kMap;
    }

    static std::unique_ptr<TestCertificates> s_certificates;
    TempDir m_root;
    TempDir m_out;
    NginxServer m_plain{m_root.Path()};
    NginxServer m_tls{m_root.Path()};
    ProxyServer m_proxy{GetParam()};
    CTCPImpl m_tcp;
    CHTTPClient m_client{&m_tcp};
};

std::unique_ptr<TestCertificates> ProxyDownloadTest::s_certificates;

// http asks the proxy for the whole URL; https tunnels through it, and the tunnel opened ahead
// for the next map goes through the proxy too: one CONNECT for each map, none wasted.
TEST_P(ProxyDownloadTest, HttpAndHttpsGoThroughTheProxy) {
    ServeTLS("good");
    ASSERT_TRUE(m_proxy.Start()) << m_proxy.Error();
    UseProxy(ProxyUrl());
    // Another map comes after the plain one and after the first https one, as a pass would say.
    int asked = 0;
    m_client.SetConnectAhead([&asked] { return ++asked <= 2; });
    ASSERT_TRUE(Get(m_plain.Url("/a.map"))) << m_client.GetLastError();
    for (int map = 0; map < 2; ++map) ASSERT_TRUE(Get(m_tls.Url("/a.map"))) << m_client.GetLastError();
    const std::string log = m_proxy.Log();
    EXPECT_EQ(Count(log, "GET " + m_plain.Url("/a.map")), 1) << log;
    EXPECT_EQ(Count(log, "CONNECT 127.0.0.1:" + std::to_string(m_tls.Port())), 2) << log;
    EXPECT_EQ(Count(m_plain.AccessLog(), "GET /a.map"), 1);
}

TEST_P(ProxyDownloadTest, CredentialsLetRequestsThrough) {
    ServeTLS("good");
    m_proxy.RequireCredentials("operator", "s3cret-pw");
    ASSERT_TRUE(m_proxy.Start()) << m_proxy.Error();
    UseProxy(ProxyUrl("operator:s3cret%2Dpw@"));
    EXPECT_TRUE(Get(m_plain.Url("/a.map"))) << m_client.GetLastError();
    EXPECT_TRUE(Get(m_tls.Url("/a.map"))) << m_client.GetLastError();
}

// Hosts on the no-proxy list are fetched direct: the proxy never sees them.
TEST_P(ProxyDownloadTest, NoProxyHostsGoDirect) {
    ServeTLS("good");
    ASSERT_TRUE(m_proxy.Start()) << m_proxy.Error();
    UseProxy(ProxyUrl(), "example.org, 127.0.0.1");
    EXPECT_TRUE(Get(m_plain.Url("/a.map"))) << m_client.GetLastError();
    EXPECT_TRUE(Get(m_tls.Url("/a.map"))) << m_client.GetLastError();
    EXPECT_EQ(Count(m_proxy.Log(), "127.0.0.1:" + std::to_string(m_plain.Port())), 0);
    EXPECT_EQ(Count(m_proxy.Log(), "127.0.0.1:" + std::to_string(m_tls.Port())), 0);
}

// The tunnel does not loosen verification: the origin's certificate must name it.
TEST_P(ProxyDownloadTest, TheOriginIsVerifiedInsideTheTunnel) {
    ServeTLS("wrongname");
    ASSERT_TRUE(m_proxy.Start()) << m_proxy.Error();
    UseProxy(ProxyUrl());
    EXPECT_FALSE(Get(m_tls.Url("/a.map")));
    EXPECT_STREQ(m_client.GetLastError(), "Certificate verification failed: IP address mismatch");
}

INSTANTIATE_TEST_SUITE_P(RealProxies, ProxyDownloadTest,
                         ::testing::Values(ProxyServer::Kind::Squid, ProxyServer::Kind::Tinyproxy),
                         [](const auto& info) {
                             return info.param == ProxyServer::Kind::Squid ? "Squid" : "Tinyproxy";
                         });

class ProxyRefusalTest : public ProxyDownloadTest {};

// A wrong password is the proxy's refusal, by status and reason, for a request and a tunnel alike;
// it is no passing fault to be tried again.
TEST_P(ProxyRefusalTest, AWrongPasswordIsRefusedWith407) {
    ServeTLS("good");
    m_proxy.RequireCredentials("operator", "right");
    ASSERT_TRUE(m_proxy.Start()) << m_proxy.Error();
    UseProxy(ProxyUrl("operator:wrong@"));
    for (const std::string& url : {m_plain.Url("/a.map"), m_tls.Url("/a.map")}) {
        SCOPED_TRACE(url);
        EXPECT_FALSE(Get(url));
        EXPECT_STREQ(m_client.GetLastError(), "Proxy refused: 407 - Proxy Authentication Required");
        EXPECT_EQ(m_client.GetLastErrorKind().kind, CNetError::Kind::Proxy);
        EXPECT_FALSE(CHTTPClient::IsTransient(m_client.GetLastErrorKind()));
    }
}

INSTANTIATE_TEST_SUITE_P(RealProxies, ProxyRefusalTest, ::testing::Values(ProxyServer::Kind::Squid),
                         [](const auto&) { return std::string("Squid"); });

// Nothing listens where the proxy should be: both schemes say so, and it may pass.
TEST(ProxyUnreachableTest, BothSchemesSayTheProxyCannotBeReached) {
    TempDir root;
    NginxServer origin(root.Path());
    ASSERT_TRUE(origin.Start()) << origin.Error();
    const unsigned short nothing = PickFreePort("127.0.0.1");
    CProxy proxy;
    ASSERT_TRUE(CProxy::Parse("http://127.0.0.1:" + std::to_string(nothing), proxy));
    CProxySelector selector;
    selector.SetHttp(proxy);
    selector.SetHttps(proxy);
    CTCPImpl tcp;
    CHTTPClient client(&tcp);
    client.SetProxies(selector);
    for (const std::string& url :
         {origin.Url("/a.map"), "https://127.0.0.1:" + std::to_string(origin.Port()) + "/a.map"}) {
        SCOPED_TRACE(url);
        EXPECT_FALSE(client.Get(url.c_str(), root.File("out").c_str()));
        EXPECT_STREQ(client.GetLastError(), "Failed to establish connection with proxy");
        EXPECT_TRUE(CHTTPClient::IsTransient(client.GetLastErrorKind()));
    }
}

}  // namespace
