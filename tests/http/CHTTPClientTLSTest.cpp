#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http/CHTTPClient.h"
#include "support/FaultServer.h"
#include "support/Localhost.h"
#include "support/NginxServer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
#include "tcp/CTCPImpl.h"
#include "tcp/CTLSClientSocketImpl.h"
#include "tcp/CTLSContext.h"

namespace {

using K = CNetError::Kind;

const char kOld[] = "<map><meta><version>1</version></meta></map>";
const char kNew[] = "<map><meta><version>2</version></meta></map>";

// Downloads from a real nginx into a directory that already holds an older a.map.
class NginxDownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(m_root.File("a.map"), kNew);
        m_destination = m_out.File("a.map");
        WriteFile(m_destination, kOld);
        m_client.SetTimeout(5000);
    }

    // The text and the kind (with its code, the status for one) of the failure, and no trace of it.
    void ExpectFailureLeftNoTrace(const std::string& error, CNetError::Kind kind, int code = -1) {
        EXPECT_EQ(m_client.GetLastErrorKind().kind, kind) << error;
        if (code >= 0) {
            EXPECT_EQ(m_client.GetLastErrorKind().code, code) << error;
        }
        EXPECT_EQ(m_client.GetLastError(), error);
        EXPECT_EQ(ReadFile(m_destination), kOld);
        EXPECT_EQ(m_out.List(), std::vector<std::string>{"a.map"});
    }

    TempDir m_root;
    TempDir m_out;
    std::string m_destination;
    NginxServer m_server{m_root.Path()};
    CTCPImpl m_tcp;
    CHTTPClient m_client{&m_tcp};
};

// Over https, trusting the test authority made for the suite.
class TLSDownloadTest : public NginxDownloadTest {
protected:
    static void SetUpTestSuite() {
        s_certificates = new TestCertificates;
        ASSERT_TRUE(s_certificates->Generate()) << s_certificates->Error();
    }
    static void TearDownTestSuite() {
        delete s_certificates;
        s_certificates = nullptr;
    }

    void SetUp() override {
        NginxDownloadTest::SetUp();
        m_tcp.SetTLSContext(std::make_shared<const CTLSContext>(s_certificates->Authority()));
    }

    void Serve(const std::string& certificate, const std::string& extra = "") {
        m_server.UseTLS(s_certificates->Certificate(certificate), s_certificates->Key(certificate));
        if (!extra.empty()) m_server.AddServerConfig(extra);
        ASSERT_TRUE(m_server.Start()) << m_server.Error();
    }

    std::string Url(const std::string& host, const std::string& path) const {
        return "https://" + host + ":" + std::to_string(m_server.Port()) + path;
    }

    bool Get(const std::string& url) { return m_client.Get(url.c_str(), m_destination.c_str()); }

    static TestCertificates* s_certificates;
};

TestCertificates* TLSDownloadTest::s_certificates = nullptr;

TEST_F(TLSDownloadTest, VerifiedDownloadByAddressAndByName) {
    Serve("good");
    ASSERT_TRUE(Get(Url("127.0.0.1", "/a.map"))) << m_client.GetLastError();
    EXPECT_EQ(ReadFile(m_destination), kNew);
    WriteFile(m_destination, kOld);
    EXPECT_FALSE(Get(Url("127.0.0.1", "/missing.map")));
    ExpectFailureLeftNoTrace("404 - Not Found", K::HTTPStatus, 404);

    if (!LocalhostResolves()) GTEST_SKIP() << kNoLocalhost;
    ASSERT_TRUE(Get(Url("localhost", "/a.map"))) << m_client.GetLastError();
    EXPECT_EQ(ReadFile(m_destination), kNew);
}

TEST_F(TLSDownloadTest, LargeBodyArrivesWhole) {
    std::string content(3 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 7919) >> 3);
    WriteFile(m_root.File("big.map"), content);
    Serve("good");
    ASSERT_TRUE(Get(Url("127.0.0.1", "/big.map"))) << m_client.GetLastError();
    EXPECT_TRUE(ReadFile(m_destination) == content);
}

