#include "tcp/CTCPClientSocketImpl.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "tcp/TCPErrorTexts.h"

namespace {

constexpr unsigned int kDefaultTimeoutMs = 30000;

int NewSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

using Clock = std::chrono::steady_clock;
using K = CNetError::Kind;

// How long a wait runs before the stop check is asked again.
constexpr std::chrono::milliseconds kStopSlice(200);

// The first IPv4 address of host, in network byte order; false when it does not resolve.
bool LookUp(const char* host, in_addr& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &result) != 0 || result == nullptr) return false;
    address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
    ::freeaddrinfo(result);
    return true;
}

// One name lookup on a thread of its own, so that waiting for it can be bounded and cut short.
// getaddrinfo itself cannot be interrupted: an abandoned lookup finishes in the background, and
// this state, shared with its thread, goes when both are done with it.
struct Lookup {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool found = false;
    in_addr address{};
};

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

CTCPClientSocketImpl::CTCPClientSocketImpl()
    : m_bConnected(false),
      m_szLastError{},
      m_iSocket(-1),
      m_uiTimeoutMs(kDefaultTimeoutMs),
      m_bConnecting(false),
      m_pendingPort(0) {}

CTCPClientSocketImpl::~CTCPClientSocketImpl() { CloseDescriptor(); }

bool CTCPClientSocketImpl::Initialize() {
    m_iSocket = NewSocket();
    if (m_iSocket < 0) {
        SetError(K::Connect, "Creating socket failed", errno);
        return false;
    }
    return true;
}

int CTCPClientSocketImpl::ReadBuffer(void* buffer, int size) {
    const int received = Receive(buffer, size);
    return received > 0 ? received : -1;
}

int CTCPClientSocketImpl::PeekBuffer(void* buffer, int size) {
    const int received = ReceiveWith(buffer, size, MSG_PEEK);
    return received > 0 ? received : -1;
}

int CTCPClientSocketImpl::Receive(void* buffer, int size) { return ReceiveWith(buffer, size, 0); }

int CTCPClientSocketImpl::ReceiveWith(void* buffer, int size, int flags) {
    if (size <= 0) return -1;
    if (m_iSocket < 0) {
        SetError(K::Connect, "No socket initialized");
        return -1;
    }
    for (;;) {
        // Try first: in a running transfer data is usually waiting, which saves the poll.
        const ssize_t received = ::recv(m_iSocket, buffer, static_cast<size_t>(size), MSG_DONTWAIT | flags);
        if (received > 0) {
            ClearError();
            return static_cast<int>(received);
        }
        if (received == 0) return 0;  // the peer closed; an earlier text stays
        const int error = errno;
        if (error == EINTR) continue;
        if (!WouldBlock(error)) {
            SetErrorWithReason(K::ClosedEarly, "Receive failed", error);
            return -1;
        }
        const Wait wait = WaitFor(POLLIN);
        if (wait != Wait::Ready) {
            SetWaitError(wait, tcp_text::kTimedOut, "Receive failed");
            return -1;
        }
    }
}

int CTCPClientSocketImpl::WriteBuffer(const void* data, int size) {
    if (size <= 0) return -1;
    if (m_iSocket < 0) {
        SetError(K::Connect, "No socket initialized");
        return -1;
    }
    for (;;) {
        const ssize_t sent =
            ::send(m_iSocket, data, static_cast<size_t>(size), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            ClearError();
            return static_cast<int>(sent);
        }
        if (sent == 0) return -1;
        const int error = errno;
        if (error == EINTR) continue;
        if (!WouldBlock(error)) {
            SetErrorWithReason(K::ClosedEarly, "Send failed", error);
            return -1;
        }
        const Wait wait = WaitFor(POLLOUT);
        if (wait != Wait::Ready) {
            SetWaitError(wait, tcp_text::kTimedOut, "Send failed");
            return -1;
        }
    }
}

