#include <gtest/gtest.h>
#include <sys/stat.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "fs/CAtomicFile.h"
#include "http/CHTTPClient.h"
#include "support/FaultServer.h"
#include "support/TempDir.h"
#include "tcp/CTCPImpl.h"

namespace {

using K = CNetError::Kind;

using Clock = std::chrono::steady_clock;

const char kOldContent[] = "<map><meta><version>3</version></meta></map>";

// Downloads from a misbehaving server into a directory that already holds the destination.
class FaultyServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_destination = m_dir.File("map.xml");
        WriteFile(m_destination, kOldContent);
        m_client.SetTimeout(5000);
    }

    // Serves one fixed reply, then ends the connection with a FIN.
    static FaultServer::Handler Reply(std::string reply) {
        return [reply](FaultServer&, int fd, const std::string&) { FaultServer::SendAll(fd, reply); };
    }

    bool Get(const FaultServer& server) {
        return m_client.Get(server.Url("/maps/map.xml").c_str(), m_destination.c_str());
    }

    // A Get that fails, with a stop requested 300 ms after it began; how long it took.
    Clock::duration GetStoppedAfter300Ms(const FaultServer& server) {
        std::atomic<bool> stop{false};
        m_client.SetStopCheck([&stop] { return stop.load(); });
        std::thread requester([&stop] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            stop = true;
        });
        const auto start = Clock::now();
        EXPECT_FALSE(Get(server));
        const Clock::duration elapsed = Clock::now() - start;
        requester.join();
        m_client.SetStopCheck({});
        return elapsed;
    }

    // The text and the kind (with its code, the status for one) of the failure, and no trace of it.
    void ExpectFailureLeftNoTrace(const std::string& error, CNetError::Kind kind, int code = -1) {
        EXPECT_EQ(m_client.GetLastErrorKind().kind, kind) << error;
        if (code >= 0) {
            EXPECT_EQ(m_client.GetLastErrorKind().code, code) << error;
        }
        EXPECT_STREQ(m_client.GetLastError(), error.c_str());
        EXPECT_EQ(ReadFile(m_destination), kOldContent);
        EXPECT_EQ(m_dir.List(), std::vector<std::string>{"map.xml"});
    }

    TempDir m_dir;
    std::string m_destination;
    CTCPImpl m_tcp;
    CHTTPClient m_client{&m_tcp};
};

TEST_F(FaultyServerTest, SendsExactlyTheSpecifiedRequest) {
    FaultServer server(Reply("HTTP/1.0 200 OK\r\n\r\nnew"));
    ASSERT_TRUE(m_client.Get(server.Url("/my maps/a b.xml?v=1%202").c_str(), m_destination.c_str()))
        << m_client.GetLastError();
    ASSERT_TRUE(m_client.Get(server.Url("").c_str(), m_destination.c_str())) << m_client.GetLastError();
    const std::string host = "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n";
    const std::vector<std::string> expected = {
        "GET /my%20maps/a%20b.xml?v=1%202 HTTP/1.0\r\n" + host + "User-Agent: XOVRA_SERVER_10\r\n\r\n",
        "GET / HTTP/1.0\r\n" + host + "User-Agent: XOVRA_SERVER_10\r\n\r\n"};
    EXPECT_EQ(server.Requests(), expected);
}

TEST_F(FaultyServerTest, OkClosedRightAfterTheHeadGivesAnEmptyFile) {
    FaultServer server(Reply("HTTP/1.1 200 OK\r\nServer: test\r\n\r\n"));
    ASSERT_TRUE(Get(server)) << m_client.GetLastError();
    EXPECT_TRUE(FileExists(m_destination));
    EXPECT_EQ(ReadFile(m_destination), "");
    EXPECT_EQ(m_dir.List(), std::vector<std::string>{"map.xml"});
}