// Every certificate fault fails with its own reason and leaves the old map as it was.
TEST_F(TLSDownloadTest, CertificateFaultsAreRefused) {
    struct Case {
        const char* certificate;
        const char* host;
        bool trustAuthority;
        const char* error;
    };
    const Case cases[] = {
        {"expired", "127.0.0.1", true, "Certificate verification failed: certificate has expired"},
        {"wrongname", "127.0.0.1", true, "Certificate verification failed: IP address mismatch"},
        {"wrongname", "localhost", true, "Certificate verification failed: hostname mismatch"},
        {"selfsigned", "127.0.0.1", true, "Certificate verification failed: self-signed certificate"},
        {"good", "127.0.0.1", false, "Certificate verification failed: unable to get local issuer certificate"},
    };
    bool skippedByName = false;
    for (const Case& c : cases) {
        if (std::string(c.host) == "localhost" && !LocalhostResolves()) {
            skippedByName = true;
            continue;
        }
        NginxServer server(m_root.Path());
        server.UseTLS(s_certificates->Certificate(c.certificate), s_certificates->Key(c.certificate));
        ASSERT_TRUE(server.Start()) << server.Error();
        CTCPImpl tcp;
        if (c.trustAuthority) tcp.SetTLSContext(std::make_shared<const CTLSContext>(s_certificates->Authority()));
        CHTTPClient client(&tcp);
        const std::string url = std::string("https://") + c.host + ":" + std::to_string(server.Port()) + "/a.map";
        EXPECT_FALSE(client.Get(url.c_str(), m_destination.c_str())) << c.certificate;
        EXPECT_STREQ(client.GetLastError(), c.error) << c.certificate << " " << c.host;
        EXPECT_EQ(client.GetLastErrorKind().kind, K::Certificate) << c.certificate;
        EXPECT_EQ(ReadFile(m_destination), kOld);
        EXPECT_EQ(m_out.List(), std::vector<std::string>{"a.map"});
    }
    if (skippedByName) GTEST_SKIP() << kNoLocalhost;
}

// A fully qualified name may end in the root's dot; the certificate names the host without it.
TEST_F(TLSDownloadTest, NameEndingInTheRootsDotIsCheckedWithoutTheDot) {
    Serve("good");
    CTLSClientSocketImpl socket(m_tcp.TLSContext());
    ASSERT_TRUE(socket.Initialize());
    socket.SetResolver([](const std::string& host, std::vector<CConnectRace::Address>& addresses) {
        CConnectRace::Address address;
        auto& v4 = reinterpret_cast<sockaddr_in&>(address.storage);
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.length = sizeof v4;
        if (host == "localhost.") addresses.push_back(address);
        return !addresses.empty();
    });
    EXPECT_TRUE(socket.Connect("localhost.", m_server.Port())) << socket.GetLastError();
}

// An IPv6 address in the URL must be among the certificate's IP addresses.
TEST_F(TLSDownloadTest, IPv6AddressIsCheckedAgainstTheCertificatesAddresses) {
    for (const char* certificate : {"good", "wrongname"}) {
        NginxServer server(m_root.Path());
        server.ListenOn("::1");
        server.UseTLS(s_certificates->Certificate(certificate), s_certificates->Key(certificate));
        if (!server.Start()) GTEST_SKIP() << "no nginx on the IPv6 loopback: " << server.Error();
        const bool good = std::string(certificate) == "good";
        WriteFile(m_destination, kOld);
        EXPECT_EQ(Get(server.Url("/a.map")), good) << certificate;
        EXPECT_STREQ(m_client.GetLastError(), good ? "" : "Certificate verification failed: IP address mismatch");
        EXPECT_EQ(ReadFile(m_destination), good ? kNew : kOld);
    }
}

TEST_F(TLSDownloadTest, PlainHttpServerOnAnHttpsUrlIsNamed) {
    ASSERT_TRUE(m_server.Start()) << m_server.Error();
    EXPECT_FALSE(Get(Url("127.0.0.1", "/a.map")));
    ExpectFailureLeftNoTrace("TLS handshake failed: the server answered in plain HTTP", K::TLS);
}

