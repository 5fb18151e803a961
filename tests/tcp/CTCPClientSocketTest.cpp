#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/FaultServer.h"
#include "support/Localhost.h"
#include "support/Process.h"
#include "tcp/CConnectRace.h"
#include "tcp/CTCPClientSocket.h"
#include "tcp/CTCPClientSocketImpl.h"
#include "tcp/CTCPImpl.h"
#include "tcp/TCPErrorTexts.h"

namespace {

using Clock = std::chrono::steady_clock;

using Address = CConnectRace::Address;

Address Loopback(bool v6, unsigned short port) {
    Address address;
    if (v6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(address.storage);
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(port);
        address.length = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(address.storage);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        address.length = sizeof a;
    }
    return address;
}

// A listener on a loopback address and port whose accept queue is full, so that connecting to
// it hangs (where the kernel lets that happen: Hangs() tells; Bound() whether the port was free).
class HangingListener {
public:
    HangingListener(bool v6, unsigned short port) {
        const Address address = Loopback(v6, port);
        const auto* where = reinterpret_cast<const sockaddr*>(&address.storage);
        m_fds.push_back(::socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int one = 1;
        if (v6) ::setsockopt(m_fds[0], IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        if (m_fds[0] < 0 || ::bind(m_fds[0], where, address.length) != 0 || ::listen(m_fds[0], 0) != 0) return;
        m_bound = true;
        for (int i = 0; i < 3; ++i) {
            m_fds.push_back(::socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            ::connect(m_fds.back(), where, address.length);
        }
        pollfd probe{m_fds.back(), POLLOUT, 0};
        m_hangs = ::poll(&probe, 1, 100) == 0;
    }
    ~HangingListener() {
        for (const int fd : m_fds) {
            if (fd >= 0) ::close(fd);
        }
    }
    HangingListener(const HangingListener&) = delete;
    HangingListener& operator=(const HangingListener&) = delete;
    bool Bound() const { return m_bound; }
    bool Hangs() const { return m_hangs; }

private:
    std::vector<int> m_fds;
    bool m_bound = false;
    bool m_hangs = false;
};

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Waits (bounded) until the server has accepted the given number of connections.
bool WaitForConnections(const FaultServer& server, int count) {
    for (int i = 0; i < 300 && server.Connections() < count; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return server.Connections() >= count;
}

// Echoes everything back until the client closes.
void Echo(FaultServer&, int fd, const std::string&) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0 || !FaultServer::SendAll(fd, std::string(buffer, static_cast<size_t>(n)))) return;
    }
}

// A loopback port bound to a socket that does not listen: connecting to it is refused.
class ClosedPort {
public:
    ClosedPort() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            m_port = ntohs(addr.sin_port);
        }
    }
    ~ClosedPort() { ::close(m_fd); }
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    unsigned short Port() const { return m_port; }
    // Listens with no room in the accept queue and never accepts.
    bool ListenWithoutRoom() { return ::listen(m_fd, 0) == 0; }

private:
    int m_fd;
    unsigned short m_port = 0;
};

class ClientSocketTest : public ::testing::Test {
protected:
    std::unique_ptr<CTCPClientSocket> NewSocket() {
        CTCPClientSocket* socket = m_factory.CreateClient();
        EXPECT_NE(socket, nullptr) << m_factory.GetLastError();
        return std::unique_ptr<CTCPClientSocket>(socket);
    }

    CTCPImpl m_factory;
};

TEST_F(ClientSocketTest, ConnectsByAddressAndByNameAndCarriesBytes) {
    FaultServer server(Echo, false);
    auto socket = NewSocket();
    ASSERT_TRUE(socket->Connect("127.0.0.1", server.Port())) << socket->GetLastError();
    EXPECT_TRUE(socket->IsConnected());
    ASSERT_EQ(socket->WriteBuffer("ping", 4), 4);
    char reply[8] = {};
    ASSERT_EQ(socket->ReadBuffer(reply, sizeof reply), 4);
    EXPECT_STREQ(reply, "ping");

    ASSERT_TRUE(socket->Disconnect());
    if (!LocalhostResolves()) GTEST_SKIP() << kNoLocalhost;
    ASSERT_TRUE(socket->Connect("localhost", server.Port())) << socket->GetLastError();
    EXPECT_TRUE(WaitForConnections(server, 2));
}

