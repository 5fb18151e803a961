#include "http/CHTTPClient.h"

#include <arpa/inet.h>
#include <strings.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fs/CAtomicFile.h"
#include "http/CHTTPResponse.h"
#include "http/CRateLimiter.h"
#include "tcp/CTCP.h"
#include "tcp/CTCPClientSocket.h"
#include "tcp/TCPErrorTexts.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned int kDefaultTimeoutMs = 30000;
constexpr unsigned int kSchemeSize = 64;
constexpr unsigned int kHostSize = 256;
constexpr unsigned int kPathSize = 1024;
constexpr unsigned int kTargetSize = 1024;
constexpr unsigned int kRequestSize = 2048;
// Long enough for the heads of CDNs and TLS front ends (cookies, security headers).
constexpr unsigned int kHeadSize = 16384;
// Large enough that a fast loopback transfer costs few system calls; the memory is constant.
constexpr int kBodyChunk = 1024 * 1024;
// Body bytes are written once this many have gathered: few writes, and still in the cache.
constexpr size_t kWriteChunk = 128 * 1024;
// A body must move at least this much in every window of one time-out.
constexpr unsigned long long kMinimumBytesPerWindow = 1024;
// How long a connection started ahead may wait for the Get that uses it: far less than servers
// let an idle connection wait for its request.
constexpr std::chrono::seconds kAheadLifetime(5);
// The most connections one client keeps started ahead: enough to hide a handshake of three
// requests' length.
constexpr unsigned int kMaxAhead = 3;
// A connection started ahead that keeps its Get waiting longer than this was started too late.
constexpr std::chrono::milliseconds kAheadLate(2);
// The longest wait before another try that a Retry-After may ask for.
constexpr std::chrono::seconds kLongestRetryAfter(60);
// Waits between tries double from 1 s this many times at most (about 18 hours), and each is
// varied by this share either way, so that clients failed together do not come back together.
constexpr unsigned int kLongestBackoffDoubling = 16;
constexpr double kBackoffVariation = 0.2;
// How often a wait before another try asks the stop check.
constexpr std::chrono::milliseconds kRetryStopSlice(50);
constexpr unsigned short kHttpPort = 80;
constexpr unsigned short kHttpsPort = 443;

// Copies [begin, end) into out as a NUL-terminated text; false when it does not fit.
bool CopyWhole(const char* begin, const char* end, char* out, unsigned int size) {
    const size_t length = static_cast<size_t>(end - begin);
    if (length >= size) return false;
    std::memcpy(out, begin, length);
    out[length] = '\0';
    return true;
}