TEST_F(TLSDownloadTest, TimeoutCoversTheHandshake) {
    FaultServer silent([](FaultServer& s, int, const std::string&) { s.WaitUntilStopped(); }, false);
    m_client.SetTimeout(300);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Get("https://127.0.0.1:" + std::to_string(silent.Port()) + "/a.map"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ExpectFailureLeftNoTrace("TLS handshake failed: timed out", K::TimedOut);
}

// A body without a length ends with the connection. Over TLS only the server's close_notify says
// it is complete; a bare TCP close could be an attacker cutting the map short.
TEST_F(TLSDownloadTest, BodyEndsOnlyWithTheServersTLSClose) {
    const std::string certificate = s_certificates->Certificate("good");
    const std::string key = s_certificates->Key("good");
    for (const bool closeNotify : {true, false}) {
        FaultServer server(
            [&](FaultServer&, int fd, const std::string&) {
                std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_server_method()),
                                                                          SSL_CTX_free);
                ASSERT_TRUE(SSL_CTX_use_certificate_chain_file(context.get(), certificate.c_str()) == 1 &&
                            SSL_CTX_use_PrivateKey_file(context.get(), key.c_str(), SSL_FILETYPE_PEM) == 1);
                std::unique_ptr<SSL, decltype(&SSL_free)> session(SSL_new(context.get()), SSL_free);
                SSL_set_fd(session.get(), fd);
                char request[4096];
                if (SSL_accept(session.get()) != 1 || SSL_read(session.get(), request, sizeof request) <= 0) return;
                const std::string reply = "HTTP/1.0 200 OK\r\n\r\n<map>cut";
                SSL_write(session.get(), reply.data(), static_cast<int>(reply.size()));
                if (closeNotify) SSL_shutdown(session.get());
            },
            false);
        WriteFile(m_destination, kOld);
        const bool ok = Get("https://127.0.0.1:" + std::to_string(server.Port()) + "/a.map");
        if (closeNotify) {
            ASSERT_TRUE(ok) << m_client.GetLastError();
            EXPECT_EQ(ReadFile(m_destination), "<map>cut");
        } else {
            EXPECT_FALSE(ok);
            ExpectFailureLeftNoTrace("Connection lost while reading the response body", K::ClosedEarly);
        }
    }
}

TEST_F(TLSDownloadTest, HttpsNeverRedirectsToPlainHttp) {
    Serve("good",
          "location = /moved { return 301 http://127.0.0.1:1/a.map; }\n"
          "    location = /secure { return 302 https://127.0.0.1:$server_port/a.map; }\n"
          // A scheme of its own without "//": not a URL without a scheme, which would be plain http.
          "    location = /bare { return 302 localhost:1/a.map; }");
    m_client.SetMaxRedirects(3);
    EXPECT_FALSE(Get(Url("127.0.0.1", "/moved")));
    ExpectFailureLeftNoTrace("Redirect from https to http refused", K::Protocol);
    EXPECT_FALSE(Get(Url("127.0.0.1", "/bare")));
    ExpectFailureLeftNoTrace("Unsupported protocol", K::Protocol);
    ASSERT_TRUE(Get(Url("127.0.0.1", "/secure"))) << m_client.GetLastError();
    EXPECT_EQ(ReadFile(m_destination), kNew);
}

// A TLS server (each connection on a thread of its own, as connections opened ahead come out of
// turn) whose every connection is scripted: which context shakes hands, and whether the
// request is answered or the connection dropped right after the handshake.
class ScriptedTLSTest : public TLSDownloadTest {
protected:
    using Context = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;

    // A server context that lives as long as the server, whose threads may still use it.
    SSL_CTX* MakeContext(const std::string& certificate, int maxVersion = TLS1_3_VERSION) {
        Context context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
        SSL_CTX_set_max_proto_version(context.get(), maxVersion);
        EXPECT_TRUE(
            SSL_CTX_use_certificate_chain_file(context.get(), s_certificates->Certificate(certificate).c_str()) == 1 &&
            SSL_CTX_use_PrivateKey_file(context.get(), s_certificates->Key(certificate).c_str(), SSL_FILETYPE_PEM) ==
                1);
        m_contexts.push_back(std::move(context));
        return m_contexts.back().get();
    }

