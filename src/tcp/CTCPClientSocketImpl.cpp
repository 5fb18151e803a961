#include "tcp/CTCPClientSocketImpl.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "tcp/CConnectRace.h"
#include "tcp/TCPErrorTexts.h"

namespace {

constexpr unsigned int kDefaultTimeoutMs = 30000;

// Made as the race's own: every send and receive says per call whether it waits.
int NewSocket() { return CConnectRace::NewSocket(AF_INET); }

using Clock = std::chrono::steady_clock;
using K = CNetError::Kind;

// How long a wait runs before the stop check is asked again.
constexpr std::chrono::milliseconds kStopSlice(200);

using Address = CConnectRace::Address;

// Every address of host, IPv6 and IPv4, in the system's order of preference (port 0); false
// when it has none.
bool LookUp(const std::string& host, std::vector<Address>& addresses) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0) return false;
    for (const addrinfo* entry = result; entry != nullptr; entry = entry->ai_next) {
        if ((entry->ai_family != AF_INET && entry->ai_family != AF_INET6) ||
            entry->ai_addrlen > sizeof(sockaddr_storage)) {
            continue;
        }
        Address address;
        std::memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
        address.length = entry->ai_addrlen;
        addresses.push_back(address);
    }
    ::freeaddrinfo(result);
    return !addresses.empty();
}

