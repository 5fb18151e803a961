#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/FaultServer.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRunTimeoutMs = 20000;

// What systemd would receive: a datagram socket the test binds and names in NOTIFY_SOCKET (with
// WATCHDOG_USEC) for the programs it starts. Every assignment received is kept with its time.
class NotifyListener {
public:
    NotifyListener(const std::string& path, const char* watchdogUsec) : m_path(path) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
        m_bound = m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        timeval wait{0, 100000};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
        setenv("WATCHDOG_USEC", watchdogUsec, 1);
        m_thread = std::thread([this] { Receive(); });
    }
    ~NotifyListener() {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        m_quit = true;
        m_thread.join();
        close(m_fd);
    }

    bool Bound() const { return m_bound; }
    std::vector<std::pair<Clock::time_point, std::string>> Received() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }
    // The assignments received, without the watchdog's, in order.
    std::vector<std::string> States() {
        std::vector<std::string> states;
        for (const auto& [at, line] : Received())
            if (line != "WATCHDOG=1") states.push_back(line);
        return states;
    }

private:
    void Receive() {
        char buffer[4096];
        while (!m_quit) {
            const ssize_t length = recv(m_fd, buffer, sizeof(buffer), 0);
            if (length <= 0) continue;
            std::lock_guard<std::mutex> lock(m_mutex);
            std::string message(buffer, static_cast<size_t>(length));
            for (size_t start = 0; start < message.size();) {
                const size_t end = std::min(message.find('\n', start), message.size());
                m_received.emplace_back(Clock::now(), message.substr(start, end - start));
                start = end + 1;
            }
        }
    }

    std::string m_path;
    int m_fd = -1;
    bool m_bound = false;
    std::atomic<bool> m_quit{false};
    std::mutex m_mutex;
    std::vector<std::pair<Clock::time_point, std::string>> m_received;
    std::thread m_thread;
};

// A run-once pass whose one map trickles in for about three seconds: ready after the banner, the
// watchdog fed at least every half period all along the download, the pass's status at its end.
// Then a daemon stopped by SIGTERM says it is stopping.
TEST(ServiceNotifyRunTest, ReadyWatchdogDuringASlowDownloadStatusAndStopping) {
    TempDir work;
    ASSERT_EQ(0, mkdir(work.File("maps").c_str(), 0755));
    NotifyListener listener(work.File("notify"), "2000000");
    ASSERT_TRUE(listener.Bound());
    std::atomic<long long> mapStarted{0};
    FaultServer server([&](FaultServer& self, int fd, const std::string& request) {
        if (request.rfind("GET /feed.xml", 0) == 0) {
            FaultServer::SendAll(fd,
                                 "HTTP/1.0 200 OK\r\n\r\n<rss><channel><time>t</time><item><title>a.map</title><link>" +
                                     self.Url("/maps/a.map") + "</link><version>4</version></item></channel></rss>");
            return;
        }
        mapStarted = Clock::now().time_since_epoch().count();
        const std::string body = "<map><meta/>" + std::string(3000, ' ') + "</map>";
        FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
        for (size_t sent = 0; sent < body.size(); sent += 300) {
            FaultServer::SendAll(fd, body.substr(sent, 300));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    });
    const std::string config = "<config><url>" + server.Url("/feed.xml") + "</url><frequency>%s</frequency><savepath>" +
                               work.File("maps") + "</savepath></config>";
    WriteFile(work.File("config.xml"), std::regex_replace(config, std::regex("%s"), "0"));
    const ProcessResult once = RunProcess({DownloaderExecutable()}, work.Path(), kRunTimeoutMs);
    const Clock::time_point ended = Clock::now();
    EXPECT_EQ(0, once.exitCode) << once.out;

    // The last datagrams may still wait in the socket for the listening thread.
    for (int i = 0; i < 200 && listener.States().size() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::vector<std::string> states = listener.States();
    ASSERT_EQ(3u, states.size()) << testing::PrintToString(states);
    EXPECT_EQ("READY=1", states[0]);
    EXPECT_EQ("STATUS=Waiting for the first pass", states[1]);
    EXPECT_TRUE(std::regex_match(
        states[2], std::regex("STATUS=Last pass \\d\\d:\\d\\d:\\d\\d: 1 updated, 0 failed, 0 up to date")))
        << states[2];
    ASSERT_NE(0, mapStarted.load());
    // Half the period is 1 s; the margin is for a loaded machine, well short of a whole period.
    const auto halfPeriod = std::chrono::milliseconds(1000 + 500);
    Clock::time_point previous = Clock::time_point(Clock::duration(mapStarted.load()));
    for (const auto& [at, line] : listener.Received()) {
        if (line != "WATCHDOG=1" || at < previous) continue;
        EXPECT_LE(at - previous, halfPeriod) << "the watchdog went unfed";
        previous = at;
    }
    EXPECT_LE(ended - previous, halfPeriod) << "the watchdog went unfed";

    WriteFile(work.File("config.xml"), std::regex_replace(config, std::regex("%s"), "60"));
    // Stopped once it said it is ready, so its stop handlers are in place.
    std::thread stopper;
    const ProcessResult daemon = RunProcess({DownloaderExecutable()}, work.Path(), kRunTimeoutMs, [&](pid_t pid) {
        stopper = std::thread([pid, &listener] {
            for (int i = 0; i < 1000 && listener.States().size() < 5; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            kill(pid, SIGTERM);
        });
    });
    stopper.join();
    EXPECT_EQ(0, daemon.exitCode);
    for (int i = 0; i < 200 && listener.States().size() < 7; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::vector<std::string> stopped = listener.States();
    ASSERT_LE(4u, stopped.size());
    EXPECT_EQ("READY=1", stopped[3]);
    EXPECT_EQ("STOPPING=1", stopped[stopped.size() - 2]);
}

}  // namespace