    // Serves each connection with script(n) for the n-th one (from 1): a context, and whether to answer.
    void Serve(std::function<std::pair<SSL_CTX*, bool>(int)> script) {
        m_server = std::make_unique<FaultServer>(
            [this, script](FaultServer&, int fd, const std::string&) {
                // OpenSSL writes with write(): a client that has gone must not end the test.
                sigset_t pipe;
                sigemptyset(&pipe);
                sigaddset(&pipe, SIGPIPE);
                pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
                const auto [context, answer] = script(++m_connection);
                std::unique_ptr<SSL, decltype(&SSL_free)> session(SSL_new(context), SSL_free);
                SSL_set_fd(session.get(), fd);
                if (SSL_accept(session.get()) != 1) return;
                ++m_handshaken;
                if (!answer) return;
                char request[4096];
                if (SSL_read(session.get(), request, sizeof request) <= 0) return;
                const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(sizeof kNew - 1) +
                                          "\r\nConnection: close\r\n\r\n" + kNew;
                SSL_write(session.get(), reply.data(), static_cast<int>(reply.size()));
                SSL_shutdown(session.get());
            },
            false, true);
    }

    bool Get() { return TLSDownloadTest::Get("https://127.0.0.1:" + std::to_string(m_server->Port()) + "/a.map"); }

    // Whether m_handshaken reaches count within a few seconds.
    bool HandshakesReach(int count) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (m_handshaken.load() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return m_handshaken.load() >= count;
    }

    std::vector<Context> m_contexts;
    std::atomic<int> m_connection{0};
    std::atomic<int> m_handshaken{0};  // handshakes the server completed
    std::unique_ptr<FaultServer> m_server;
};

// Later connections resume a session; one the server no longer knows costs a full handshake,
// never the download, and is not offered again.
TEST_F(ScriptedTLSTest, SessionsAreResumedAndARefusedOneCostsAFullHandshake) {
    for (const int version : {TLS1_3_VERSION, TLS1_2_VERSION}) {
        const auto context = std::make_shared<const CTLSContext>(s_certificates->Authority());
        m_tcp.SetTLSContext(context);
        SSL_CTX* const first = MakeContext("good", version);
        SSL_CTX_set_num_tickets(first, 1);  // one session kept at a time
        // Restarted: other ticket keys, so it knows no session, and it hands out none; it counts
        // the handshakes that offer one.
        SSL_CTX* const restarted = MakeContext("good", version);
        SSL_CTX_set_options(restarted, SSL_OP_NO_TICKET);
        SSL_CTX_set_num_tickets(restarted, 0);
        SSL_CTX_set_session_cache_mode(restarted, SSL_SESS_CACHE_OFF);
        std::atomic<int> offers{0};
        SSL_CTX_set_client_hello_cb(
            restarted,
            [](SSL* session, int*, void* count) {
                const unsigned char* data = nullptr;
                size_t length = 0;
                if (SSL_client_hello_get0_ext(session, 41, &data, &length) == 1 ||  // pre_shared_key
                    (SSL_client_hello_get0_ext(session, TLSEXT_TYPE_session_ticket, &data, &length) == 1 &&
                     length > 0)) {
                    ++*static_cast<std::atomic<int>*>(count);
                }
                return 1;
            },
            &offers);
        std::atomic<SSL_CTX*> current{first};
        Serve([&](int) { return std::make_pair(current.load(), true); });
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(Get()) << m_client.GetLastError();
        EXPECT_EQ(context->Handshakes(), 3u) << version;
        EXPECT_EQ(context->Resumed(), 2u) << version;
        current = restarted;
        for (int i = 0; i < 2; ++i) ASSERT_TRUE(Get()) << m_client.GetLastError();
        EXPECT_EQ(context->Handshakes(), 5u) << version;
        EXPECT_EQ(context->Resumed(), 2u) << version;
        EXPECT_EQ(offers.load(), 1) << version;
        EXPECT_EQ(ReadFile(m_destination), kNew);
        m_server.reset();
    }
}

TEST_F(ScriptedTLSTest, ConnectionOpenedAheadThatTheServerDropsIsReplaced) {
    SSL_CTX* const good = MakeContext("good");
    Serve([good](int n) { return std::make_pair(good, n != 2); });
    m_client.SetConnectAhead([] { return true; });
    ASSERT_TRUE(Get()) << m_client.GetLastError();
    WriteFile(m_destination, kOld);
    ASSERT_TRUE(Get()) << m_client.GetLastError();
    EXPECT_EQ(ReadFile(m_destination), kNew);
    EXPECT_GE(m_connection.load(), 3);
}