bool CTCPClientSocketImpl::Connect(const char* host, unsigned short port) {
    if (m_bConnecting && host != nullptr && m_pendingHost == host && m_pendingPort == port) return FinishConnect();
    if (m_bConnected || m_bConnecting) Disconnect();
    bool finished = false;
    if (!BeginConnect(host, port, finished)) return false;
    return finished ? (m_bConnected = true) : FinishConnect();
}

bool CTCPClientSocketImpl::StartConnect(const char* host, unsigned short port) {
    if (m_bConnected || m_bConnecting) Disconnect();
    bool finished = false;
    if (!BeginConnect(host, port, finished)) return false;
    m_bConnected = finished;
    m_bConnecting = !finished;
    if (m_bConnecting) {
        m_pendingHost = host;
        m_pendingPort = port;
    }
    return true;
}

bool CTCPClientSocketImpl::BeginConnect(const char* host, unsigned short port, bool& finished) {
    if (m_iSocket < 0) {
        SetError(K::Connect, "No socket initialized");
        return false;
    }
    if (Stopping()) {
        SetError(K::Stopped, tcp_text::kStopped);
        return false;
    }
    sockaddr_in address{};
    if (!Resolve(host, &address.sin_addr)) return false;
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    const int flags = ::fcntl(m_iSocket, F_GETFL);
    int result = -1;
    if (flags >= 0 && ::fcntl(m_iSocket, F_SETFL, flags | O_NONBLOCK) == 0) {
        result = ::connect(m_iSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    finished = result == 0;
    if (finished) {
        // Back to blocking mode: sends and receives choose per call whether to wait.
        ::fcntl(m_iSocket, F_SETFL, flags);
        return true;
    }
    const int error = flags >= 0 ? errno : 0;
    if (flags >= 0 && (error == EINPROGRESS || error == EINTR)) return true;
    SetError(K::Connect, "Failed to establish connection with server", error);
    // A half-open attempt cannot be reused for another Connect: start over with a fresh one.
    RecreateDescriptor();
    return false;
}

bool CTCPClientSocketImpl::FinishConnect() {
    m_bConnecting = false;
    m_pendingHost.clear();
    const Wait wait = WaitFor(POLLOUT);
    int error = 0;
    socklen_t length = sizeof error;
    // SO_ERROR reads 0 while a connect is still pending, so only a finished wait counts.
    const bool connected = wait == Wait::Ready &&
                           ::getsockopt(m_iSocket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    const int flags = ::fcntl(m_iSocket, F_GETFL);
    if (!connected || flags < 0 || ::fcntl(m_iSocket, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        if (wait == Wait::Ready) {
            SetError(K::Connect, "Failed to establish connection with server", error);
        } else {
            SetWaitError(wait, tcp_text::kConnectTimedOut, "Failed to establish connection with server");
        }
        RecreateDescriptor();
        return false;
    }
    m_bConnected = true;
    return true;
}

bool CTCPClientSocketImpl::Disconnect() {
    if (m_iSocket < 0) {
        SetError(K::Connect, "No socket initialized");
        return false;
    }
    if (!m_bConnected && !m_bConnecting) {
        SetError(K::Connect, "Not connected");
        return false;
    }
    m_bConnected = false;
    m_bConnecting = false;
    m_pendingHost.clear();
    if (!RecreateDescriptor()) {
        SetError(K::Connect, "Recreating socket failed", errno);
        return false;
    }
    return true;
}

bool CTCPClientSocketImpl::IsConnected() const { return m_bConnected; }

const char* CTCPClientSocketImpl::GetLastError() const { return m_szLastError; }

CNetError CTCPClientSocketImpl::GetLastErrorKind() const { return m_error; }

void CTCPClientSocketImpl::SetTimeout(unsigned int milliseconds) { m_uiTimeoutMs = milliseconds; }

void CTCPClientSocketImpl::SetStopCheck(std::function<bool()> stopRequested) {
    m_stopRequested = std::move(stopRequested);
}

bool CTCPClientSocketImpl::Stopping() const { return m_stopRequested && m_stopRequested(); }

bool CTCPClientSocketImpl::Resolve(const char* host, void* address) {
    in_addr& result = *static_cast<in_addr*>(address);
    if (host == nullptr) {
        SetError(K::Resolve, "Unable to resolve");
        return false;
    }
    // A dotted address needs no lookup, so nothing to wait for.
    if (::inet_pton(AF_INET, host, &result) == 1) return true;

    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, name = std::string(host)] {
            in_addr found{};
            const bool ok = LookUp(name.c_str(), found);
            const std::lock_guard<std::mutex> lock(lookup->mutex);
            lookup->found = ok;
            lookup->address = found;
            lookup->done = true;
            lookup->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: look up here, unbounded, rather than not at all.
        if (LookUp(host, result)) return true;
        SetError(K::Resolve, "Unable to resolve");
        return false;
    }

    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_uiTimeoutMs);
    std::unique_lock<std::mutex> lock(lookup->mutex);
    while (!lookup->done) {
        if (Stopping()) {
            SetError(K::Stopped, tcp_text::kStopped);
            return false;
        }
        Clock::time_point until = Clock::now() + kStopSlice;
        if (m_uiTimeoutMs != 0) {
            if (Clock::now() >= deadline) {
                SetError(K::TimedOut, "Name resolution timed out");
                return false;
            }
            until = std::min(until, deadline);
        }
        lookup->finished.wait_until(lock, until);
    }
    if (!lookup->found) {
        SetError(K::Resolve, "Unable to resolve");
        return false;
    }
    result = lookup->address;
    return true;
}

void CTCPClientSocketImpl::SetError(K kind, const char* text, int code) {
    std::snprintf(m_szLastError, sizeof m_szLastError, "%s", text);
    m_error = CNetError{kind, code};
}

void CTCPClientSocketImpl::SetErrorWithReason(K kind, const char* prefix, int error) {
    std::snprintf(m_szLastError, sizeof m_szLastError, "%s: %s", prefix, std::strerror(error));
    m_error = CNetError{kind, error};
}

void CTCPClientSocketImpl::SetWaitError(Wait wait, const char* timedOut, const char* failed) {
    if (wait == Wait::TimedOut) {
        SetError(K::TimedOut, timedOut);
    } else if (wait == Wait::Stopped) {
        SetError(K::Stopped, tcp_text::kStopped);
    } else {
        SetError(K::ClosedEarly, failed, errno);
    }
}

void CTCPClientSocketImpl::ClearError() {
    m_szLastError[0] = '\0';
    m_error = CNetError{};
}

void CTCPClientSocketImpl::CloseDescriptor() {
    if (m_iSocket >= 0) {
        // close is not retried on EINTR: on Linux the descriptor is gone either way.
        ::close(m_iSocket);
        m_iSocket = -1;
    }
}

bool CTCPClientSocketImpl::RecreateDescriptor() {
    CloseDescriptor();
    m_iSocket = NewSocket();
    return m_iSocket >= 0;
}

CTCPClientSocketImpl::Wait CTCPClientSocketImpl::WaitFor(short events) const {
    const bool bounded = m_uiTimeoutMs != 0;
    const bool stoppable = static_cast<bool>(m_stopRequested);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_uiTimeoutMs);
    for (;;) {
        if (Stopping()) return Wait::Stopped;
        // poll takes an int: a longer time-out is waited out in slices of INT_MAX ms, and a
        // stoppable wait in slices short enough to notice the stop request in time.
        long long waitMs = stoppable ? kStopSlice.count() : INT_MAX;
        if (bounded) {
            const long long left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            waitMs = std::clamp<long long>(left, 0, waitMs);
        } else if (!stoppable) {
            waitMs = -1;
        }
        pollfd descriptor{m_iSocket, events, 0};
        const int ready = ::poll(&descriptor, 1, static_cast<int>(waitMs));
        if (ready > 0) return Wait::Ready;
        if (ready < 0 && errno != EINTR) return Wait::Failed;
        if (bounded && Clock::now() >= deadline) return Wait::TimedOut;
    }
}