// A decimal port 1..65535, nothing else.
bool ParsePort(const char* begin, const char* end, unsigned short& port) {
    if (begin == end || end - begin > 5) return false;
    unsigned int value = 0;
    for (const char* p = begin; p < end; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<unsigned int>(*p - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<unsigned short>(value);
    return true;
}

bool IsControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

using K = CNetError::Kind;

bool Failed(const CTCPClientSocket& socket, K kind) { return socket.GetLastErrorKind().kind == kind; }

// The kind of a connection that ended before the answer was whole: the socket's own verdict when
// it has one (a TLS record that does not read), else a connection closed or reset early.
K ClosedKind(const CTCPClientSocket& socket) {
    const K kind = socket.GetLastErrorKind().kind;
    return kind == K::None || kind == K::Connect ? K::ClosedEarly : kind;
}

// Whether a Get that failed with error on a connection started ahead is worth one more, fresh
// one: not after a wait that ran out (it has had its time), a stop, or a verdict on the server.
bool IsWorthAnotherConnection(const CNetError& error) {
    return error.kind != K::TimedOut && error.kind != K::TooSlow && error.kind != K::Stopped && error.kind != K::TLS &&
           error.kind != K::Certificate && !(error.kind == K::Proxy && error.status != 0);
}

bool IsRedirect(int code) { return code == 301 || code == 302 || code == 303 || code == 307 || code == 308; }

// Milliseconds from now until deadline, rounded up; 0 or less once it has passed.
long long MillisecondsUntil(Clock::time_point deadline) {
    return std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
}

// Takes exactly count bytes that a peek has shown to be there.
bool Take(CTCPSocket& socket, char* buffer, int count) {
    while (count > 0) {
        const int got = socket.ReadBuffer(buffer, count);
        if (got <= 0) return false;
        buffer += got;
        count -= got;
    }
    return true;
}

// Reads a head without ever taking a byte of the body: each round peeks at what has arrived,
// looks for the empty line in it and takes only the bytes up to there (all of them while it is
// not found, so the next peek waits for new ones). A few receives a head instead of one a byte.
// beforeRead() runs before each peek; false from it ends the read with 0. -1: size bytes passed
// without the empty line.
template <typename BeforeRead>
int ReadHeadBytes(CTCPSocket& socket, char* buffer, unsigned int size, BeforeRead beforeRead) {
    const unsigned int limit = std::min(size, static_cast<unsigned int>(INT_MAX));
    bool previousCR = false;
    int pairs = 0;
    for (unsigned int stored = 0; stored < limit;) {
        if (!beforeRead()) return 0;
        const int peeked = socket.PeekBuffer(buffer + stored, static_cast<int>(limit - stored));
        if (peeked <= 0) return 0;
        int scanned = 0;
        while (scanned < peeked && pairs < 2) {
            const char byte = buffer[stored + scanned++];
            if (byte == '\r') {
                previousCR = true;
            } else if (byte == '\n') {
                if (previousCR) ++pairs;
                previousCR = false;
            } else {
                previousCR = false;
                pairs = 0;
            }
        }
        if (!Take(socket, buffer + stored, scanned)) return 0;
        stored += static_cast<unsigned int>(scanned);
        if (pairs == 2) return static_cast<int>(stored);
    }
    return -1;
}

// Watches a body for the slowest acceptable pace: in every window of one time-out at least
// kMinimumBytesPerWindow bytes. It keeps the latest receives that together reach that amount;
// the oldest of them plus one time-out is the moment the current window would come up short.
class PaceWatch {
public:
    PaceWatch(std::chrono::milliseconds window, Clock::time_point start) : m_window(window), m_start(start) {}

    void Record(Clock::time_point when, unsigned long long bytes) {
        m_receives.emplace_back(when, bytes);
        m_sum += bytes;
        while (m_receives.size() > 1 && m_sum - m_receives.front().second >= kMinimumBytesPerWindow) {
            m_sum -= m_receives.front().second;
            m_receives.pop_front();
        }
    }
    // Time spent waiting for the bandwidth cap does not count against the pace.
    void Pause(Clock::duration waited) {
        m_start += waited;
        for (auto& receive : m_receives) receive.first += waited;
    }
    Clock::time_point Deadline() const { return (Reached() ? m_receives.front().first : m_start) + m_window; }
    // What arrived in the window that ends at Deadline().
    unsigned long long BytesInWindow() const { return Reached() ? m_sum - m_receives.front().second : m_sum; }

private:
    bool Reached() const { return m_sum >= kMinimumBytesPerWindow; }

    std::chrono::milliseconds m_window;
    Clock::time_point m_start;
    std::deque<std::pair<Clock::time_point, unsigned long long>> m_receives;
    unsigned long long m_sum = 0;
};

// Splits "scheme://authority/path" as ParseURL does, without limits: scheme ("http" when none),
// authority, path ("/" when none).
void SplitBase(const std::string& url, std::string& scheme, std::string& authority, std::string& path) {
    size_t rest = 0;
    const size_t marker = url.find("://");
    scheme = "http";
    if (marker != std::string::npos && marker != 0) {
        scheme = url.substr(0, marker);
        rest = marker + 3;
    }
    const size_t separator = url.find_first_of("/\\", rest);
    authority = url.substr(rest, separator == std::string::npos ? std::string::npos : separator - rest);
    path = separator == std::string::npos ? "/" : url.substr(separator);
}

// Removes "." and ".." segments from an absolute path; a query after '?' is kept as it is.
std::string RemoveDotSegments(const std::string& target) {
    const size_t query = target.find('?');
    const std::string path = target.substr(0, query);
    std::vector<std::string> kept;
    size_t begin = 1;
    for (;;) {
        const size_t slash = path.find('/', begin);
        const std::string segment = path.substr(begin, slash == std::string::npos ? std::string::npos : slash - begin);
        const bool last = slash == std::string::npos;
        if (segment == "..") {
            if (!kept.empty()) kept.pop_back();
            if (last) kept.emplace_back();
        } else if (segment == ".") {
            if (last) kept.emplace_back();
        } else {
            kept.push_back(segment);
        }
        if (last) break;
        begin = slash + 1;
    }
    std::string result;
    for (const std::string& segment : kept) result += "/" + segment;
    if (result.empty()) result = "/";
    return query == std::string::npos ? result : result + target.substr(query);
}

bool HasScheme(const std::string& location) {
    const size_t colon = location.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    if (!std::isalpha(static_cast<unsigned char>(location[0]))) return false;
    for (size_t i = 1; i < colon; ++i) {
        const auto c = static_cast<unsigned char>(location[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

// Names the file and the system's reason; the file by its last part when the whole text would not
// fit the last-error text, so the reason always shows.
std::string WriteFailure(const char* destination, const CHTTPBodySink& sink) {
    const std::string name = destination != nullptr ? destination : "";
    const std::string reason = sink.ErrorText();
    std::string text = "Unable to write destination file " + name + ": " + reason;
    if (text.size() >= 128) {
        const std::size_t slash = name.rfind('/');
        text = "Unable to write destination file " + name.substr(slash == std::string::npos ? 0 : slash + 1) + ": " +
               reason;
    }
    return text;
}

// A file being written, as a body sink.
class FileSink final : public CHTTPBodySink {
public:
    explicit FileSink(CAtomicFile& file) : m_file(file) {}
    bool Write(const void* data, std::size_t length) override { return m_file.Write(data, length); }
    bool Restart() override { return m_file.Truncate(); }
    int Error() const override { return m_file.Error(); }
    std::string ErrorText() const override { return m_file.ErrorText(); }

private:
    CAtomicFile& m_file;
};

}  // namespace

// One hop of a Get: where to connect and what to send.
struct CHTTPClient::Target {
    bool secure = false;
    // Where the socket connects: the origin, or for plain http through a proxy the proxy.
    char host[kHostSize] = {};
    unsigned short port = 0;
    char request[kRequestSize] = {};
    // The proxy the connection goes to: through a tunnel (https), or asked directly (http).
    const CProxy* proxy = nullptr;
    bool Tunnelled() const { return proxy != nullptr && secure; }
    std::string TunnelName() const {
        return Tunnelled() ? proxy->Host() + " " + std::to_string(proxy->Port()) : std::string();
    }
};

CHTTPClient::CHTTPClient(CTCP* tcp)
    : m_szLastError{},
      m_pTCP(tcp),
      m_uiTimeoutMs(kDefaultTimeoutMs),
      m_uiMaxRedirects(0),
      // The waits only need to differ between clients, not to be secret.
      m_random(static_cast<std::minstd_rand::result_type>(Clock::now().time_since_epoch().count() ^
                                                          reinterpret_cast<std::uintptr_t>(this))) {}

CHTTPClient::~CHTTPClient() = default;

const char* CHTTPClient::GetLastError() const { return m_szLastError; }

CNetError CHTTPClient::GetLastErrorKind() const { return m_error; }

void CHTTPClient::SetTimeout(unsigned int milliseconds) { m_uiTimeoutMs = milliseconds; }

void CHTTPClient::SetStopCheck(std::function<bool()> stopRequested) { m_stopRequested = std::move(stopRequested); }

void CHTTPClient::SetMaxRedirects(unsigned int redirects) { m_uiMaxRedirects = std::min(redirects, kMaxRedirects); }

void CHTTPClient::SetConnectAhead(std::function<bool()> nextGetComing, AheadClaim claim) {
    m_connectAhead = std::move(nextGetComing);
    m_claimAhead = std::move(claim);
}

void CHTTPClient::SetProxies(CProxySelector proxies) {
    m_ahead.clear();
    m_proxies = std::move(proxies);
}

void CHTTPClient::SetRetries(unsigned int retries) { m_uiRetries = retries; }

void CHTTPClient::SetRetryWait(std::function<bool(std::chrono::milliseconds)> wait) { m_retryWait = std::move(wait); }

bool CHTTPClient::Fail(CNetError::Kind kind, const char* text, int code) {
    std::snprintf(m_szLastError, sizeof m_szLastError, "%s", text);
    m_error = CNetError{kind, code};
    return false;
}

bool CHTTPClient::Fail(const CTCPClientSocket& socket) {
    return Fail(socket.GetLastErrorKind().kind, socket.GetLastError(), socket.GetLastErrorKind().code);
}

bool CHTTPClient::FailWriting(const char* destination, const CHTTPBodySink& sink) {
    return Fail(K::LocalWrite, WriteFailure(destination, sink).c_str(), sink.Error());
}

bool CHTTPClient::Stopping() const { return m_stopRequested && m_stopRequested(); }

bool CHTTPClient::ParseURL(const char* url, char* scheme, unsigned int schemeSize, char* host, unsigned int hostSize,
                           unsigned short& port, char* path, unsigned int pathSize) {
    if (url == nullptr || scheme == nullptr || host == nullptr || path == nullptr || schemeSize == 0 || hostSize == 0 ||
        pathSize == 0) {
        return false;
    }
    scheme[0] = host[0] = path[0] = '\0';
    port = 0;

    const char* rest = url;
    if (const char* marker = std::strstr(url, "://")) {
        if (marker == url) return false;
        // A scheme too long to keep can only fail the scheme check, so cutting it is harmless.
        const size_t kept = std::min(static_cast<size_t>(marker - url), static_cast<size_t>(schemeSize - 1));
        std::memcpy(scheme, url, kept);
        scheme[kept] = '\0';
        rest = marker + 3;
    }

    const char* separator = std::strpbrk(rest, "/\\");
    const char* hostEnd = separator != nullptr ? separator : rest + std::strlen(rest);
    // An IPv6 address goes in brackets, its colons being no port's.
    const char* hostBegin = rest;
    const char* nameEnd = nullptr;
    const bool bracketed = *rest == '[';
    if (bracketed) {
        const char* close = static_cast<const char*>(std::memchr(rest, ']', static_cast<size_t>(hostEnd - rest)));
        if (close == nullptr) return false;
        hostBegin = rest + 1;
        nameEnd = close;
        rest = close + 1;
        if (rest != hostEnd && *rest != ':') return false;
    }
    const char* colon = static_cast<const char*>(std::memchr(rest, ':', static_cast<size_t>(hostEnd - rest)));
    if (colon != nullptr && !ParsePort(colon + 1, hostEnd, port)) return false;
    if (nameEnd == nullptr) nameEnd = colon != nullptr ? colon : hostEnd;
    // A cut host or path would name another server or another file: refuse instead.
    if (!CopyWhole(hostBegin, nameEnd, host, hostSize)) return false;
    in6_addr literal{};
    if (bracketed && ::inet_pton(AF_INET6, host, &literal) != 1) return false;
    if (separator != nullptr && !CopyWhole(separator, separator + std::strlen(separator), path, pathSize)) {
        return false;
    }
    return true;
}

bool CHTTPClient::BuildRequest(const char* host, unsigned short port, const char* path, char* request,
                               unsigned int size, unsigned short defaultPort, const char* proxyAuthorization) {
    // The host and the target come from the feed: a CR or LF in them would end the request line
    // early and let the feed write headers of its own. Such a host is refused (a host with a space
    // simply does not resolve); in the target every space and control byte is escaped.
    for (const char* h = host; *h != '\0'; ++h) {
        if (IsControl(*h)) return false;
    }
    char target[kTargetSize] = {};
    const char* source = (path == nullptr || path[0] == '\0') ? "/" : path;
    size_t length = 0;
    for (; *source != '\0'; ++source) {
        const bool escape = *source == ' ' || IsControl(*source);
        if (length + (escape ? 3 : 1) > sizeof target - 1) return false;
        if (escape) {
            std::snprintf(target + length, 4, "%%%02X", static_cast<unsigned char>(*source));
            length += 3;
        } else {
            target[length++] = *source;
        }
    }
    // An IPv6 address keeps its brackets, as in the URL.
    const bool bracketed = std::strchr(host, ':') != nullptr;
    std::string authority = bracketed ? std::string("[") + host + "]" : std::string(host);
    if (port != defaultPort) authority += ":" + std::to_string(port);
    const bool proxied = proxyAuthorization != nullptr;
    for (const char* a = proxied ? proxyAuthorization : ""; *a != '\0'; ++a) {
        if (IsControl(*a)) return false;
    }
    const std::string authorization = proxied && proxyAuthorization[0] != '\0'
                                          ? std::string("Proxy-Authorization: ") + proxyAuthorization + "\r\n"
                                          : "";
    const int written = std::snprintf(
        request, size, "GET %s%s%s HTTP/1.0\r\nHost: %s\r\n%sUser-Agent: XOVRA_SERVER_10\r\n\r\n",
        proxied ? "http://" : "", proxied ? authority.c_str() : "", target, authority.c_str(), authorization.c_str());
    return written >= 0 && static_cast<unsigned int>(written) < size;
}

bool CHTTPClient::ResolveRedirect(const char* base, const char* location, std::string& resolved) {
    if (base == nullptr || location == nullptr) return false;
    std::string target(location);
    const size_t fragment = target.find('#');
    if (fragment != std::string::npos) target.erase(fragment);
    if (target.empty()) return false;
    if (HasScheme(target)) {
        resolved = target;
        return true;
    }
    std::string scheme, authority, path;
    SplitBase(base, scheme, authority, path);
    if (target.compare(0, 2, "//") == 0) {
        resolved = scheme + ":" + target;
        return true;
    }
    const std::string prefix = scheme + "://" + authority;
    const std::string basePath = path.substr(0, path.find('?'));
    if (target[0] == '/') {
        resolved = prefix + RemoveDotSegments(target);
    } else if (target[0] == '?') {
        resolved = prefix + basePath + target;
    } else {
        resolved = prefix + RemoveDotSegments(basePath.substr(0, basePath.rfind('/') + 1) + target);
    }
    return true;
}

int CHTTPClient::ReadHeader(CTCPSocket* socket, char* buffer, unsigned int size) {
    return std::max(0, ReadHeadBytes(*socket, buffer, size, [] { return true; }));
}

std::string CHTTPClient::PlaceOf(const Target& target) {
    // Host names match in any letter case; the request line holds the path and query.
    std::string place = target.secure ? "https://" : "http://";
    for (const char* c = target.host; *c != '\0'; ++c)
        place += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    place += ":" + std::to_string(target.port) + " ";
    place.append(target.request, std::strcspn(target.request, "\r"));
    return place;
}

bool CHTTPClient::Prepare(const char* url, Target& target) {
    char scheme[kSchemeSize];
    char path[kPathSize];
    if (!ParseURL(url, scheme, sizeof scheme, target.host, sizeof target.host, target.port, path, sizeof path)) {
        return Fail(K::Protocol, "Invalid URL");
    }
    target.secure = strcasecmp(scheme, "https") == 0;
    if (!target.secure && scheme[0] != '\0' && strcasecmp(scheme, "http") != 0)
        return Fail(K::Protocol, "Unsupported protocol");
    const unsigned short defaultPort = target.secure ? kHttpsPort : kHttpPort;
    if (target.port == 0) target.port = defaultPort;
    if (target.host[0] == '\0') return Fail(K::Protocol, "No hostname within the URL");
    target.proxy = m_proxies.For(target.secure, target.host);
    // Plain http asks the proxy itself, naming the whole URL; https tunnels to the origin.
    const bool asksProxy = target.proxy != nullptr && !target.secure;
    const std::string authorization = asksProxy ? target.proxy->Authorization() : std::string();
    // Built before connecting: a request that cannot be sent is not worth a connection.
    if (!BuildRequest(target.host, target.port, path, target.request, sizeof target.request, defaultPort,
                      asksProxy ? authorization.c_str() : nullptr)) {
        return Fail(K::Protocol, "Invalid URL");
    }
    if (asksProxy) {
        if (!CopyWhole(target.proxy->Host().data(), target.proxy->Host().data() + target.proxy->Host().size(),
                       target.host, sizeof target.host)) {
            return Fail(K::Protocol, "Invalid URL");
        }
        target.port = target.proxy->Port();
    }
    return true;
}

bool CHTTPClient::Get(const char* url, const char* destination) { return FetchWithRetries(url, destination, nullptr); }

bool CHTTPClient::Get(const char* url, CAtomicFile& file, unsigned long long maxBodyBytes) {
    FileSink sink(file);
    if (!file.IsOpen()) {
        m_bBodyTooLarge = false;
        return FailWriting(file.Target().c_str(), sink);
    }
    return Get(url, sink, file.Target().c_str(), maxBodyBytes);
}

bool CHTTPClient::Get(const char* url, CHTTPBodySink& sink, const char* name, unsigned long long maxBodyBytes) {
    m_ullMaxBody = maxBodyBytes;
    const bool fetched = FetchWithRetries(url, name, &sink);
    m_ullMaxBody = 0;
    return fetched;
}

bool CHTTPClient::BodyTooLarge() const { return m_bBodyTooLarge; }

bool CHTTPClient::FetchWithRetries(const char* url, const char* destination, CHTTPBodySink* open) {
    char before[sizeof m_szLastError];
    std::memcpy(before, m_szLastError, sizeof before);
    const CNetError beforeKind = m_error;
    for (unsigned int tries = 0;; ++tries) {
        m_retryAfter.reset();
        if (Fetch(url, destination, open)) {
            // A Get that succeeded in the end has not failed: its last error is the one before.
            std::memcpy(m_szLastError, before, sizeof before);
            m_error = beforeKind;
            return true;
        }
        if (tries >= m_uiRetries || !IsTransient(m_error)) return false;
        std::chrono::milliseconds wait = Backoff(tries);
        if (m_retryAfter) {
            // A server that asks for a long pause gets it: the next pass tries again.
            if (*m_retryAfter > kLongestRetryAfter) return false;
            wait = *m_retryAfter;
        }
        if (!WaitToRetry(wait)) return Fail(K::Stopped, tcp_text::kStopped);
        // The next try writes the body from its start.
        if (open != nullptr && !open->Restart()) return FailWriting(destination, *open);
    }
}

std::chrono::milliseconds CHTTPClient::Backoff(unsigned int tries) {
    const double base = 1000.0 * static_cast<double>(1ULL << std::min(tries, kLongestBackoffDoubling));
    std::uniform_real_distribution<double> vary(1.0 - kBackoffVariation, 1.0 + kBackoffVariation);
    return std::chrono::milliseconds(static_cast<long long>(base * vary(m_random)));
}

bool CHTTPClient::WaitToRetry(std::chrono::milliseconds wait) {
    if (m_retryWait) return m_retryWait(wait);
    const Clock::time_point until = Clock::now() + wait;
    while (!Stopping()) {
        const Clock::time_point now = Clock::now();
        if (now >= until) return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(until - now, kRetryStopSlice));
    }
    return false;
}

bool CHTTPClient::IsTransient(const CNetError& error) {
    switch (error.kind) {
    case K::Connect:
        return error.code == ECONNREFUSED || error.code == ECONNRESET;
    case K::TimedOut:
    case K::TooSlow:
    case K::ClosedEarly:
        return true;
    case K::Proxy:
        // A proxy restarting or busy is as passing as a server doing so; its verdicts are not.
        return error.status == 0 ? error.code == ECONNREFUSED || error.code == ECONNRESET || error.code == ETIMEDOUT
                                 : error.status == 502 || error.status == 503 || error.status == 504;
    case K::HTTPStatus:
        return error.code == 408 || error.code == 429 || error.code == 500 || error.code == 502 || error.code == 503 ||
               error.code == 504;
    default:
        return false;
    }
}

bool CHTTPClient::ParseRetryAfter(const std::string& value, std::time_t now, long long& seconds) {
    if (!value.empty() && value.size() <= 10 &&
        std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        seconds = std::stoll(value);
        return true;
    }
    // The date forms HTTP allows: IMF-fixdate, then the obsolete RFC 850 and asctime forms.
    for (const char* format : {"%a, %d %b %Y %H:%M:%S GMT", "%A, %d-%b-%y %H:%M:%S GMT", "%a %b %d %H:%M:%S %Y"}) {
        std::tm when{};
        const char* end = ::strptime(value.c_str(), format, &when);
        if (end == nullptr || *end != '\0') continue;
        const std::time_t at = ::timegm(&when);
        if (at == static_cast<std::time_t>(-1)) continue;
        seconds = std::max<long long>(0, static_cast<long long>(at) - static_cast<long long>(now));
        return true;
    }
    return false;
}

bool CHTTPClient::Fetch(const char* url, const char* destination, CHTTPBodySink* open) {
    m_bBodyTooLarge = false;
    if (url == nullptr) return Fail(K::Protocol, "Invalid URL");
    std::string current(url);
    // Every place this download asked, as the server sees it: a redirect back to one of them
    // would only go round again.
    std::vector<std::string> visited;
    for (unsigned int redirects = 0;; ++redirects) {
        Target target;
        if (!Prepare(current.c_str(), target)) return false;
        std::string place = PlaceOf(target);
        if (std::find(visited.begin(), visited.end(), place) != visited.end())
            return Fail(K::Protocol, "Redirect loop");
        visited.push_back(std::move(place));
        std::unique_ptr<CTCPClientSocket> socket;
        char head[kHeadSize];
        int headLength = 0;
        if (!Exchange(target, redirects == 0, socket, head, headLength)) return false;

        CHTTPResponse response;
        if (!response.Parse(head, static_cast<unsigned int>(headLength)))
            return Fail(K::Protocol, "Parsing response failed");
        const int code = response.GetErrorCode();
        // Only the proxy asks for proxy credentials; every other answer is the origin's, relayed.
        if (code == 407 && target.proxy != nullptr) {
            std::snprintf(m_szLastError, sizeof m_szLastError, "Proxy refused: %d - %s", code,
                          response.GetErrorDescription());
            m_error = CNetError{K::Proxy, 0, code};
            return false;
        }
        if (code == 200) return ReceiveBody(*socket, head, headLength, destination, open);

        std::string location;
        if (m_uiMaxRedirects > 0 && IsRedirect(code) &&
            CHTTPResponse::FindHeader(head, static_cast<unsigned int>(headLength), "Location", location)) {
            // The redirect's own body is never read: the connection just goes.
            if (redirects >= m_uiMaxRedirects) return Fail(K::Protocol, "Too many redirects");
            std::string next;
            if (!ResolveRedirect(current.c_str(), location.c_str(), next)) return Fail(K::Protocol, "Invalid URL");
            // The hop names its scheme. Without "//" after it ("host:port/path" reads as the
            // scheme "host") it would be taken for a URL without a scheme, that is plain http,
            // past the check below.
            const size_t colon = next.find(':');
            const std::string scheme = next.substr(0, colon);
            if (strcasecmp(scheme.c_str(), "http") != 0 && strcasecmp(scheme.c_str(), "https") != 0)
                return Fail(K::Protocol, "Unsupported protocol");
            if (colon == std::string::npos || next.compare(colon, 3, "://") != 0)
                return Fail(K::Protocol, "Invalid URL");
            if (target.secure && strncasecmp(next.c_str(), "http://", 7) == 0) {
                return Fail(K::Protocol, "Redirect from https to http refused");
            }
            current = std::move(next);
            continue;
        }
        std::snprintf(m_szLastError, sizeof m_szLastError, "%u - %s", static_cast<unsigned int>(code),
                      response.GetErrorDescription());
        m_error = CNetError{K::HTTPStatus, code};
        std::string retryAfter;
        long long seconds = 0;
        if ((code == 429 || code == 503) &&
            CHTTPResponse::FindHeader(head, static_cast<unsigned int>(headLength), "Retry-After", retryAfter) &&
            ParseRetryAfter(retryAfter, std::time(nullptr), seconds)) {
            m_retryAfter = std::chrono::seconds(seconds);
        }
        return false;
    }
}

bool CHTTPClient::Exchange(const Target& target, bool first, std::unique_ptr<CTCPClientSocket>& socket, char* head,
                           int& headLength) {
    if (Stopping()) return Fail(K::Stopped, tcp_text::kStopped);
    bool answered = false;
    const Clock::time_point taken = Clock::now();
    socket = TakeAhead(target);
    if (socket) {
        char before[sizeof m_szLastError];
        std::memcpy(before, m_szLastError, sizeof before);
        const CNetError beforeKind = m_error;
        if (Converse(target, first, *socket, head, headLength, answered, &taken)) return true;
        // A wait that ran out has had its time already, and a stop means stop; anything else
        // could be the server closing a connection that had waited unused.
        if (answered || Stopping() || !IsWorthAnotherConnection(m_error)) return false;
        // The Get has not failed yet: its last error is still the one before.
        std::memcpy(m_szLastError, before, sizeof before);
        m_error = beforeKind;
    }
    socket = NewSocket(target, true);
    if (!socket) return false;
    return Converse(target, first, *socket, head, headLength, answered, nullptr);
}

bool CHTTPClient::Converse(const Target& target, bool first, CTCPClientSocket& socket, char* head, int& headLength,
                           bool& answered, const Clock::time_point* taken) {
    answered = false;
    const bool connected = socket.Connect(target.host, target.port);
    if (taken != nullptr && Clock::now() - *taken > kAheadLate)
        m_uiAheadDepth = std::min(m_uiAheadDepth + 1, kMaxAhead);
    if (!connected) {
        // A tunnel's socket names the proxy itself; plain http through a proxy connects to it here.
        const CNetError error = socket.GetLastErrorKind();
        if (target.proxy != nullptr && !target.secure && error.kind != K::Stopped) {
            const int code = error.kind == K::TimedOut ? ETIMEDOUT : error.code;
            return Fail(K::Proxy, "Failed to establish connection with proxy", code);
        }
        return Fail(socket);
    }
    if (!SendRequest(socket, target.request)) return false;
    if (first) StartAhead(target);
    return ReceiveHead(socket, head, kHeadSize, headLength, answered);
}

std::unique_ptr<CTCPClientSocket> CHTTPClient::TakeAhead(const Target& target) {
    const Clock::time_point now = Clock::now();
    while (!m_ahead.empty() && now - m_ahead.front().started > kAheadLifetime) m_ahead.pop_front();
    if (!AheadGoesTo(target)) return nullptr;
    std::unique_ptr<CTCPClientSocket> socket = std::move(m_ahead.front().socket);
    m_ahead.pop_front();
    socket->SetTimeout(m_uiTimeoutMs);
    socket->SetStopCheck(m_stopRequested);
    return socket;
}

bool CHTTPClient::AheadGoesTo(const Target& target) const {
    return !m_ahead.empty() && m_bAheadSecure == target.secure && m_aheadHost == target.host &&
           m_aheadPort == target.port && m_aheadTunnel == target.TunnelName();
}

std::unique_ptr<CTCPClientSocket> CHTTPClient::NewSocket(const Target& target, bool report) {
    std::unique_ptr<CTCPClientSocket> socket(target.secure ? m_pTCP->CreateTLSClient() : m_pTCP->CreateClient());
    if (!socket) {
        if (report) Fail(m_pTCP->GetLastErrorKind().kind, m_pTCP->GetLastError(), m_pTCP->GetLastErrorKind().code);
        return nullptr;
    }
    socket->SetTimeout(m_uiTimeoutMs);
    socket->SetStopCheck(m_stopRequested);
    if (target.Tunnelled()) {
        socket->SetTunnel(target.proxy->Host().c_str(), target.proxy->Port(), target.proxy->Authorization().c_str());
    }
    return socket;
}

void CHTTPClient::StartAhead(const Target& target) {
    if (!m_connectAhead || !m_connectAhead()) return;
    if (!AheadGoesTo(target)) {
        m_ahead.clear();
        m_bAheadSecure = target.secure;
        m_aheadHost = target.host;
        m_aheadPort = target.port;
        m_aheadTunnel = target.TunnelName();
    }
    while (m_ahead.size() < m_uiAheadDepth) {
        std::shared_ptr<const void> claim;
        if (m_claimAhead && !(claim = m_claimAhead())) return;
        std::unique_ptr<CTCPClientSocket> socket = NewSocket(target, false);
        // Only a head start: when it cannot be had, the next Get connects as it always would.
        if (!socket || !socket->StartConnect(target.host, target.port)) return;
        m_ahead.push_back({std::move(socket), Clock::now(), std::move(claim)});
    }
}

bool CHTTPClient::SendRequest(CTCPClientSocket& socket, const char* request) {
    const char* next = request;
    int left = static_cast<int>(std::strlen(request));
    while (left > 0) {
        const int sent = socket.WriteBuffer(next, left);
        if (sent <= 0) {
            if (Failed(socket, K::TimedOut) || Failed(socket, K::Stopped)) return Fail(socket);
            return Fail(K::ClosedEarly, "Error writing to socket", socket.GetLastErrorKind().code);
        }
        next += sent;
        left -= sent;
    }
    return true;
}

bool CHTTPClient::ReceiveHead(CTCPClientSocket& socket, char* head, unsigned int size, int& headLength,
                              bool& answered) {
    // The whole head must come within one time-out, not one time-out per byte.
    const bool bounded = m_uiTimeoutMs != 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_uiTimeoutMs);
    bool late = false;
    int rounds = 0;
    headLength = ReadHeadBytes(socket, head, size, [&] {
        // Each round after the first follows bytes that arrived.
        answered = ++rounds > 1;
        if (!bounded) return true;
        const long long left = MillisecondsUntil(deadline);
        if (left <= 0) {
            late = true;
            return false;
        }
        socket.SetTimeout(static_cast<unsigned int>(left));
        return true;
    });
    socket.SetTimeout(m_uiTimeoutMs);
    if (headLength > 0) {
        answered = true;
        return true;
    }
    if (late || Failed(socket, K::TimedOut)) return Fail(K::TimedOut, tcp_text::kTimedOut);
    if (Failed(socket, K::Stopped)) return Fail(K::Stopped, tcp_text::kStopped);
    // A head that outgrew its buffer is the server's fault; otherwise the connection ended first.
    return Fail(headLength < 0 ? K::Protocol : ClosedKind(socket), "Failed reading out response",
                socket.GetLastErrorKind().code);
}

bool CHTTPClient::ReceiveBody(CTCPClientSocket& socket, const char* head, int headLength, const char* destination,
                              CHTTPBodySink* open) {
    // An HTTP/1.0 request asks for a body without transfer coding, and none is decoded here: a
    // coded one (chunked, whatever Content-Length says) would be stored with its framing.
    if (CHTTPResponse::IsTransferCoded(head, static_cast<unsigned int>(headLength)))
        return Fail(K::Protocol, "Unsupported Transfer-Encoding");
    unsigned long long expected = 0;
    const CHTTPResponse::Length length =
        CHTTPResponse::FindContentLength(head, static_cast<unsigned int>(headLength), expected);
    if (length == CHTTPResponse::Length::Invalid) return Fail(K::Protocol, "Invalid Content-Length");
    const bool hasLength = length == CHTTPResponse::Length::Valid;
    const bool limited = m_ullMaxBody != 0;
    // Over the limit: refused before a byte of the body is read when its length is told.
    const auto tooLarge = [&] {
        m_bBodyTooLarge = true;
        std::snprintf(m_szLastError, sizeof m_szLastError, "Body larger than %llu bytes", m_ullMaxBody);
        // A verdict on the answer: the same map would be as large on another try.
        m_error = CNetError{K::Protocol, 0};
        return false;
    };
    if (limited && hasLength && expected > m_ullMaxBody) return tooLarge();

    std::optional<CAtomicFile> own;
    std::optional<FileSink> ownSink;
    if (open == nullptr) {
        own.emplace(destination != nullptr ? destination : "");
        ownSink.emplace(*own);
    }
    CHTTPBodySink& file = open != nullptr ? *open : *ownSink;
    if (open == nullptr && (destination == nullptr || !own->Open())) return FailWriting(destination, file);

    const bool bounded = m_uiTimeoutMs != 0;
    PaceWatch pace(std::chrono::milliseconds(m_uiTimeoutMs), Clock::now());
    // A window of one time-out passed with too little; nothing at all is a silent server.
    const auto tooSlow = [&] {
        const unsigned long long moved = pace.BytesInWindow();
        if (moved == 0) return Fail(K::TimedOut, tcp_text::kTimedOut);
        std::snprintf(m_szLastError, sizeof m_szLastError, "Transfer too slow: %llu bytes in %g s", moved,
                      static_cast<double>(m_uiTimeoutMs) / 1000.0);
        m_error = CNetError{K::TooSlow, 0};
        return false;
    };
    // Receives are gathered into whole chunks before they are written: a TLS receive brings
    // one record (16 KiB at most), and a write per record would cost a system call each.
    // A body of known length needs no bigger buffer than itself: a small map then costs no
    // clearing of a whole chunk (and none of the page faults of a fresh mapping) per download.
    const int chunk =
        hasLength ? static_cast<int>(std::clamp<unsigned long long>(expected, 1, kBodyChunk)) : kBodyChunk;
    const auto buffer = std::make_unique<char[]>(static_cast<size_t>(chunk));
    size_t buffered = 0;
    const auto flush = [&] {
        const bool written = buffered == 0 || file.Write(buffer.get(), buffered);
        buffered = 0;
        return written;
    };
    unsigned long long received = 0;
    // Under a cap the system would grow the receive buffer during the first second's burst and
    // then hold far more than the cap lets through in a second; an eighth of a second's worth
    // still keeps a link of up to about 100 ms round trip busy.
    if (m_pRateLimiter != nullptr) {
        const unsigned long long rate = m_pRateLimiter->Rate();
        if (rate != 0)
            socket.LimitReceiveBuffer(static_cast<int>(std::clamp<unsigned long long>(rate / 8, 4096, 4 << 20)));
    }
    // Stop at Content-Length without waiting for the close; without one, read until the close.
    while (!hasLength || received < expected) {
        if (Stopping()) return Fail(K::Stopped, tcp_text::kStopped);
        int want = static_cast<int>(static_cast<size_t>(chunk) - buffered);
        if (hasLength) want = static_cast<int>(std::min<unsigned long long>(want, expected - received));
        if (m_pRateLimiter != nullptr) {
            Clock::duration waited{};
            want = static_cast<int>(
                m_pRateLimiter->Acquire(static_cast<unsigned long long>(want), m_stopRequested, waited));
            if (want == 0) return Fail(K::Stopped, tcp_text::kStopped);
            pace.Pause(waited);
        }
        if (bounded) {
            const long long left = MillisecondsUntil(pace.Deadline());
            if (left <= 0) return tooSlow();
            socket.SetTimeout(static_cast<unsigned int>(left));
        }
        const int got = socket.ReadBuffer(buffer.get() + buffered, want);
        if (m_pRateLimiter != nullptr)
            m_pRateLimiter->GiveBack(static_cast<unsigned long long>(want - std::max(got, 0)));
        if (got > 0) {
            buffered += static_cast<size_t>(got);
            received += static_cast<unsigned long long>(got);
            if (limited && received > m_ullMaxBody) return tooLarge();
            if (bounded) pace.Record(Clock::now(), static_cast<unsigned long long>(got));
            const bool full = buffered >= kWriteChunk || buffered == static_cast<size_t>(chunk);
            if (full && !flush()) return FailWriting(destination, file);
            continue;
        }
        // The last receive succeeded and emptied the socket's text: a text now names a failure,
        // its absence means the server closed the connection cleanly.
        if (Failed(socket, K::TimedOut)) return tooSlow();
        if (Failed(socket, K::Stopped)) return Fail(K::Stopped, tcp_text::kStopped);
        if (!Failed(socket, K::None)) {
            return Fail(ClosedKind(socket), "Connection lost while reading the response body",
                        socket.GetLastErrorKind().code);
        }
        if (hasLength) {
            std::snprintf(m_szLastError, sizeof m_szLastError, "Incomplete response body: %llu of %llu bytes", received,
                          expected);
            m_error = CNetError{K::ClosedEarly, 0};
            return false;
        }
        break;
    }
    if (!flush() || (open == nullptr && !own->Commit())) return FailWriting(destination, file);
    return true;
}
