// A loopback TCP proxy that adds network latency, for the benchmarks:
//   mad_bench_proxy <upstream port> <delay ms each way> <time limit s>
// Listens on 127.0.0.1 on a free port, prints that port and a newline on standard output, then
// forwards every connection to 127.0.0.1:<upstream port>. Every chunk read from either side is
// written to the other side the delay later (chunks keep their order; a close travels the same
// way). A new connection's first bytes also wait one round trip (twice the delay), which is what
// its handshake costs on a real network but not on loopback. Exits after the time limit.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kReadSize = 64 * 1024;
// A direction stops reading while this much waits to be delivered.
constexpr std::size_t kMaxQueued = 4 * 1024 * 1024;

// One owned descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    void Reset(int fd = -1) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

struct Chunk {
    Clock::time_point due;
    std::string bytes;  // empty: the sender closed its side
};

// Bytes travelling one way, from one descriptor to the other.
struct Direction {
    std::deque<Chunk> queue;
    std::size_t queued = 0;
    std::size_t offset = 0;  // of the front chunk, already written
    bool readClosed = false;
    bool writeShut = false;
    bool blocked = false;  // the last write could not take everything
};

struct Link {
    Fd client;
    Fd upstream;
    Clock::time_point handshakeDone;
    Direction up;    // client to upstream
    Direction down;  // upstream to client
    bool broken = false;

    bool Finished() const { return broken || (up.writeShut && down.writeShut); }
};

int Listen(unsigned short& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 512) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

int ConnectUpstream(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void Prepare(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Reads what is there from 'from' and queues it for delivery at the due time.
void Receive(Link& link, int from, Direction& direction, Clock::duration delay) {
    if (direction.readClosed) return;
    char buffer[kReadSize];
    const ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
    const Clock::time_point due = std::max(Clock::now(), link.handshakeDone) + delay;
    if (got < 0) {
        link.broken = true;
        return;
    }
    direction.readClosed = got == 0;
    direction.queue.push_back({due, std::string(buffer, static_cast<std::size_t>(got))});
    direction.queued += static_cast<std::size_t>(got);
}

// Writes every chunk that is due to 'to'.
void Deliver(Link& link, int to, Direction& direction) {
    direction.blocked = false;
    const Clock::time_point now = Clock::now();
    while (!direction.queue.empty() && direction.queue.front().due <= now) {
        Chunk& chunk = direction.queue.front();
        if (chunk.bytes.empty()) {
            ::shutdown(to, SHUT_WR);
            direction.writeShut = true;
            direction.queue.pop_front();
            continue;
        }
        const ssize_t sent =
            ::send(to, chunk.bytes.data() + direction.offset, chunk.bytes.size() - direction.offset, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                direction.blocked = true;
                return;
            }
            link.broken = true;
            return;
        }
        direction.offset += static_cast<std::size_t>(sent);
        if (direction.offset == chunk.bytes.size()) {
            direction.queued -= chunk.bytes.size();
            direction.offset = 0;
            direction.queue.pop_front();
        }
    }
}

short Events(const Direction& reading, const Direction& writing) {
    short events = 0;
    if (!reading.readClosed && reading.queued < kMaxQueued) events |= POLLIN;
    if (writing.blocked) events |= POLLOUT;
    return events;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <upstream port> <delay ms> <time limit s>\n", argv[0]);
        return 2;
    }
    const unsigned short upstreamPort = static_cast<unsigned short>(std::atoi(argv[1]));
    const Clock::duration delay = std::chrono::milliseconds(std::atoi(argv[2]));
    const Clock::time_point end = Clock::now() + std::chrono::seconds(std::atoi(argv[3]));

    unsigned short port = 0;
    Fd listener(Listen(port));
    if (listener.Get() < 0) {
        std::perror("listen");
        return 1;
    }
    std::printf("%u\n", port);
    std::fflush(stdout);

    std::vector<std::unique_ptr<Link>> links;
    std::vector<pollfd> fds;
    while (Clock::now() < end) {
        for (auto& link : links) {
            Deliver(*link, link->upstream.Get(), link->up);
            Deliver(*link, link->client.Get(), link->down);
        }
        links.erase(std::remove_if(links.begin(), links.end(), [](const auto& link) { return link->Finished(); }),
                    links.end());

        Clock::time_point wake = end;
        fds.assign(1, pollfd{listener.Get(), POLLIN, 0});
        for (const auto& link : links) {
            fds.push_back({link->client.Get(), Events(link->up, link->down), 0});
            fds.push_back({link->upstream.Get(), Events(link->down, link->up), 0});
            for (const Direction* direction : {&link->up, &link->down}) {
                if (!direction->queue.empty() && !direction->blocked)
                    wake = std::min(wake, direction->queue.front().due);
            }
        }
        const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - Clock::now());
        const long long ns = std::max<long long>(0, wait.count());
        const timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        if (::ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0 && errno != EINTR) {
            std::perror("ppoll");
            return 1;
        }

        for (std::size_t i = 0; i < links.size(); ++i) {
            Link& link = *links[i];
            const pollfd& client = fds[1 + 2 * i];
            const pollfd& upstream = fds[2 + 2 * i];
            if (client.revents & (POLLIN | POLLHUP | POLLERR)) Receive(link, link.client.Get(), link.up, delay);
            if (upstream.revents & (POLLIN | POLLHUP | POLLERR)) Receive(link, link.upstream.Get(), link.down, delay);
            if (client.revents & POLLOUT) link.down.blocked = false;
            if (upstream.revents & POLLOUT) link.up.blocked = false;
        }
        if (fds[0].revents & POLLIN) {
            const int accepted = ::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (accepted >= 0) {
                auto link = std::make_unique<Link>();
                link->client.Reset(accepted);
                link->upstream.Reset(ConnectUpstream(upstreamPort));
                if (link->upstream.Get() >= 0) {
                    Prepare(accepted);
                    Prepare(link->upstream.Get());
                    link->handshakeDone = Clock::now() + 2 * delay;
                    links.push_back(std::move(link));
                }
            }
        }
    }
    return 0;
}