TEST_F(FaultyServerTest, BodyWithoutLengthRunsToTheClose) {
    FaultServer server(Reply("HTTP/1.0 200 OK\r\n\r\n<map>\r\n\r\nHTTP/1.0 404 x</map>"));
    ASSERT_TRUE(Get(server)) << m_client.GetLastError();
    EXPECT_EQ(ReadFile(m_destination), "<map>\r\n\r\nHTTP/1.0 404 x</map>");
}

TEST_F(FaultyServerTest, StopsAtContentLengthWithoutWaitingForTheClose) {
    FaultServer server([](FaultServer& s, int fd, const std::string&) {
        FaultServer::SendAll(fd, "HTTP/1.1 200 OK\r\ncontent-length: 5\r\n\r\nhello and more");
        s.WaitUntilStopped();
    });
    const auto start = Clock::now();
    ASSERT_TRUE(Get(server)) << m_client.GetLastError();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(ReadFile(m_destination), "hello");
    EXPECT_EQ(m_dir.List(), std::vector<std::string>{"map.xml"});
}

TEST_F(FaultyServerTest, RedirectIsNotFollowed) {
    FaultServer server(Reply("HTTP/1.1 301 Moved Permanently\r\nLocation: /elsewhere\r\n\r\nbody"));
    EXPECT_FALSE(Get(server));
    ExpectFailureLeftNoTrace("301 - Moved Permanently", K::HTTPStatus, 301);
    EXPECT_EQ(server.Connections(), 1);
}

// However many redirects are allowed, one back to a place already asked ends the download at
// once, and a chain of ever new places ends after twenty.
TEST_F(FaultyServerTest, RedirectsEndAtALoopOrAfterTwenty) {
    const struct {
        const char* location;
        const char* error;
        int connections;
    } cases[] = {
        {"/maps/map.xml", "Redirect loop", 1},
        // The same place written another way.
        {"HTTP://127.0.0.1:PORT/maps/map.xml#top", "Redirect loop", 1},
        {"/next?", "Too many redirects", 21},
    };
    for (const auto& c : cases) {
        FaultServer server([&c](FaultServer& s, int fd, const std::string&) {
            std::string location = c.location;
            if (location.back() == '?') location += std::to_string(s.Connections());
            const std::size_t port = location.find("PORT");
            if (port != std::string::npos) location.replace(port, 4, std::to_string(s.Port()));
            FaultServer::SendAll(fd, "HTTP/1.1 302 Found\r\nLocation: " + location + "\r\n\r\n");
        });
        m_client.SetMaxRedirects(4294967295u);
        EXPECT_FALSE(Get(server));
        ExpectFailureLeftNoTrace(c.error, K::Protocol);
        EXPECT_EQ(c.connections, server.Connections()) << c.location;
    }
}

TEST_F(FaultyServerTest, BareLineFeedHeadNeverCompletes) {
    FaultServer server(Reply("HTTP/1.0 200 OK\nContent-Length: 3\n\nnew"));
    EXPECT_FALSE(Get(server));
    ExpectFailureLeftNoTrace("Failed reading out response", K::ClosedEarly);
}

TEST_F(FaultyServerTest, HeadOf16KiBIsReadWithoutTakingABodyByte) {
    std::string head = "HTTP/1.1 200 OK\r\n";
    while (head.size() < 16384 - 100) head += "Set-Cookie: 0123456789abcdef0123456789abcdef\r\n";
    FaultServer server(Reply(head + "Content-Length: 3\r\n\r\nnew"));
    ASSERT_TRUE(Get(server)) << m_client.GetLastError();
    EXPECT_EQ(ReadFile(m_destination), "new");
}

