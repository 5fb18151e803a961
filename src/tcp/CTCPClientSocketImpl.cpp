#include "tcp/CTCPClientSocketImpl.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tcp/TCPErrorTexts.h"

namespace {

constexpr unsigned int kDefaultTimeoutMs = 30000;

int NewSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

// The first IPv4 address of host, in network byte order; false when it does not resolve.
bool Resolve(const char* host, in_addr& address) {
    if (host == nullptr) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &result) != 0 || result == nullptr) return false;
    address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
    ::freeaddrinfo(result);
    return true;
}

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

CTCPClientSocketImpl::CTCPClientSocketImpl()
    : m_bConnected(false), m_szLastError{}, m_iSocket(-1), m_uiTimeoutMs(kDefaultTimeoutMs) {}

CTCPClientSocketImpl::~CTCPClientSocketImpl() { CloseDescriptor(); }

bool CTCPClientSocketImpl::Initialize() {
    m_iSocket = NewSocket();
    if (m_iSocket < 0) {
        SetError("Creating socket failed");
        return false;
    }
    return true;
}

int CTCPClientSocketImpl::ReadBuffer(void* buffer, int size) {
    if (size <= 0) return -1;
    if (m_iSocket < 0) {
        SetError("No socket initialized");
        return -1;
    }
    for (;;) {
        // Try first: in a running transfer data is usually waiting, which saves the poll.
        const ssize_t received = ::recv(m_iSocket, buffer, static_cast<size_t>(size), MSG_DONTWAIT);
        if (received > 0) {
            m_szLastError[0] = '\0';
            return static_cast<int>(received);
        }
        if (received == 0) return -1;  // the peer closed; an earlier text stays
        const int error = errno;
        if (error == EINTR) continue;
        if (!WouldBlock(error)) {
            SetErrorWithReason("Receive failed", error);
            return -1;
        }
        const Wait wait = WaitFor(POLLIN);
        if (wait != Wait::Ready) {
            SetError(wait == Wait::TimedOut ? tcp_text::kTimedOut : "Receive failed");
            return -1;
        }
    }
}

int CTCPClientSocketImpl::WriteBuffer(const void* data, int size) {
    if (size <= 0) return -1;
    if (m_iSocket < 0) {
        SetError("No socket initialized");
        return -1;
    }
    for (;;) {
        const ssize_t sent =
            ::send(m_iSocket, data, static_cast<size_t>(size), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            m_szLastError[0] = '\0';
            return static_cast<int>(sent);
        }
        if (sent == 0) return -1;
        const int error = errno;
        if (error == EINTR) continue;
        if (!WouldBlock(error)) {
            SetErrorWithReason("Send failed", error);
            return -1;
        }
        const Wait wait = WaitFor(POLLOUT);
        if (wait != Wait::Ready) {
            SetError(wait == Wait::TimedOut ? tcp_text::kTimedOut : "Send failed");
            return -1;
        }
    }
}

bool CTCPClientSocketImpl::Connect(const char* host, unsigned short port) {
    if (m_bConnected) Disconnect();
    if (m_iSocket < 0) {
        SetError("No socket initialized");
        return false;
    }
    sockaddr_in address{};
    if (!Resolve(host, address.sin_addr)) {
        SetError("Unable to resolve");
        return false;
    }
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (!ConnectTo(&address, sizeof address)) {
        // A half-open attempt cannot be reused for another Connect: start over with a fresh one.
        RecreateDescriptor();
        return false;
    }
    m_bConnected = true;
    return true;
}

bool CTCPClientSocketImpl::ConnectTo(const void* address, unsigned int addressLength) {
    const int flags = ::fcntl(m_iSocket, F_GETFL);
    if (flags < 0 || ::fcntl(m_iSocket, F_SETFL, flags | O_NONBLOCK) != 0) {
        SetError("Failed to establish connection with server");
        return false;
    }
    bool connected = false;
    if (::connect(m_iSocket, static_cast<const sockaddr*>(address), addressLength) == 0) {
        connected = true;
    } else if (errno == EINPROGRESS || errno == EINTR) {
        const Wait wait = WaitFor(POLLOUT);
        int error = 0;
        socklen_t length = sizeof error;
        if (wait == Wait::TimedOut) {
            SetError(tcp_text::kConnectTimedOut);
            return false;
        }
        // SO_ERROR reads 0 while a connect is still pending, so only a finished wait counts.
        connected = wait == Wait::Ready &&
                    ::getsockopt(m_iSocket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    if (!connected) {
        SetError("Failed to establish connection with server");
        return false;
    }
    // Back to blocking mode: sends and receives choose per call whether to wait.
    ::fcntl(m_iSocket, F_SETFL, flags);
    return true;
}

bool CTCPClientSocketImpl::Disconnect() {
    if (m_iSocket < 0) {
        SetError("No socket initialized");
        return false;
    }
    if (!m_bConnected) {
        SetError("Not connected");
        return false;
    }
    m_bConnected = false;
    if (!RecreateDescriptor()) {
        SetError("Recreating socket failed");
        return false;
    }
    return true;
}

bool CTCPClientSocketImpl::IsConnected() const { return m_bConnected; }

const char* CTCPClientSocketImpl::GetLastError() const { return m_szLastError; }

void CTCPClientSocketImpl::SetTimeout(unsigned int milliseconds) { m_uiTimeoutMs = milliseconds; }

void CTCPClientSocketImpl::SetError(const char* text) {
    std::snprintf(m_szLastError, sizeof m_szLastError, "%s", text);
}

void CTCPClientSocketImpl::SetErrorWithReason(const char* prefix, int error) {
    std::snprintf(m_szLastError, sizeof m_szLastError, "%s: %s", prefix, std::strerror(error));
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
    using Clock = std::chrono::steady_clock;
    const bool bounded = m_uiTimeoutMs != 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_uiTimeoutMs);
    for (;;) {
        int waitMs = -1;
        bool lastSlice = true;
        if (bounded) {
            const long long left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            // poll takes an int: a longer time-out is waited out in slices of INT_MAX ms.
            lastSlice = left <= INT_MAX;
            waitMs = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
        }
        pollfd descriptor{m_iSocket, events, 0};
        const int ready = ::poll(&descriptor, 1, waitMs);
        if (ready > 0) return Wait::Ready;
        if (ready == 0 && lastSlice) return Wait::TimedOut;
        if (ready < 0 && errno != EINTR) return Wait::Failed;
    }
}