TEST_F(ClientSocketTest, ConnectWhileConnectedClosesTheOldConnection) {
    FaultServer server(Echo, false);
    auto socket = NewSocket();
    ASSERT_TRUE(socket->Connect("127.0.0.1", server.Port()));
    // The server serves one connection at a time: it reaches the second only once the first closed.
    ASSERT_TRUE(socket->Connect("127.0.0.1", server.Port()));
    EXPECT_TRUE(socket->IsConnected());
    EXPECT_TRUE(WaitForConnections(server, 2));
    ASSERT_EQ(socket->WriteBuffer("x", 1), 1);
    char reply = 0;
    EXPECT_EQ(socket->ReadBuffer(&reply, 1), 1);
}

TEST_F(ClientSocketTest, UnresolvableNameFailsAndSocketStaysUsable) {
    FaultServer server(Echo, false);
    auto socket = NewSocket();
    EXPECT_FALSE(socket->Connect("no-such-host.invalid", server.Port()));
    EXPECT_STREQ(socket->GetLastError(), "Unable to resolve");
    EXPECT_EQ(socket->GetLastErrorKind().kind, CNetError::Kind::Resolve);
    EXPECT_FALSE(socket->IsConnected());
    EXPECT_TRUE(socket->Connect("127.0.0.1", server.Port()));
}