// A numeric IPv4 or IPv6 address, which needs no lookup.
bool ParseLiteral(const char* host, Address& address) {
    auto& v4 = reinterpret_cast<sockaddr_in&>(address.storage);
    if (::inet_pton(AF_INET, host, &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        address.length = sizeof v4;
        return true;
    }
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address.storage);
    if (::inet_pton(AF_INET6, host, &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        address.length = sizeof v6;
        return true;
    }
    return false;
}

void SetPort(Address& address, unsigned short port) {
    if (address.storage.ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6&>(address.storage).sin6_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in&>(address.storage).sin_port = htons(port);
    }
}

// One name lookup on a thread of its own, so that waiting for it can be bounded and cut short.
// getaddrinfo itself cannot be interrupted: an abandoned lookup finishes in the background, and
// this state, shared with its thread, goes when both are done with it.
struct Lookup {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool found = false;
    std::vector<Address> addresses;
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
    m_bInitialized = CreateDescriptor();
    return m_bInitialized;
}

bool CTCPClientSocketImpl::CreateDescriptor() {
    m_iSocket = NewSocket();
    if (m_iSocket >= 0) return true;
    SetErrorWithReason(K::Connect, "Creating socket failed", errno);
    return false;
}

bool CTCPClientSocketImpl::HoldsDescriptor() {
    if (m_iSocket >= 0) return true;
    SetError(K::Connect, m_bInitialized ? "Not connected" : "No socket initialized");
    return false;
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
    if (!HoldsDescriptor()) return -1;
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
    if (!HoldsDescriptor()) return -1;
    for (;;) {
        const ssize_t sent = ::send(m_iSocket, data, static_cast<size_t>(size), MSG_DONTWAIT | MSG_NOSIGNAL);
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
    if (m_tunnelHost.empty()) return ConnectDirect(host, port);
    if (!ConnectDirect(m_tunnelHost.c_str(), m_tunnelPort)) return FailTunnel();
    return OpenTunnel(host, port);
}

void CTCPClientSocketImpl::SetTunnel(const char* proxyHost, unsigned short proxyPort, const char* authorization) {
    m_tunnelHost = proxyHost != nullptr ? proxyHost : "";
    m_tunnelPort = proxyPort;
    m_tunnelAuthorization = authorization != nullptr ? authorization : "";
}

bool CTCPClientSocketImpl::FailTunnel() {
    if (m_error.kind != K::Stopped) {
        // A proxy that does not answer in time cannot be reached either: the errno says which.
        const int code = m_error.kind == K::TimedOut ? ETIMEDOUT : m_error.code;
        SetError(K::Proxy, "Failed to establish connection with proxy", code);
    }
    if (m_bConnected) Disconnect();
    return false;
}

bool CTCPClientSocketImpl::OpenTunnel(const char* host, unsigned short port) {
    // The target comes from a URL: a CR or LF in it would write headers of its own.
    for (const char* h = host; h != nullptr && *h != '\0'; ++h) {
        if (static_cast<unsigned char>(*h) < 0x20 || *h == 0x7F) {
            SetError(K::Protocol, "Invalid URL");
            Disconnect();
            return false;
        }
    }
    const bool bracketed = host != nullptr && std::strchr(host, ':') != nullptr;
    char authority[300];
    std::snprintf(authority, sizeof authority, "%s%s%s:%u", bracketed ? "[" : "", host != nullptr ? host : "",
                  bracketed ? "]" : "", static_cast<unsigned int>(port));
    std::string request = std::string("CONNECT ") + authority + " HTTP/1.0\r\nHost: " + authority + "\r\n";
    if (!m_tunnelAuthorization.empty()) request += "Proxy-Authorization: " + m_tunnelAuthorization + "\r\n";
    request += "User-Agent: XOVRA_SERVER_10\r\n\r\n";
    for (size_t sent = 0; sent < request.size();) {
        const int now = WriteBuffer(request.data() + sent, static_cast<int>(request.size() - sent));
        if (now <= 0) return FailTunnel();
        sent += static_cast<size_t>(now);
    }
    char head[4096];
    if (!ReadTunnelAnswer(head, sizeof head)) return FailTunnel();
    // "HTTP/1.x 200 Connection established": any 2xx opens the tunnel.
    int status = 0;
    int reasonAt = 0;
    if (std::sscanf(head, "HTTP/%*d.%*d %3d %n", &status, &reasonAt) < 1 || status < 100 || status > 999) {
        SetError(K::Proxy, "Failed to establish connection with proxy");
        Disconnect();
        return false;
    }
    if (status >= 200 && status <= 299) {
        ClearError();
        return true;
    }
    const char* reason = reasonAt > 0 ? head + reasonAt : "";
    const size_t reasonLength = std::strcspn(reason, "\r\n");
    char text[sizeof m_szLastError];
    std::snprintf(text, sizeof text, "Proxy refused: %d - %.*s", status, static_cast<int>(reasonLength), reason);
    SetError(K::Proxy, text);
    m_error.status = status;
    Disconnect();
    return false;
}

bool CTCPClientSocketImpl::ReadTunnelAnswer(char* head, unsigned int size) {
    // The whole answer must come within one time-out, not one per byte: a proxy sending a byte
    // now and then would otherwise hold the connection for hours.
    const unsigned int timeout = m_uiTimeoutMs;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
    const bool read = ReadTunnelAnswerBy(head, size, deadline);
    m_uiTimeoutMs = timeout;
    return read;
}

bool CTCPClientSocketImpl::ReadTunnelAnswerBy(char* head, unsigned int size, Clock::time_point deadline) {
    // Byte by byte: once the tunnel is open, what follows the head belongs to the origin, and
    // the answer is short and comes once per connection.
    const bool bounded = m_uiTimeoutMs != 0;
    unsigned int length = 0;
    while (length + 1 < size) {
        if (bounded) {
            const long long left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                SetError(K::TimedOut, tcp_text::kTimedOut);
                return false;
            }
            m_uiTimeoutMs = static_cast<unsigned int>(left);
        }
        if (Receive(head + length, 1) <= 0) {
            if (m_error.kind == K::None) SetError(K::Proxy, "Failed to establish connection with proxy");
            return false;
        }
        ++length;
        if (length >= 4 && std::memcmp(head + length - 4, "\r\n\r\n", 4) == 0) {
            head[length] = '\0';
            return true;
        }
    }
    SetError(K::Proxy, "Failed to establish connection with proxy");
    return false;
}

bool CTCPClientSocketImpl::ConnectDirect(const char* host, unsigned short port) {
    if (m_bConnecting && host != nullptr && m_pendingHost == host && m_pendingPort == port) return FinishConnect();
    if (m_bConnected || m_bConnecting) Disconnect();
    bool finished = false;
    if (!BeginConnect(host, port, finished)) return false;
    return finished ? (m_bConnected = true) : FinishConnect();
}

bool CTCPClientSocketImpl::StartConnect(const char* host, unsigned short port) {
    // Through a proxy the head start is the connection to the proxy; the tunnel opens in Connect.
    if (!m_tunnelHost.empty()) {
        host = m_tunnelHost.c_str();
        port = m_tunnelPort;
    }
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
    if (!m_bInitialized) {
        SetError(K::Connect, "No socket initialized");
        return false;
    }
    if (Stopping()) {
        SetError(K::Stopped, tcp_text::kStopped);
        return false;
    }
    std::vector<Address> addresses;
    if (!Resolve(host, addresses)) return false;
    for (Address& address : addresses) SetPort(address, port);
    // The descriptor made at initialisation (or after the last connection) serves the first
    // attempt, so a connection costs one socket, not two.
    if (m_iSocket < 0 && !CreateDescriptor()) return false;
    const CConnectRace::Spare spare{m_iSocket, AF_INET};
    m_iSocket = -1;
    if (!m_race.Start(std::move(addresses), spare)) {
        SetError(K::Connect, "Failed to establish connection with server", m_race.Error());
        return false;
    }
    finished = TakeWinner();
    return true;
}

bool CTCPClientSocketImpl::TakeWinner() {
    const int connected = m_race.TakeConnected();
    if (connected < 0) return false;
    CloseDescriptor();
    m_iSocket = connected;
    return true;
}

bool CTCPClientSocketImpl::FinishConnect() {
    m_bConnecting = false;
    m_pendingHost.clear();
    const CConnectRace::Result result = m_race.Finish(m_uiTimeoutMs, m_stopRequested);
    if (result == CConnectRace::Result::Connected && TakeWinner()) {
        m_bConnected = true;
        return true;
    }
    m_race.Abandon();
    if (result == CConnectRace::Result::TimedOut) {
        SetError(K::TimedOut, tcp_text::kConnectTimedOut);
    } else if (result == CConnectRace::Result::Stopped) {
        SetError(K::Stopped, tcp_text::kStopped);
    } else {
        SetError(K::Connect, "Failed to establish connection with server", m_race.Error());
    }
    return false;
}

bool CTCPClientSocketImpl::Disconnect() {
    if (!m_bInitialized) {
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
    m_race.Abandon();
    if (!RecreateDescriptor()) {
        SetErrorWithReason(K::Connect, "Recreating socket failed", errno);
        return false;
    }
    return true;
}

bool CTCPClientSocketImpl::IsConnected() const { return m_bConnected; }

const char* CTCPClientSocketImpl::GetLastError() const { return m_szLastError; }

CNetError CTCPClientSocketImpl::GetLastErrorKind() const { return m_error; }

void CTCPClientSocketImpl::SetTimeout(unsigned int milliseconds) { m_uiTimeoutMs = milliseconds; }

bool CTCPClientSocketImpl::LimitReceiveBuffer(int bytes) {
    return m_iSocket >= 0 && setsockopt(m_iSocket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

void CTCPClientSocketImpl::SetStopCheck(std::function<bool()> stopRequested) {
    m_stopRequested = std::move(stopRequested);
}

bool CTCPClientSocketImpl::Stopping() const { return m_stopRequested && m_stopRequested(); }

void CTCPClientSocketImpl::SetResolver(Resolver resolver) { m_resolver = std::move(resolver); }

bool CTCPClientSocketImpl::Resolve(const char* host, std::vector<Address>& addresses) {
    if (host == nullptr) {
        SetError(K::Resolve, "Unable to resolve");
        return false;
    }
    // A numeric address needs no lookup, so nothing to wait for.
    Address literal;
    if (ParseLiteral(host, literal)) {
        addresses.assign(1, literal);
        return true;
    }
    Resolver resolve = m_resolver ? m_resolver : Resolver(LookUp);

    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, resolve, name = std::string(host)] {
            std::vector<Address> found;
            const bool ok = resolve(name, found);
            const std::lock_guard<std::mutex> lock(lookup->mutex);
            lookup->found = ok && !found.empty();
            lookup->addresses = std::move(found);
            lookup->done = true;
            lookup->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: look up here, unbounded, rather than not at all.
        if (resolve(host, addresses) && !addresses.empty()) return true;
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
    addresses = lookup->addresses;
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
