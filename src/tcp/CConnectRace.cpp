#include "tcp/CConnectRace.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

namespace {

// How long a wait runs before the stop check is asked again.
constexpr std::chrono::milliseconds kStopSlice(200);

int SocketError(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

}  // namespace

void CConnectRace::NoteFailure(int error) {
    // A refusal says a server was reached and is not listening; it is what matters to the caller
    // (worth another try later) even when an address of the other family then fails locally.
    if (m_error != ECONNREFUSED) m_error = error;
}

CConnectRace::~CConnectRace() {
    Abandon();
    if (m_connected >= 0) ::close(m_connected);
}

void CConnectRace::Abandon() {
    if (m_spare.fd >= 0) ::close(m_spare.fd);
    m_spare = Spare{};
    for (const int fd : m_inFlight) ::close(fd);
    m_inFlight.clear();
    m_addresses.clear();
    m_next = 0;
}

std::vector<CConnectRace::Address> CConnectRace::Interleave(const std::vector<Address>& addresses) {
    if (addresses.empty()) return {};
    const sa_family_t first = addresses.front().storage.ss_family;
    std::vector<Address> same, other, ordered;
    for (const Address& address : addresses) {
        (address.storage.ss_family == first ? same : other).push_back(address);
    }
    for (std::size_t i = 0; i < std::max(same.size(), other.size()); ++i) {
        if (i < same.size()) ordered.push_back(same[i]);
        if (i < other.size()) ordered.push_back(other[i]);
    }
    return ordered;
}

bool CConnectRace::Start(std::vector<Address> addresses) { return Start(std::move(addresses), Spare{}); }

bool CConnectRace::Start(std::vector<Address> addresses, Spare spare) {
    Abandon();
    if (m_connected >= 0) ::close(m_connected);
    m_connected = -1;
    m_error = 0;
    m_addresses = Interleave(addresses);
    m_spare = spare;
    const bool started = StartNext();
    // Attempts started later make sockets of their own.
    if (m_spare.fd >= 0) ::close(m_spare.fd);
    m_spare = Spare{};
    return started;
}

int CConnectRace::NewSocket(int family) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    const int one = 1;
    // Only a matter of speed: a socket that refuses it still works.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool CConnectRace::StartNext() {
    while (m_next < m_addresses.size()) {
        const Address& address = m_addresses[m_next++];
        int fd = -1;
        if (m_spare.fd >= 0 && m_spare.family == address.storage.ss_family) {
            fd = m_spare.fd;
            m_spare = Spare{};
        } else {
            fd = NewSocket(address.storage.ss_family);
        }
        if (fd < 0) {
            NoteFailure(errno);
            continue;
        }
        const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length);
        // Interrupted, a non-blocking connect goes on by itself, just as one in progress.
        if (result == 0 || errno == EINPROGRESS || errno == EINTR) {
            m_lastStart = Clock::now();
            if (result == 0) {
                m_connected = fd;
                Abandon();
            } else {
                m_inFlight.push_back(fd);
            }
            return true;
        }
        NoteFailure(errno);
        ::close(fd);
    }
    return false;
}

bool CConnectRace::Collect(const std::vector<short>& events) {
    bool failed = false;
    std::vector<int> still;
    for (std::size_t i = 0; i < m_inFlight.size(); ++i) {
        const int fd = m_inFlight[i];
        if (events[i] == 0 || m_connected >= 0) {
            still.push_back(fd);
            continue;
        }
        const int error = SocketError(fd);
        if (error == 0) {
            m_connected = fd;
        } else {
            NoteFailure(error);
            failed = true;
            ::close(fd);
        }
    }
    m_inFlight.swap(still);
    if (m_connected >= 0) Abandon();
    return failed;
}

CConnectRace::Result CConnectRace::Finish(unsigned int timeoutMs, const std::function<bool()>& stopping) {
    const bool bounded = timeoutMs != 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (m_connected >= 0) return Result::Connected;
        if (stopping && stopping()) return Result::Stopped;
        if (m_inFlight.empty()) {
            // Every attempt so far failed: the next address goes at once.
            if (!StartNext()) return Result::Failed;
            continue;
        }
        const Clock::time_point now = Clock::now();
        if (bounded && now >= deadline) return Result::TimedOut;
        const bool more = m_next < m_addresses.size();
        if (more && now >= m_lastStart + kAttemptDelay) {
            StartNext();
            continue;
        }
        // poll takes an int: a long wait is cut into slices, a stoppable one into short ones.
        long long waitMs = stopping ? kStopSlice.count() : INT_MAX;
        if (more) {
            waitMs = std::min<long long>(
                waitMs, std::chrono::ceil<std::chrono::milliseconds>(m_lastStart + kAttemptDelay - now).count());
        }
        if (bounded) {
            waitMs = std::min<long long>(waitMs, std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
        }
        std::vector<pollfd> descriptors;
        for (const int fd : m_inFlight) descriptors.push_back(pollfd{fd, POLLOUT, 0});
        const int ready = ::poll(descriptors.data(), descriptors.size(), static_cast<int>(std::max(0LL, waitMs)));
        if (ready < 0 && errno != EINTR) {
            m_error = errno;
            Abandon();
            return Result::Failed;
        }
        if (ready <= 0) continue;
        std::vector<short> events;
        for (const pollfd& descriptor : descriptors) events.push_back(descriptor.revents);
        // A failed attempt hands its turn to the next address at once.
        if (Collect(events) && m_connected < 0) StartNext();
    }
}

int CConnectRace::TakeConnected() {
    // Left non-blocking: every send and receive on it says per call that it does not wait.
    const int fd = m_connected;
    m_connected = -1;
    return fd;
}