// With no descriptor left, the failure to make a socket names the system's reason.
TEST(ClientSocketCreation, NoDescriptorLeftNamesTheReason) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!UseUpFileDescriptors()) _exit(2);
        CTCPImpl tcp;
        const bool refused = tcp.CreateClient() == nullptr;
        _exit(refused && std::strcmp(tcp.GetLastError(), "Creating socket failed: Too many open files") == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

// A connection costs one descriptor: the one made at creation is the one that connects, so a
// process with a single descriptor left still connects.
TEST(ClientSocketCreation, OneDescriptorServesTheConnection) {
    FaultServer server(Echo, false);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        {
            // The same connection once with descriptors to spare: a sanitizer's runtime opens some
            // of its own the first time it checks a type, which is not the connection's cost.
            CTCPImpl warm;
            std::unique_ptr<CTCPClientSocket> socket(warm.CreateClient());
            if (!socket || !socket->Connect("127.0.0.1", server.Port())) _exit(3);
        }
        const int lowestFree = dup(0);
        if (lowestFree < 0) _exit(2);
        close(lowestFree);
        const rlimit oneLeft{static_cast<rlim_t>(lowestFree) + 1, static_cast<rlim_t>(lowestFree) + 1};
        if (setrlimit(RLIMIT_NOFILE, &oneLeft) != 0) _exit(2);
        CTCPImpl tcp;
        std::unique_ptr<CTCPClientSocket> socket(tcp.CreateClient());
        if (!socket || !socket->Connect("127.0.0.1", server.Port())) _exit(3);
        // The limit held: no descriptor was left beside the connection's.
        _exit(dup(0) < 0 && errno == EMFILE ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST_F(ClientSocketTest, RefusedConnectionFailsAndSocketStaysUsable) {
    ClosedPort closed;
    ASSERT_NE(closed.Port(), 0);
    FaultServer server(Echo, false);
    auto socket = NewSocket();
    EXPECT_FALSE(socket->Connect("127.0.0.1", closed.Port()));
    EXPECT_STREQ(socket->GetLastError(), "Failed to establish connection with server");
    EXPECT_EQ(socket->GetLastErrorKind().kind, CNetError::Kind::Connect);
    EXPECT_EQ(socket->GetLastErrorKind().code, ECONNREFUSED);
    EXPECT_FALSE(socket->IsConnected());
    char byte = 0;
    EXPECT_EQ(socket->ReadBuffer(&byte, 1), -1);
    EXPECT_STREQ(socket->GetLastError(), "Not connected");
    EXPECT_TRUE(socket->Connect("127.0.0.1", server.Port())) << socket->GetLastError();
}

// The handshake StartConnect begins is the one Connect then finishes, for the same server only;
// a refused one fails in Connect as an ordinary connect does.
TEST_F(ClientSocketTest, StartConnectRunsTheHandshakeForTheNextConnectToTheSameServer) {
    FaultServer first(Echo, false), second(Echo, false);
    ClosedPort closed;
    ASSERT_NE(closed.Port(), 0);
    auto socket = NewSocket();
    ASSERT_TRUE(socket->StartConnect("127.0.0.1", first.Port())) << socket->GetLastError();
    EXPECT_TRUE(WaitForConnections(first, 1));
    EXPECT_FALSE(socket->IsConnected());
    ASSERT_TRUE(socket->Connect("127.0.0.1", first.Port())) << socket->GetLastError();
    ASSERT_EQ(socket->WriteBuffer("ping", 4), 4);
    char reply[8] = {};
    ASSERT_EQ(socket->ReadBuffer(reply, sizeof reply), 4);
    EXPECT_EQ(first.Connections(), 1);

    ASSERT_TRUE(socket->StartConnect("127.0.0.1", first.Port()));
    ASSERT_TRUE(socket->Connect("127.0.0.1", second.Port())) << socket->GetLastError();
    ASSERT_EQ(socket->WriteBuffer("x", 1), 1);
    EXPECT_EQ(socket->ReadBuffer(reply, 1), 1);
    EXPECT_TRUE(WaitForConnections(second, 1));

    if (socket->StartConnect("127.0.0.1", closed.Port())) {
        EXPECT_FALSE(socket->Connect("127.0.0.1", closed.Port()));
    }
    EXPECT_STREQ(socket->GetLastError(), "Failed to establish connection with server");
    EXPECT_FALSE(socket->IsConnected());
    EXPECT_TRUE(socket->Connect("127.0.0.1", second.Port())) << socket->GetLastError();
}

TEST_F(ClientSocketTest, DisconnectOnlyFromConnected) {
    FaultServer server(Echo, false);
    auto socket = NewSocket();
    EXPECT_FALSE(socket->Disconnect());
    EXPECT_STREQ(socket->GetLastError(), "Not connected");
    ASSERT_TRUE(socket->Connect("127.0.0.1", server.Port()));
    EXPECT_TRUE(socket->Disconnect());
    EXPECT_FALSE(socket->IsConnected());
    EXPECT_FALSE(socket->Disconnect());
    EXPECT_STREQ(socket->GetLastError(), "Not connected");
}

// Peers that talk first, then end the connection in different ways.
class ClosingPeerTest : public ClientSocketTest {
protected:
    static void GreetAndClose(FaultServer&, int fd, const std::string&) { FaultServer::SendAll(fd, "hello"); }
    static void GreetAndReset(FaultServer& server, int fd, const std::string&) {
        FaultServer::SendAll(fd, "hello");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        server.Reset(fd);
    }

    // Connects with an error text already in place, as left by an earlier failure.
    std::unique_ptr<CTCPClientSocket> ConnectWithStaleText(unsigned short port) {
        auto socket = NewSocket();
        EXPECT_FALSE(socket->Disconnect());
        EXPECT_TRUE(socket->Connect("127.0.0.1", port));
        EXPECT_STREQ(socket->GetLastError(), "Not connected");
        return socket;
    }
};

TEST_F(ClosingPeerTest, ReadEmptiesTextAndCleanCloseLeavesItEmpty) {
    FaultServer server(GreetAndClose, false);
    auto socket = ConnectWithStaleText(server.Port());
    EXPECT_EQ(socket->WriteBuffer("", 0), -1);  // nothing sent, text kept
    EXPECT_STREQ(socket->GetLastError(), "Not connected");
    char buffer[16] = {};
    ASSERT_EQ(socket->ReadBuffer(buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "hello");
    EXPECT_STREQ(socket->GetLastError(), "");
    EXPECT_EQ(socket->ReadBuffer(buffer, sizeof buffer), -1);
    EXPECT_STREQ(socket->GetLastError(), "");
    EXPECT_TRUE(socket->IsConnected());
}

TEST_F(ClosingPeerTest, PeekLeavesTheBytesForTheNextReadAndSeesTheClose) {
    FaultServer server(GreetAndClose, false);
    auto socket = ConnectWithStaleText(server.Port());
    char buffer[16] = {};
    ASSERT_EQ(socket->PeekBuffer(buffer, 3), 3);
    EXPECT_STREQ(buffer, "hel");
    EXPECT_STREQ(socket->GetLastError(), "");
    ASSERT_EQ(socket->PeekBuffer(buffer, sizeof buffer), 5);
    std::memset(buffer, 0, sizeof buffer);
    ASSERT_EQ(socket->ReadBuffer(buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "hello");
    EXPECT_EQ(socket->PeekBuffer(buffer, sizeof buffer), -1);
    EXPECT_STREQ(socket->GetLastError(), "");
}

TEST_F(ClosingPeerTest, ReadAfterCloseKeepsAnEarlierText) {
    FaultServer server([](FaultServer&, int, const std::string&) {}, false);
    auto socket = ConnectWithStaleText(server.Port());
    char buffer[16];
    EXPECT_EQ(socket->ReadBuffer(buffer, sizeof buffer), -1);
    EXPECT_STREQ(socket->GetLastError(), "Not connected");
    EXPECT_TRUE(socket->IsConnected());
}

TEST_F(ClosingPeerTest, ResetIsAFailureNotAClose) {
    FaultServer server(GreetAndReset, false);
    auto socket = NewSocket();
    ASSERT_TRUE(socket->Connect("127.0.0.1", server.Port()));
    char buffer[16];
    ASSERT_EQ(socket->ReadBuffer(buffer, sizeof buffer), 5);
    EXPECT_EQ(socket->ReadBuffer(buffer, sizeof buffer), -1);
    EXPECT_STREQ(socket->GetLastError(), "Receive failed: Connection reset by peer");
    EXPECT_EQ(socket->GetLastErrorKind().kind, CNetError::Kind::ClosedEarly);
    EXPECT_EQ(socket->GetLastErrorKind().code, ECONNRESET);
}

TEST_F(ClosingPeerTest, SendingToAResetPeerFailsWithoutSignal) {
    // The reset waits until Connect has returned: a reset during the connect fails the connect.
    std::atomic<bool> connected{false};
    FaultServer server(
        [&connected](FaultServer& self, int fd, const std::string&) {
            for (int i = 0; i < 500 && !connected; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            self.Reset(fd);
        },
        false);
    auto socket = NewSocket();
    ASSERT_TRUE(socket->Connect("127.0.0.1", server.Port()));
    connected = true;
    ASSERT_TRUE(WaitForConnections(server, 1));
    const std::string chunk(64 * 1024, 'x');
    // The first failure reports the reset; the ones after it meet a closed pipe.
    int failures = 0;
    for (int i = 0; i < 200 && failures < 3; ++i) {
        if (socket->WriteBuffer(chunk.data(), static_cast<int>(chunk.size())) == -1) ++failures;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Reaching this line at all means no SIGPIPE ended the process.
    EXPECT_EQ(failures, 3);
    EXPECT_EQ(std::string(socket->GetLastError()).rfind("Send failed: ", 0), 0u) << socket->GetLastError();
}

// Addresses are raced alternating families, starting with the resolver's first choice.
TEST(ConnectRaceTest, AddressesAlternateFamiliesFromTheFirstOne) {
    struct Case {
        std::vector<bool> v6;               // the resolver's answer, numbered 1, 2, ... by port
        std::vector<unsigned short> raced;  // the numbers in the order they are tried
    };
    const Case cases[] = {
        {{true, true, true, false}, {1, 4, 2, 3}},
        {{false, false, true, true}, {1, 3, 2, 4}},
        {{false, true, false}, {1, 2, 3}},
    };
    for (const Case& c : cases) {
        std::vector<Address> given;
        for (std::size_t i = 0; i < c.v6.size(); ++i) {
            given.push_back(Loopback(c.v6[i], static_cast<unsigned short>(i + 1)));
        }
        std::vector<unsigned short> raced;
        for (const Address& address : CConnectRace::Interleave(given)) {
            raced.push_back(ntohs(reinterpret_cast<const sockaddr_in&>(address.storage).sin_port));
        }
        EXPECT_EQ(raced, c.raced);
    }
}

// Every connection, of either family, sends each write at once: a request written right after a
// TLS flight must not wait for the peer to acknowledge that flight, which it may delay.
TEST(ConnectRaceTest, ConnectionsDoNotHoldShortWritesBack) {
    for (const bool v6 : {false, true}) {
        std::unique_ptr<FaultServer> server;
        try {
            server = std::make_unique<FaultServer>(Echo, false, false, v6 ? "::1" : "127.0.0.1");
        } catch (const std::exception&) {
            GTEST_SKIP() << "no IPv6 loopback on this machine";
        }
        CConnectRace race;
        ASSERT_TRUE(race.Start({Loopback(v6, server->Port())}));
        ASSERT_EQ(CConnectRace::Result::Connected, race.Finish(5000, {}));
        const int fd = race.TakeConnected();
        ASSERT_GE(fd, 0);
        int noDelay = 0;
        socklen_t length = sizeof noDelay;
        ASSERT_EQ(0, getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &length));
        EXPECT_NE(0, noDelay) << (v6 ? "IPv6" : "IPv4");
        close(fd);
    }
}

// A name with addresses of both families connects to whichever the server listens on: after a
// refused address the next one is tried at once, after one that does not answer 250 ms later.
TEST(DualStackTest, NameWithBothFamiliesConnectsToTheOneThatListens) {
    struct Case {
        bool serverOnIPv6;
        bool otherHangs;  // else the other address refuses
        long long atLeastMs;
        long long belowMs;
    };
    const Case cases[] = {
        {false, false, 0, 200},
        {true, false, 0, 200},
        {true, true, 200, 1000},
    };
    for (const Case& c : cases) {
        std::unique_ptr<FaultServer> server;
        std::unique_ptr<HangingListener> hanging;
        // The hanging listener needs the server's port number on the other address: another
        // test may hold it, so a few ports are tried.
        for (int attempt = 0; attempt < 5 && !(server && (!c.otherHangs || hanging->Bound())); ++attempt) {
            try {
                server = std::make_unique<FaultServer>(Echo, false, false, c.serverOnIPv6 ? "::1" : "127.0.0.1");
            } catch (const std::exception&) {
                GTEST_SKIP() << "no IPv6 loopback on this machine: dual-stack connecting is not tested";
            }
            if (c.otherHangs) hanging = std::make_unique<HangingListener>(!c.serverOnIPv6, server->Port());
        }
        if (c.otherHangs) {
            ASSERT_TRUE(hanging->Bound());
            if (!hanging->Hangs()) GTEST_SKIP() << "this kernel completes connections to a full listener";
        }
        CTCPClientSocketImpl socket;
        ASSERT_TRUE(socket.Initialize());
        const bool firstV6 = !c.serverOnIPv6;
        socket.SetResolver([firstV6](const std::string& host, std::vector<Address>& addresses) {
            if (host != "dual.test") return false;
            addresses = {Loopback(firstV6, 0), Loopback(!firstV6, 0)};
            return true;
        });
        const auto start = Clock::now();
        ASSERT_TRUE(socket.Connect("dual.test", server->Port())) << socket.GetLastError();
        const long long elapsed = MillisecondsSince(start);
        EXPECT_GE(elapsed, c.atLeastMs);
        EXPECT_LT(elapsed, c.belowMs);
        ASSERT_EQ(socket.WriteBuffer("ping", 4), 4);
        char reply[8] = {};
        EXPECT_EQ(socket.ReadBuffer(reply, sizeof reply), 4);
    }
}

class TimeoutTest : public ClientSocketTest {};

TEST_F(TimeoutTest, ReadFromASilentPeerTimesOut) {
    FaultServer server([](FaultServer& s, int, const std::string&) { s.WaitUntilStopped(); }, false);
    auto socket = NewSocket();
    socket->SetTimeout(200);
    ASSERT_TRUE(socket->Connect("127.0.0.1", server.Port()));
    char buffer[16];
    const auto start = Clock::now();
    EXPECT_EQ(socket->ReadBuffer(buffer, sizeof buffer), -1);
    const long long elapsed = MillisecondsSince(start);
    EXPECT_STREQ(socket->GetLastError(), tcp_text::kTimedOut);
    EXPECT_EQ(socket->GetLastErrorKind().kind, CNetError::Kind::TimedOut);
    EXPECT_GE(elapsed, 150);
    EXPECT_LT(elapsed, 3000);
}

TEST_F(TimeoutTest, WriteToAPeerThatNeverReadsTimesOut) {
    FaultServer server([](FaultServer& s, int, const std::string&) { s.WaitUntilStopped(); }, false);
    auto socket = NewSocket();
    socket->SetTimeout(200);
    ASSERT_TRUE(socket->Connect("127.0.0.1", server.Port()));
    const std::string chunk(1024 * 1024, 'x');
    int result = 0;
    const auto start = Clock::now();
    for (int i = 0; i < 1000 && result >= 0; ++i) {
        result = socket->WriteBuffer(chunk.data(), static_cast<int>(chunk.size()));
    }
    EXPECT_EQ(result, -1);
    EXPECT_STREQ(socket->GetLastError(), tcp_text::kTimedOut);
    EXPECT_EQ(socket->GetLastErrorKind().kind, CNetError::Kind::TimedOut);
    EXPECT_LT(MillisecondsSince(start), 5000);
}

TEST_F(TimeoutTest, ConnectToAFullListenerTimesOutAndSocketStaysUsable) {
    ClosedPort full;
    ASSERT_TRUE(full.ListenWithoutRoom());
    // The first connection fills the accept queue (each Connect replaces the previous one, which
    // stays queued); a later one finds no room and hangs.
    auto socket = NewSocket();
    socket->SetTimeout(200);
    bool timedOut = false;
    long long elapsed = 0;
    for (int attempt = 0; attempt < 4 && !timedOut; ++attempt) {
        const auto start = Clock::now();
        timedOut = !socket->Connect("127.0.0.1", full.Port());
        elapsed = MillisecondsSince(start);
    }
    ASSERT_TRUE(timedOut);
    EXPECT_STREQ(socket->GetLastError(), tcp_text::kConnectTimedOut);
    EXPECT_EQ(socket->GetLastErrorKind().kind, CNetError::Kind::TimedOut);
    EXPECT_FALSE(socket->IsConnected());
    EXPECT_GE(elapsed, 150);
    EXPECT_LT(elapsed, 3000);

    FaultServer server(Echo, false);
    EXPECT_TRUE(socket->Connect("127.0.0.1", server.Port())) << socket->GetLastError();
}

// A proxy that answers CONNECT a byte at a time, each just inside the time-out, never lets a single
// wait run out: the whole answer must still come within one time-out.
TEST_F(TimeoutTest, ProxyTricklingItsTunnelAnswerIsCutOffAfterOneTimeout) {
    FaultServer proxy([](FaultServer& s, int fd, const std::string&) {
        const std::string answer = "HTTP/1.1 200 Connection established\r\nVia: 1.1 slow\r\n\r\n";
        for (const char byte : answer) {
            if (!FaultServer::SendAll(fd, std::string(1, byte))) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        }
        s.WaitUntilStopped();
    });
    auto socket = NewSocket();
    socket->SetTimeout(300);
    socket->SetTunnel("127.0.0.1", proxy.Port(), "");
    const auto start = Clock::now();
    EXPECT_FALSE(socket->Connect("127.0.0.1", 443));
    EXPECT_LT(MillisecondsSince(start), 1500);
    EXPECT_STREQ(socket->GetLastError(), "Failed to establish connection with proxy");
    EXPECT_EQ(socket->GetLastErrorKind().kind, CNetError::Kind::Proxy);
    EXPECT_EQ(socket->GetLastErrorKind().code, ETIMEDOUT);
}

// With no time-out at all a wait still ends, within one slice, once the stop check answers true.
TEST_F(TimeoutTest, StopRequestEndsWaitsThatHaveNoTimeout) {
    std::atomic<bool> stop{false};
    auto socket = NewSocket();
    socket->SetTimeout(0);
    socket->SetStopCheck([&stop] { return stop.load(); });
    // Runs action while another thread asks for a stop after 300 ms; the action's wait must end soon after.
    auto expectStopped = [&](const std::function<bool()>& action) {
        stop = false;
        std::thread requester([&stop] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            stop = true;
        });
        const auto start = Clock::now();
        const bool failed = action();
        const long long elapsed = MillisecondsSince(start);
        requester.join();
        EXPECT_TRUE(failed);
        EXPECT_STREQ(socket->GetLastError(), tcp_text::kStopped);
        EXPECT_EQ(socket->GetLastErrorKind().kind, CNetError::Kind::Stopped);
        EXPECT_GE(elapsed, 250);
        EXPECT_LT(elapsed, 800);
    };

    FaultServer silent([](FaultServer& s, int, const std::string&) { s.WaitUntilStopped(); }, false);
    ASSERT_TRUE(socket->Connect("127.0.0.1", silent.Port()));
    char buffer[16];
    expectStopped([&] { return socket->ReadBuffer(buffer, sizeof buffer) == -1; });

    ClosedPort full;
    ASSERT_TRUE(full.ListenWithoutRoom());
    // Connects succeed until the accept queue is full; the one after that waits until the stop.
    expectStopped([&] {
        for (int attempt = 0; attempt < 4; ++attempt) {
            if (!socket->Connect("127.0.0.1", full.Port())) return true;
        }
        return false;
    });
    EXPECT_FALSE(socket->Connect("localhost", silent.Port()));
    EXPECT_STREQ(socket->GetLastError(), tcp_text::kStopped);
    EXPECT_EQ(socket->GetLastErrorKind().kind, CNetError::Kind::Stopped);
}

}  // namespace