TEST_F(FaultyServerTest, HeadWithoutEmptyLineFailsAt16KiB) {
    // Far more than 16 KiB of header lines, then silence with the connection open:
    // the client must give up at the limit, not wait for a close or a time-out.
    FaultServer server([](FaultServer& s, int fd, const std::string&) {
        std::string head = "HTTP/1.0 200 OK\r\n";
        while (head.size() < 65536) head += "X-Filler: 0123456789abcdef\r\n";
        FaultServer::SendAll(fd, head);
        s.WaitUntilStopped();
    });
    const auto start = Clock::now();
    EXPECT_FALSE(Get(server));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    ExpectFailureLeftNoTrace("Failed reading out response", K::Protocol);
}

TEST_F(FaultyServerTest, EmptyReasonPhraseIsAcceptedAndReported) {
    FaultServer ok(Reply("HTTP/1.1 200 \r\n\r\nnew"));
    ASSERT_TRUE(Get(ok)) << m_client.GetLastError();
    EXPECT_EQ(ReadFile(m_destination), "new");
    WriteFile(m_destination, kOldContent);
    FaultServer missing(Reply("HTTP/1.1 404 \r\n\r\n"));
    EXPECT_FALSE(Get(missing));
    ExpectFailureLeftNoTrace("404 - ", K::HTTPStatus, 404);
}

TEST_F(FaultyServerTest, DisagreeingContentLengthsFail) {
    FaultServer server(Reply("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 30\r\n\r\nnew"));
    EXPECT_FALSE(Get(server));
    ExpectFailureLeftNoTrace("Invalid Content-Length", K::Protocol);
}