// The connection opened ahead shakes hands while the client waits for nothing, so the next Get
// only sends its request.
TEST_F(ScriptedTLSTest, ConnectionOpenedAheadShakesHandsBeforeTheNextGet) {
    SSL_CTX* const good = MakeContext("good");
    Serve([good](int) { return std::make_pair(good, true); });
    m_client.SetConnectAhead([] { return true; });
    ASSERT_TRUE(Get()) << m_client.GetLastError();
    EXPECT_TRUE(HandshakesReach(2));
    WriteFile(m_destination, kOld);
    ASSERT_TRUE(Get()) << m_client.GetLastError();
    EXPECT_EQ(ReadFile(m_destination), kNew);
}

// A server whose handshakes take longer than its answers gets a few connections opened ahead at
// once, enough to hide the handshake, and never more than three.
TEST_F(ScriptedTLSTest, SlowHandshakesGetMoreConnectionsOpenedAheadUpToThree) {
    SSL_CTX* const good = MakeContext("good");
    Serve([good](int) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return std::make_pair(good, true);
    });
    m_client.SetConnectAhead([] { return true; });
    constexpr int kGets = 6;
    for (int i = 0; i < kGets; ++i) ASSERT_TRUE(Get()) << m_client.GetLastError();
    EXPECT_TRUE(HandshakesReach(kGets + 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(m_connection.load(), kGets + 3);
}

// The connection opened ahead is verified before it carries a request, with the usual failure.
TEST_F(ScriptedTLSTest, ConnectionOpenedAheadWithABadCertificateFailsAsAnyOther) {
    SSL_CTX* const good = MakeContext("good");
    SSL_CTX* const selfSigned = MakeContext("selfsigned");
    Serve([good, selfSigned](int n) { return std::make_pair(n == 1 ? good : selfSigned, true); });
    m_client.SetConnectAhead([] { return true; });
    ASSERT_TRUE(Get()) << m_client.GetLastError();
    WriteFile(m_destination, kOld);
    EXPECT_FALSE(Get());
    ExpectFailureLeftNoTrace("Certificate verification failed: self-signed certificate", K::Certificate);
    EXPECT_EQ(m_connection.load(), 2);
}

// Redirects over plain http from nginx: followed only when allowed, never saved themselves.
class RedirectTest : public NginxDownloadTest {
protected:
    void SetUp() override {
        NginxDownloadTest::SetUp();
        // Relative Locations are sent as written; nginx would otherwise make them absolute.
        m_server.AddServerConfig("absolute_redirect off;");
        m_server.AddServerConfig("location = /hop1 { return 301 /maps/hop2; }");
        m_server.AddServerConfig("location = /maps/hop2 { return 302 ../final; }");
        m_server.AddServerConfig("location = /final { return 307 http://127.0.0.1:$server_port/a.map; }");
        m_server.AddServerConfig("location = /loop { return 308 /loop; }");
        ASSERT_TRUE(m_server.Start()) << m_server.Error();
    }

    bool Get(const std::string& path) { return m_client.Get(m_server.Url(path).c_str(), m_destination.c_str()); }
};

TEST_F(RedirectTest, NotFollowedByDefault) {
    EXPECT_FALSE(Get("/hop1"));
    ExpectFailureLeftNoTrace("301 - Moved Permanently", K::HTTPStatus, 301);
}

TEST_F(RedirectTest, ChainOfRelativeAndAbsoluteLocationsIsFollowed) {
    m_client.SetMaxRedirects(3);
    ASSERT_TRUE(Get("/hop1")) << m_client.GetLastError();
    EXPECT_EQ(ReadFile(m_destination), kNew);
    EXPECT_EQ(m_out.List(), std::vector<std::string>{"a.map"});
    const std::string log = m_server.AccessLog();
    size_t at = 0;
    for (const char* request : {"\"GET /hop1 HTTP/1.0\" 301", "\"GET /maps/hop2 HTTP/1.0\" 302",
                                "\"GET /final HTTP/1.0\" 307", "\"GET /a.map HTTP/1.0\" 200"}) {
        at = log.find(request, at);
        ASSERT_NE(at, std::string::npos) << request << " in\n" << log;
    }
}

TEST_F(RedirectTest, TooManyHopsAndLoopsFail) {
    m_client.SetMaxRedirects(2);
    EXPECT_FALSE(Get("/hop1"));
    ExpectFailureLeftNoTrace("Too many redirects", K::Protocol);
    m_client.SetMaxRedirects(5);
    EXPECT_FALSE(Get("/loop"));
    ExpectFailureLeftNoTrace("Redirect loop", K::Protocol);
}

}  // namespace
