// A loopback TCP proxy that adds network latency, for the benchmarks:
//   mad_bench_proxy <upstream port> <delay ms each way> <time limit s>
// Listens on 127.0.0.1 on a free port, prints that port and a newline on standard output, then
// forwards every connection to 127.0.0.1:<upstream port>. Every chunk read from either side is
// written to the other side the delay later (chunks keep their order; a close travels the same
// way). A new connection's first bytes also wait one round trip (twice the delay), which is what
// its handshake costs on a real network but not on loopback. Exits after the time limit.
// It sits on every byte's path of both peers it compares, so its own cost per event must not grow
// with the links open: epoll reports only the ready descriptors, and the due deliveries wait in
// one ordered heap; nothing looks at every link per event.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <queue>
#include <string>
#include <unordered_map>
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
    std::uint64_t id = 0;
    Fd client;
    Fd upstream;
    Clock::time_point handshakeDone;
    Direction up;    // client to upstream
    Direction down;  // upstream to client
    bool broken = false;
    std::uint32_t clientEvents = 0;  // what epoll watches for on each side now
    std::uint32_t upstreamEvents = 0;

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

// A direction of a link whose front chunk falls due at a time.
struct Due {
    Clock::time_point when;
    std::uint64_t link;
    bool up;
    bool operator>(const Due& other) const { return when > other.when; }
};

class Proxy {
public:
    Proxy(int listener, unsigned short upstreamPort, Clock::duration delay)
        : m_listener(listener), m_upstreamPort(upstreamPort), m_delay(delay), m_epoll(::epoll_create1(EPOLL_CLOEXEC)) {}

    bool Run(Clock::time_point end) {
        if (m_epoll.Get() < 0 || !Watch(m_listener, EPOLL_CTL_ADD, EPOLLIN, kListenerKey)) return false;
        epoll_event events[256];
        while (Clock::now() < end) {
            DeliverDue();
            const Clock::time_point wake = m_due.empty() ? end : std::min(end, m_due.top().when);
            const long long ns = std::max<long long>(
                0, std::chrono::duration_cast<std::chrono::nanoseconds>(wake - Clock::now()).count());
            const timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
            const int ready = ::epoll_pwait2(m_epoll.Get(), events, 256, &timeout, nullptr);
            if (ready < 0) {
                if (errno == EINTR) continue;
                std::perror("epoll_pwait2");
                return false;
            }
            for (int i = 0; i < ready; ++i) Handle(events[i]);
        }
        return true;
    }

private:
    static constexpr std::uint64_t kListenerKey = 0;

    bool Watch(int fd, int operation, std::uint32_t events, std::uint64_t key) {
        epoll_event event{};
        event.events = events;
        event.data.u64 = key;
        return ::epoll_ctl(m_epoll.Get(), operation, fd, &event) == 0;
    }

    // Reads a side while its direction has room, writes to it while a write is waiting.
    void Rewatch(Link& link) {
        const auto wanted = [](const Direction& reading, const Direction& writing) {
            std::uint32_t events = 0;
            if (!reading.readClosed && reading.queued < kMaxQueued) events |= EPOLLIN;
            if (writing.blocked) events |= EPOLLOUT;
            return events;
        };
        const std::uint32_t client = wanted(link.up, link.down);
        const std::uint32_t upstream = wanted(link.down, link.up);
        if (client != link.clientEvents && Watch(link.client.Get(), EPOLL_CTL_MOD, client, link.id << 1))
            link.clientEvents = client;
        if (upstream != link.upstreamEvents && Watch(link.upstream.Get(), EPOLL_CTL_MOD, upstream, (link.id << 1) | 1))
            link.upstreamEvents = upstream;
    }