// The request is HTTP/1.0, whose bodies carry no transfer coding: a server that codes one anyway
// would have its framing (chunk sizes, trailers) taken for the map, whatever Content-Length says.
TEST_F(FaultyServerTest, TransferCodedBodyIsRefused) {
    for (const char* head :
         {"Transfer-Encoding: chunked", "Content-Length: 10\r\nTransfer-Encoding: chunked",
          "transfer-encoding: gzip, chunked", "Transfer-Encoding: identity\r\nTransfer-Encoding: chunked"}) {
        FaultServer server(Reply(std::string("HTTP/1.1 200 OK\r\n") + head + "\r\n\r\n3\r\nnew\r\n0\r\n\r\n"));
        EXPECT_FALSE(Get(server)) << head;
        ExpectFailureLeftNoTrace("Unsupported Transfer-Encoding", K::Protocol);
    }
    // "identity" is no coding: the body is the map.
    FaultServer server(Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: Identity \r\n\r\nnew"));
    ASSERT_TRUE(Get(server)) << m_client.GetLastError();
    EXPECT_EQ(ReadFile(m_destination), "new");
}

TEST_F(FaultyServerTest, GarbledStatusLineFailsParsing) {
    FaultServer server(Reply("HTTP/2 200 OK\r\n\r\nnew"));
    EXPECT_FALSE(Get(server));
    ExpectFailureLeftNoTrace("Parsing response failed", K::Protocol);
}

TEST_F(FaultyServerTest, BodyShortOfContentLengthFails) {
    FaultServer server(Reply("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(40, 'b')));
    EXPECT_FALSE(Get(server));
    ExpectFailureLeftNoTrace("Incomplete response body: 40 of 100 bytes", K::ClosedEarly);
}

TEST_F(FaultyServerTest, ResetMidBodyFails) {
    // No Content-Length: only the way the connection ends tells a complete body from a cut one.
    FaultServer server([](FaultServer& s, int fd, const std::string&) {
        FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n" + std::string(100000, 'b'));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        s.Reset(fd);
    });
    EXPECT_FALSE(Get(server));
    ExpectFailureLeftNoTrace("Connection lost while reading the response body", K::ClosedEarly);
}

TEST_F(FaultyServerTest, SilentServerTimesOut) {
    FaultServer server([](FaultServer& s, int, const std::string&) { s.WaitUntilStopped(); });
    m_client.SetTimeout(300);
    const auto start = Clock::now();
    EXPECT_FALSE(Get(server));
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(250));
    EXPECT_LT(elapsed, std::chrono::seconds(3));
    ExpectFailureLeftNoTrace("Timed out waiting for the server", K::TimedOut);
}

TEST_F(FaultyServerTest, ServerStallingMidBodyTimesOut) {
    FaultServer server([](FaultServer& s, int fd, const std::string&) {
        FaultServer::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(2000, 'b'));
        s.WaitUntilStopped();
    });
    m_client.SetTimeout(300);
    EXPECT_FALSE(Get(server));
    ExpectFailureLeftNoTrace("Timed out waiting for the server", K::TimedOut);
}

// Each byte comes just inside the time-out, so no single wait times out: the transfer as a whole
// must still end within about one time-out.
TEST_F(FaultyServerTest, TricklingServerIsCutOffAfterOneTimeout) {
    struct Case {
        std::string before;  // sent at once, then the rest one byte at a time
        std::string error;   // a pattern: how many bytes made it depends on the scheduler
    };
    const Case cases[] = {
        {"HTTP/1.0 200 OK\r\n", "Timed out waiting for the server"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 900\r\n\r\n", "Transfer too slow: [1-9] bytes in 0\\.5 s"},
    };
    m_client.SetTimeout(500);
    for (const Case& c : cases) {
        FaultServer server([&c](FaultServer& s, int fd, const std::string&) {
            FaultServer::SendAll(fd, c.before);
            for (int i = 0; i < 40 && FaultServer::SendAll(fd, "X"); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(110));
            }
            s.WaitUntilStopped();
        });
        const auto start = Clock::now();
        EXPECT_FALSE(Get(server));
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
        EXPECT_TRUE(std::regex_match(m_client.GetLastError(), std::regex(c.error))) << m_client.GetLastError();
        EXPECT_EQ(ReadFile(m_destination), kOldContent);
        EXPECT_EQ(m_dir.List(), std::vector<std::string>{"map.xml"});
    }
}

// The bound is on the pace, not on the whole download: 1500 bytes in every window of one time-out
// is enough, however long the body takes.
TEST_F(FaultyServerTest, SlowButSteadyBodyIsNotCutOff) {
    FaultServer server([](FaultServer&, int fd, const std::string&) {
        FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 4500\r\n\r\n");
        for (int i = 0; i < 15 && FaultServer::SendAll(fd, std::string(300, 'b')); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    m_client.SetTimeout(500);
    ASSERT_TRUE(Get(server)) << m_client.GetLastError();
    EXPECT_EQ(ReadFile(m_destination), std::string(4500, 'b'));
}

// Time-out 0 waits forever, but a stop request still ends every wait at once.
TEST_F(FaultyServerTest, StopRequestEndsAnyWaitWithoutATimeout) {
    const std::string heads[] = {"", "HTTP/1.0 200 OK\r\n\r\npartial body"};
    m_client.SetTimeout(0);
    for (const std::string& head : heads) {
        FaultServer server([&head](FaultServer& s, int fd, const std::string&) {
            FaultServer::SendAll(fd, head);
            s.WaitUntilStopped();
        });
        const Clock::duration elapsed = GetStoppedAfter300Ms(server);
        EXPECT_GE(elapsed, std::chrono::milliseconds(250));
        EXPECT_LT(elapsed, std::chrono::milliseconds(900));
        ExpectFailureLeftNoTrace("Stopped", K::Stopped);
    }
}

TEST_F(FaultyServerTest, PeerClosingBeforeReadingTheRequestFails) {
    for (const bool reset : {false, true}) {
        FaultServer server(
            [reset](FaultServer& s, int fd, const std::string&) {
                if (reset) s.Reset(fd);
            },
            false);
        EXPECT_FALSE(Get(server));
        // Where the close lands depends on timing: after the request was queued, while sending
        // it, or (a reset) even before the handshake was confirmed to the client.
        const std::string error = m_client.GetLastError();
        EXPECT_TRUE(error == "Failed reading out response" || error == "Error writing to socket" ||
                    (reset && error == "Failed to establish connection with server"))
            << error;
        EXPECT_EQ(ReadFile(m_destination), kOldContent);
        EXPECT_EQ(m_dir.List(), std::vector<std::string>{"map.xml"});
    }
}

// Failures before any answer carry their kind too: what retries decide on.
TEST_F(FaultyServerTest, FailuresBeforeAnAnswerCarryTheirKind) {
    unsigned short closedPort = 0;
    {
        FaultServer gone(Reply(""));
        closedPort = gone.Port();
    }
    struct Case {
        std::string url;
        K kind;
        int code;
    };
    const Case cases[] = {
        {"http://127.0.0.1:" + std::to_string(closedPort) + "/m.map", K::Connect, ECONNREFUSED},
        {"http://no-such-host.invalid/m.map", K::Resolve, 0},
        {"ftp://127.0.0.1/m.map", K::Protocol, 0},
        {"http://127.0.0.1:99999/m.map", K::Protocol, 0},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(m_client.Get(c.url.c_str(), m_destination.c_str())) << c.url;
        EXPECT_EQ(m_client.GetLastErrorKind().kind, c.kind) << c.url << ": " << m_client.GetLastError();
        EXPECT_EQ(m_client.GetLastErrorKind().code, c.code) << c.url;
    }
}

// Non-empty request heads the server received (a connection opened ahead may carry none).
std::vector<std::string> RequestsMade(const FaultServer& server) {
    std::vector<std::string> made;
    for (const std::string& request : server.Requests()) {
        if (!request.empty()) made.push_back(request.substr(0, request.find(' ', 4)));
    }
    return made;
}

// Asked for, the next Get's connection is open while this Get still waits for its answer, and
// the next Get then uses it; not asked for, a Get has one connection and only while it runs.
TEST_F(FaultyServerTest, ConnectAheadOpensTheNextGetsConnectionWhileThisOneWaits) {
    for (const bool ahead : {false, true}) {
        std::atomic<int> openDuringFirst{0};
        FaultServer server(
            [&](FaultServer& self, int fd, const std::string& request) {
                if (request.empty()) return;
                if (request.rfind("GET /first ", 0) == 0) {
                    for (int i = 0; ahead && i < 300 && self.Connections() < 2; ++i)
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    openDuringFirst = self.Connections();
                }
                FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nnew");
            },
            /*readRequest=*/true, /*concurrent=*/true);
        int asked = 0;
        if (ahead) m_client.SetConnectAhead([&asked] { return ++asked == 1; });
        ASSERT_TRUE(m_client.Get(server.Url("/first").c_str(), m_destination.c_str())) << m_client.GetLastError();
        ASSERT_TRUE(m_client.Get(server.Url("/second").c_str(), m_destination.c_str())) << m_client.GetLastError();
        EXPECT_EQ(openDuringFirst.load(), ahead ? 2 : 1);
        EXPECT_EQ(server.Connections(), 2);
        EXPECT_EQ(RequestsMade(server), (std::vector<std::string>{"GET /first", "GET /second"}));
        EXPECT_EQ(ReadFile(m_destination), "new");
    }
}

// Clients that share a claim never hold more connections ahead than it grants: here the maps
// still to come after each Get, so the last Get leaves no connection opened for nothing.
TEST_F(FaultyServerTest, ConnectionsAheadNeverOutnumberTheGetsToCome) {
    FaultServer server(
        [](FaultServer&, int fd, const std::string& request) {
            if (!request.empty()) FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nnew");
        },
        /*readRequest=*/true, /*concurrent=*/true);
    std::atomic<int> toCome{0};
    std::atomic<int> held{0};
    m_client.SetConnectAhead([] { return true; },
                             [&]() -> std::shared_ptr<const void> {
                                 if (held >= toCome) return nullptr;
                                 ++held;
                                 return std::shared_ptr<const void>(&held, [&held](const void*) { --held; });
                             });
    const int gets = 4;
    for (int i = 0; i < gets; ++i) {
        toCome = gets - 1 - i;
        ASSERT_TRUE(m_client.Get(server.Url("/map").c_str(), m_destination.c_str())) << m_client.GetLastError();
    }
    // A connection started needlessly by the last Get would reach the server shortly after.
    for (int i = 0; i < 20 && server.Connections() <= gets; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(server.Connections(), gets);
    EXPECT_EQ(held.load(), 0);
}

// A connection opened ahead that the server drops unanswered costs the Get nothing: the request
// goes once more on a fresh connection. One on which the answer timed out is not asked again.
TEST_F(FaultyServerTest, DroppedAheadConnectionIsRetriedFreshButATimeoutIsNot) {
    struct Case {
        bool silent;  // else the server closes the connection without a word
        bool succeeds;
        std::vector<std::string> requests;
        const char* error;
    };
    const Case cases[] = {
        {false, true, {"GET /first", "GET /second", "GET /second"}, ""},
        {true, false, {"GET /first", "GET /second"}, "Timed out waiting for the server"},
    };
    m_client.SetTimeout(300);
    for (const Case& c : cases) {
        std::atomic<bool> secondSeen{false};
        FaultServer server(
            [&](FaultServer& self, int fd, const std::string& request) {
                if (request.rfind("GET /second ", 0) == 0 && !secondSeen.exchange(true)) {
                    if (c.silent) self.WaitUntilStopped();
                    return;
                }
                if (!request.empty()) FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nnew");
            },
            /*readRequest=*/true, /*concurrent=*/true);
        int asked = 0;
        m_client.SetConnectAhead([&asked] { return ++asked == 1; });
        ASSERT_TRUE(m_client.Get(server.Url("/first").c_str(), m_destination.c_str())) << m_client.GetLastError();
        WriteFile(m_destination, kOldContent);
        EXPECT_EQ(m_client.Get(server.Url("/second").c_str(), m_destination.c_str()), c.succeeds) << c.silent;
        EXPECT_STREQ(m_client.GetLastError(), c.succeeds ? "" : c.error);
        EXPECT_EQ(ReadFile(m_destination), c.succeeds ? "new" : kOldContent);
        EXPECT_EQ(RequestsMade(server), c.requests);
    }
}

// A transient failure is tried again after a wait that doubles from 1 s (varied by up to 20%),
// or after the one a 429 or 503 asks for; anything else fails at once. Each try writes the body
// from its start, and a failure tells of the last try.
TEST_F(FaultyServerTest, TransientFailuresAreTriedAgain) {
    const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nnew";
    const std::string unavailable = "HTTP/1.0 503 Service Unavailable\r\n\r\n";
    struct Case {
        const char* name;
        std::vector<std::string> replies;  // one per connection; "" closes it unanswered
        const char* error;                 // "" for success
        std::vector<long long> waitsMs;
        bool exact;  // else each wait may vary by 20%
    };
    const Case cases[] = {
        {"503 then 200", {unavailable, ok}, "", {1000}, false},
        {"body cut short then 200", {"HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nold", ok}, "", {1000}, false},
        {"closed unanswered then 200", {"", ok}, "", {1000}, false},
        {"503 every time", {unavailable, unavailable, unavailable}, "503 - Service Unavailable", {1000, 2000}, false},
        {"404", {"HTTP/1.0 404 Not Found\r\n\r\n"}, "404 - Not Found", {}, true},
        {"429 with Retry-After 2", {"HTTP/1.0 429 Too Many Requests\r\nRetry-After: 2\r\n\r\n", ok}, "", {2000}, true},
        {"503 with Retry-After 61",
         {"HTTP/1.0 503 Service Unavailable\r\nRetry-After: 61\r\n\r\n"},
         "503 - Service Unavailable",
         {},
         true},
        {"500 whose Retry-After does not count",
         {"HTTP/1.0 500 Oops\r\nRetry-After: 30\r\n\r\n", ok},
         "",
         {1000},
         false},
    };
    for (const Case& c : cases) {
        // A client of its own: the text of an earlier case's failure would outlive it.
        CHTTPClient client(&m_tcp);
        client.SetRetries(2);
        std::atomic<size_t> served{0};
        FaultServer server([&](FaultServer&, int fd, const std::string&) {
            const size_t i = served++;
            if (i < c.replies.size()) FaultServer::SendAll(fd, c.replies[i]);
        });
        std::vector<long long> waits;
        client.SetRetryWait([&waits](std::chrono::milliseconds wait) {
            waits.push_back(wait.count());
            return true;
        });
        CAtomicFile file(m_destination, CAtomicFile::Sync::Fast);
        ASSERT_TRUE(file.Open());
        const bool succeeds = c.error[0] == '\0';
        EXPECT_EQ(client.Get(server.Url("/m.map").c_str(), file), succeeds) << c.name;
        EXPECT_STREQ(client.GetLastError(), c.error) << c.name;
        EXPECT_EQ(server.Requests().size(), succeeds ? c.replies.size() : c.waitsMs.size() + 1) << c.name;
        if (succeeds) {
            EXPECT_EQ(ReadFile(file.TemporaryPath()), "new") << c.name;
        }
        ASSERT_EQ(waits.size(), c.waitsMs.size()) << c.name;
        for (size_t i = 0; i < waits.size(); ++i) {
            const long long slack = c.exact ? 0 : c.waitsMs[i] / 5;
            EXPECT_GE(waits[i], c.waitsMs[i] - slack) << c.name;
            EXPECT_LE(waits[i], c.waitsMs[i] + slack) << c.name;
        }
    }
}

// A stop request ends the wait before another try at once.
TEST_F(FaultyServerTest, StopRequestEndsTheWaitBeforeAnotherTry) {
    FaultServer server(Reply("HTTP/1.0 503 Service Unavailable\r\nRetry-After: 30\r\n\r\n"));
    m_client.SetRetries(2);
    const Clock::duration elapsed = GetStoppedAfter300Ms(server);
    EXPECT_LT(elapsed, std::chrono::milliseconds(900));
    ExpectFailureLeftNoTrace("Stopped", K::Stopped);
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(FaultyServerTest, UnwritableDestinationFailsAndLeavesNothing) {
    FaultServer server(Reply("HTTP/1.0 200 OK\r\n\r\nnew"));
    EXPECT_FALSE(m_client.Get(server.Url("/x").c_str(), m_dir.File("missing/map.xml").c_str()));
    ExpectFailureLeftNoTrace(
        "Unable to write destination file " + m_dir.File("missing/map.xml") + ": No such file or directory",
        K::LocalWrite, ENOENT);
    // A directory where the file should go: the rename over it fails.
    ASSERT_EQ(::mkdir(m_dir.File("sub").c_str(), 0755), 0);
    EXPECT_FALSE(m_client.Get(server.Url("/x").c_str(), m_dir.File("sub").c_str()));
    EXPECT_EQ(m_client.GetLastError(), "Unable to write destination file " + m_dir.File("sub") + ": Is a directory");
    // A path too long for the text is named by its last part, so the reason still shows.
    const std::string deep = m_dir.File("missing/" + std::string(120, 'd') + "/map.xml");
    EXPECT_FALSE(m_client.Get(server.Url("/x").c_str(), deep.c_str()));
    EXPECT_STREQ(m_client.GetLastError(), "Unable to write destination file map.xml: No such file or directory");
    EXPECT_EQ(m_dir.List(), (std::vector<std::string>{"map.xml", "sub"}));
}

}  // namespace
