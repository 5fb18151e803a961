#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "http/CHTTPClient.h"
#include "http/CRateLimiter.h"
#include "support/FaultServer.h"
#include "support/NginxServer.h"
#include "support/TempDir.h"
#include "tcp/CTCPImpl.h"

namespace {

using Clock = std::chrono::steady_clock;

// A capped download from nginx, seen on the wire: a relay between the client and nginx records
// when each piece of the body was handed to the client's connection. Its own send buffer is kept
// small, so what it has handed over is close to what the client's connection accepted.
TEST(RateLimitedDownloadTest, StaysWithinTheCapOnAverageAndInEverySecond) {
    const unsigned long long rate = 1024 * 1024;
    const size_t size = 13 * rate;
    TempDir root;
    TempDir out;
    WriteFile(root.File("big.map"), std::string(size, 'm'));
    NginxServer nginx(root.Path());
    ASSERT_TRUE(nginx.Start()) << nginx.Error();

    std::mutex mutex;
    std::vector<std::pair<Clock::time_point, size_t>> sent;
    FaultServer relay([&](FaultServer&, int fd, const std::string& request) {
        const int buffer = 16384;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        const int upstream = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(nginx.Port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            FaultServer::SendAll(upstream, request)) {
            char piece[4096];
            for (ssize_t got; (got = read(upstream, piece, sizeof piece)) > 0;) {
                if (!FaultServer::SendAll(fd, std::string(piece, static_cast<size_t>(got)))) break;
                const std::lock_guard<std::mutex> lock(mutex);
                sent.emplace_back(Clock::now(), static_cast<size_t>(got));
            }
        }
        close(upstream);
    });

    CRateLimiter limiter({{0, rate}});
    CTCPImpl tcp;
    CHTTPClient client(&tcp);
    client.SetTimeout(3000);  // far shorter than the download: the cap's waits must not count
    client.SetRateLimiter(&limiter);
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(client.Get(relay.Url("/big.map").c_str(), out.File("big.map").c_str())) << client.GetLastError();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(ReadFile(out.File("big.map")).size(), size);

    EXPECT_GE(seconds, 10.0);
    EXPECT_NEAR(static_cast<double>(size) / seconds, static_cast<double>(rate), 0.1 * static_cast<double>(rate));
    const std::lock_guard<std::mutex> lock(mutex);
    size_t inWindow = 0;
    size_t most = 0;
    for (size_t first = 0, last = 0; first < sent.size(); inWindow -= sent[first++].second) {
        for (; last < sent.size() && sent[last].first < sent[first].first + std::chrono::seconds(1); ++last)
            inWindow += sent[last].second;
        most = std::max(most, inWindow);
    }
    EXPECT_LE(most, rate * 3 / 2);
    EXPECT_GT(most, rate / 2);
}

// A cap far below the slowest pace the time-out asks for: the waits for the cap do not count.
TEST(RateLimitedDownloadTest, ALowCapIsNotATransferTooSlow) {
    const std::string body(2500, 'm');
    FaultServer server([&body](FaultServer&, int fd, const std::string&) {
        FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 2500\r\n\r\n" + body);
    });
    TempDir out;
    CRateLimiter limiter({{0, 1000}});
    CTCPImpl tcp;
    CHTTPClient client(&tcp);
    client.SetTimeout(300);
    client.SetRateLimiter(&limiter);
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(client.Get(server.Url("/m.map").c_str(), out.File("m.map").c_str())) << client.GetLastError();
    EXPECT_EQ(ReadFile(out.File("m.map")), body);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1400));
}

}  // namespace