    void Handle(const epoll_event& event) {
        if (event.data.u64 == kListenerKey) {
            Accept();
            return;
        }
        const auto found = m_links.find(event.data.u64 >> 1);
        if (found == m_links.end()) return;
        Link& link = *found->second;
        const bool upstreamSide = (event.data.u64 & 1) != 0;
        const int fd = upstreamSide ? link.upstream.Get() : link.client.Get();
        Direction& reading = upstreamSide ? link.down : link.up;
        Direction& writing = upstreamSide ? link.up : link.down;
        if (event.events & EPOLLOUT) Deliver(link, fd, writing, upstreamSide);
        if (event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
            if (!reading.readClosed) {
                Receive(link, fd, reading, !upstreamSide);
            } else if (event.events & (EPOLLHUP | EPOLLERR)) {
                // Both ways are over on this side: nothing more comes, and a write would fail.
                ::epoll_ctl(m_epoll.Get(), EPOLL_CTL_DEL, fd, nullptr);
                if (!writing.queue.empty()) link.broken = true;
            }
        }
        Settle(link);
    }

    void Accept() {
        for (;;) {
            const int accepted = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (accepted < 0) return;
            auto link = std::make_unique<Link>();
            link->id = ++m_lastId;
            link->client.Reset(accepted);
            link->upstream.Reset(ConnectUpstream(m_upstreamPort));
            if (link->upstream.Get() < 0) continue;
            Prepare(accepted);
            Prepare(link->upstream.Get());
            link->handshakeDone = Clock::now() + 2 * m_delay;
            link->clientEvents = link->upstreamEvents = EPOLLIN;
            if (!Watch(accepted, EPOLL_CTL_ADD, EPOLLIN, link->id << 1) ||
                !Watch(link->upstream.Get(), EPOLL_CTL_ADD, EPOLLIN, (link->id << 1) | 1))
                continue;
            m_links.emplace(link->id, std::move(link));
        }
    }

    // Reads what is there and queues it for delivery at the due time.
    void Receive(Link& link, int from, Direction& direction, bool up) {
        char buffer[kReadSize];
        const ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (got < 0) {
            link.broken = true;
            return;
        }
        const Clock::time_point due = std::max(Clock::now(), link.handshakeDone) + m_delay;
        direction.readClosed = got == 0;
        // Only the front chunk of a direction has its time in the heap.
        if (direction.queue.empty() && !direction.blocked) m_due.push({due, link.id, up});
        direction.queue.push_back({due, std::string(buffer, static_cast<std::size_t>(got))});
        direction.queued += static_cast<std::size_t>(got);
    }

    // Writes every chunk of the direction that is due; then its next chunk's time goes in the heap.
    void Deliver(Link& link, int to, Direction& direction, bool up) {
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
                    direction.blocked = true;  // EPOLLOUT resumes it
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
        if (!direction.queue.empty()) m_due.push({direction.queue.front().due, link.id, up});
    }

    // Every delivery due by now, in the order of their times.
    void DeliverDue() {
        const Clock::time_point now = Clock::now();
        while (!m_due.empty() && m_due.top().when <= now) {
            const Due due = m_due.top();
            m_due.pop();
            const auto found = m_links.find(due.link);
            if (found == m_links.end()) continue;
            Link& link = *found->second;
            Direction& direction = due.up ? link.up : link.down;
            // A stale entry: the direction is waiting for room, or its front moved on.
            if (direction.blocked || direction.queue.empty() || direction.queue.front().due != due.when) continue;
            Deliver(link, due.up ? link.upstream.Get() : link.client.Get(), direction, due.up);
            Settle(link);
        }
    }

    void Settle(Link& link) {
        if (link.Finished()) {
            m_links.erase(link.id);
            return;
        }
        Rewatch(link);
    }

    int m_listener;
    unsigned short m_upstreamPort;
    Clock::duration m_delay;
    Fd m_epoll;
    std::uint64_t m_lastId = 0;
    std::unordered_map<std::uint64_t, std::unique_ptr<Link>> m_links;
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> m_due;
};

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
    ::fcntl(listener.Get(), F_SETFL, ::fcntl(listener.Get(), F_GETFL) | O_NONBLOCK);
    std::printf("%u\n", port);
    std::fflush(stdout);
    Proxy proxy(listener.Get(), upstreamPort, delay);
    return proxy.Run(end) ? 0 : 1;
}
