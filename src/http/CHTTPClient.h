#ifndef MAD_HTTP_CHTTPCLIENT_H
#define MAD_HTTP_CHTTPCLIENT_H

#include <chrono>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "fs/CAtomicFile.h"
#include "http/CHTTPBodySink.h"
#include "http/CProxySelector.h"
#include "tcp/CNetError.h"

class CRateLimiter;
class CTCP;
class CTCPSocket;
class CTCPClientSocket;

// Downloads one URL into one local file with HTTP/1.0 GET requests, over plain TCP for http://
// and over TLS (verified, see CTLSClientSocketImpl) for https://. The factory is not owned and
// must outlive every Get. One Get at a time; clients share nothing, so each thread may have its own.
//
// Last-error texts of a failed Get: "Invalid URL" (malformed URL or port, or a target or request
// too long for its buffer), "Unsupported protocol", "No hostname within the URL", the socket's
// text when it cannot be made or connected ("Unable to resolve", "Connection timed out",
// "TLS handshake failed: ...", "Certificate verification failed: ...", ...),
// "Error writing to socket", "Failed reading out response", "Parsing response failed",
// "<code> - <reason>" for any status but 200 (that is not a redirect being followed),
// "Invalid Content-Length", "Unsupported Transfer-Encoding" (an answer to HTTP/1.0 must not have one),
// "Unable to write destination file <file>: <reason>"
// (the system's reason; the file by its last part when the whole does not fit),
// "Connection lost while reading the response body", "Incomplete response body: N of M bytes",
// "Body larger than N bytes", "Timed out waiting for the server" when the server sends or accepts nothing in time or
// the whole head does not arrive within the time-out, "Transfer too slow: N bytes in T s" when the body moves fewer
// than 1024 bytes in some window of one time-out, "Too many redirects", "Redirect loop", "Redirect from https to http
// refused", and "Stopped" when the stop check asked for it. Through a proxy also "Failed to establish connection with
// proxy" when it cannot be reached or does not answer, and "Proxy refused: <status> - <reason>" when it refuses a
// tunnel or asks for credentials (407).
//
// The body goes to a temporary file beside the destination and replaces the destination only
// once complete: when the server closed the connection cleanly, or as soon as exactly
// Content-Length bytes arrived (the close is not waited for).
//
// With retries set, a Get that fails for a transient cause (IsTransient) is tried again, each try
// with the full time-out and an empty body file: after 1 s, then 2 s, 4 s and so on, each wait
// varied by up to 20% at random, or after the wait a 429 or 503 asks for with Retry-After (up
// to 60 s; one asking for longer fails the Get at once). A failed Get tells of its last try; a
// stop request ends a wait at once, and the Get with "Stopped".
class CHTTPClient {
public:
    explicit CHTTPClient(CTCP* tcp);
    ~CHTTPClient();
    CHTTPClient(const CHTTPClient&) = delete;
    CHTTPClient& operator=(const CHTTPClient&) = delete;

    // True when a 200 response arrived and its whole body now is the destination file.
    // On failure the destination is left as it was, no temporary file remains, and
    // GetLastError names the first cause.
    bool Get(const char* url, const char* destination);
    // As Get, but the body is written into file, already open, and nothing is committed: the
    // caller reads it at file.TemporaryPath(), then commits or discards it. Write failures name
    // file.Target(). For an intermediate file this saves a second temporary file and its rename.
    // A body longer than maxBodyBytes (0: no limit) fails the Get with BodyTooLarge() true: at
    // once when its Content-Length says so, else as soon as the bytes received pass it.
    bool Get(const char* url, CAtomicFile& file, unsigned long long maxBodyBytes = 0);
    // As the Get above, but the body goes to sink as it arrives; a write failure names name.
    bool Get(const char* url, CHTTPBodySink& sink, const char* name, unsigned long long maxBodyBytes = 0);
    // Whether the last Get failed for a body over its limit.
    bool BodyTooLarge() const;
    // The text of the last failed Get; empty until one fails.
    const char* GetLastError() const;
    // The kind of that failure, set with the text: what retries decide on.
    CNetError GetLastErrorKind() const;
    // Bounds connecting (and the TLS handshake), each wait on the server, the whole response
    // head, and each window of the body in which at least 1024 bytes must arrive
    // (default 30 000 ms; 0 waits forever and drops the bounds on head and body).
    void SetTimeout(unsigned int milliseconds);
    // Asked before each connection and at least every 200 ms while waiting: once it answers true
    // the Get fails with "Stopped", as any failed Get does. Empty (the default) never stops.
    void SetStopCheck(std::function<bool()> stopRequested);
    // The most redirects one Get ever follows.
    static constexpr unsigned int kMaxRedirects = 20;
    // How many redirects (301, 302, 303, 307, 308 with a Location) one Get follows, at most
    // kMaxRedirects (a larger value acts as it); 0 (the default) follows none, and a redirect then
    // fails as any other status does. A redirect to a URL this Get already asked for (same scheme,
    // host in any letter case, port, path and query) fails with "Redirect loop" at once.
    void SetMaxRedirects(unsigned int redirects);
    // Asked once a Get has sent its request: when it answers true, another Get to the same server
    // is expected, and the client starts a connection to that server (scheme, host and port) at
    // once, so its handshake (TCP, and TLS for https) runs while this Get waits for its answer.
    // One connection is kept under way or ready; each time a Get still had to wait for the one
    // started for it, one more is, up to three, so that handshakes longer than a request stay
    // hidden. The next Gets to that server take them oldest first within 5 s of their start;
    // older ones are closed unused at the next Get, any other with the client. A request sent on
    // such a connection that gets no byte of answer (the server may have closed the connection
    // while it waited) is sent once more on a fresh one, unless it timed out or was stopped.
    // Empty (the default): a Get connects only when it needs to, one connection at a time.
    // Through a proxy the connections ahead go to the proxy; for https the tunnel is opened ahead
    // too, and the handshake inside it.
    // claim, when set, is asked before each connection started ahead and may refuse it (an empty
    // token); the token it gives is held while that connection waits and dropped once a Get takes
    // it or it is closed unused, so that clients sharing one claim never hold more connections
    // ahead between them than it allows.
    using AheadClaim = std::function<std::shared_ptr<const void>()>;
    void SetConnectAhead(std::function<bool()> nextGetComing, AheadClaim claim = {});
    // Which requests go through which HTTP proxy. A plain-http URL is asked of its proxy in
    // absolute form ("GET http://host:port/path HTTP/1.0", the same Host and User-Agent lines);
    // an https URL goes through a CONNECT tunnel, inside which TLS is verified against the origin
    // as without a proxy. Credentials go as Proxy-Authorization. Default: everything direct.
    void SetProxies(CProxySelector proxies);

    // Reads every body no faster than limiter allows; the time spent waiting for it does not count
    // towards "Transfer too slow". Not owned; clients of parallel downloads share one. Null (the
    // default): no cap.
    void SetRateLimiter(CRateLimiter* limiter) { m_pRateLimiter = limiter; }

    // How many more tries a Get that fails for a transient cause gets; 0 (the default): none.
    void SetRetries(unsigned int retries);
    // Replaces the wait before another try (for tests): called with how long to wait, it returns
    // false when a stop request cut the wait short. The default sleeps, asking the stop check
    // every 50 ms.
    void SetRetryWait(std::function<bool(std::chrono::milliseconds)> wait);
    // Whether a failure of this kind may pass if tried again: a refused or reset connection, a
    // time-out, a transfer too slow, a connection closed or a body cut short, and the statuses
    // 408, 429, 500, 502, 503 and 504; a proxy refusing or resetting the connection, not answering
    // in time, or refusing a tunnel with 502, 503 or 504. Never a verdict (other statuses, certificates, TLS, a URL
    // or an answer that does not read), a local write failure or a stop.
    static bool IsTransient(const CNetError& error);
    // The seconds from now that a Retry-After value asks to wait: delay seconds, or an HTTP date
    // (a past one asks for 0). False when the value reads as neither.
    static bool ParseRetryAfter(const std::string& value, std::time_t now, long long& seconds);

    // Splits a URL "[scheme://]host[:port][/path]" (a backslash separates like a slash) into
    // scheme (cut to fit), host, port (0 when none is named) and path (from its separator on).
    // An IPv6 address host is written in brackets ("http://[::1]:8080/") and comes out without
    // them. False for a URL starting with "://", a port that is not a decimal 1..65535, a
    // bracketed host that is not an IPv6 address, or a host or path that does not fit its buffer.
    static bool ParseURL(const char* url, char* scheme, unsigned int schemeSize, char* host, unsigned int hostSize,
                         unsigned short& port, char* path, unsigned int pathSize);
    // Reads the response head up to and including the empty line, never a byte beyond it.
    // Returns its length, or 0 on failure (also when size bytes pass without the empty line).
    int ReadHeader(CTCPSocket* socket, char* buffer, unsigned int size);
    // Writes the GET request for path ("/" when empty, each space and control byte escaped) to
    // host:port into request; the Host line names the port unless it is defaultPort (the
    // scheme's: 80 for http, 443 for https), and an IPv6 address in brackets. False when the host holds a control byte,
    // the target exceeds 1023 characters or the request does not fit in size bytes. With proxyAuthorization given
    // (empty for none) the request is for a proxy: the target in absolute form, "http://" and the Host line's authority
    // before the path, and a Proxy-Authorization line unless it is empty.
    static bool BuildRequest(const char* host, unsigned short port, const char* path, char* request, unsigned int size,
                             unsigned short defaultPort = 80, const char* proxyAuthorization = nullptr);
    // The URL a redirect from base to location leads to: location itself when it names a scheme,
    // else resolved against base (scheme-relative "//host/...", absolute "/path", query "?q", or a
    // path relative to base's directory, "." and ".." segments removed). A fragment is dropped.
    // False for an empty location.
    static bool ResolveRedirect(const char* base, const char* location, std::string& resolved);

private:
    struct Target;

    bool Fail(CNetError::Kind kind, const char* text, int code = 0);
    // Fails with the socket's text and kind.
    bool Fail(const CTCPClientSocket& socket);
    bool FailWriting(const char* destination, const CHTTPBodySink& sink);
    bool Stopping() const;
    // Splits url into target; false with the last-error text set.
    bool Prepare(const char* url, Target& target);
    // What tells one request of a Get from another: scheme, host, port and request line.
    static std::string PlaceOf(const Target& target);
    // Connects, sends the request and reads the response head, on the connection started ahead
    // for target when there is one; false with the last-error text set. First: the Get's own
    // URL, not a redirect's, so the one whose server the next Get is likely to need.
    bool Exchange(const Target& target, bool first, std::unique_ptr<CTCPClientSocket>& socket, char* head,
                  int& headLength);
    // Exchange on one socket; answered tells whether any byte of a response arrived.
    // Taken: when the connection was taken from those started ahead, or null for a fresh one.
    bool Converse(const Target& target, bool first, CTCPClientSocket& socket, char* head, int& headLength,
                  bool& answered, const std::chrono::steady_clock::time_point* taken);
    // The oldest connection started ahead for target's server, if there is one young enough; those
    // too old are closed, those for another server kept for a later Get.
    std::unique_ptr<CTCPClientSocket> TakeAhead(const Target& target);
    // Whether the connections started ahead go to target's server.
    bool AheadGoesTo(const Target& target) const;
    // Starts connections to target's server for the next Gets, when one is expected, so that as
    // many as the depth are under way or ready.
    void StartAhead(const Target& target);
    // A new socket for target, tunnelled when it says so; null with the last-error text set.
    std::unique_ptr<CTCPClientSocket> NewSocket(const Target& target, bool report);
    // Sends all of request; false with the last-error text set.
    bool SendRequest(CTCPClientSocket& socket, const char* request);
    // Reads the head within one time-out; false with the last-error text set. Answered: some of
    // it arrived.
    bool ReceiveHead(CTCPClientSocket& socket, char* head, unsigned int size, int& headLength, bool& answered);
    // Fetch, tried again as long as the retry policy allows.
    bool FetchWithRetries(const char* url, const char* destination, CHTTPBodySink* open);
    // The wait before try number tries + 2 (tries from 0): doubling from 1 s, varied by 20%.
    std::chrono::milliseconds Backoff(unsigned int tries);
    // Waits before another try; false when a stop request ended the wait.
    bool WaitToRetry(std::chrono::milliseconds wait);
    // Get into destination, or into open when it is given (then left uncommitted).
    bool Fetch(const char* url, const char* destination, CHTTPBodySink* open);
    // Streams the body that follows head into destination (or open, as Fetch); false with the
    // last-error text set.
    bool ReceiveBody(CTCPClientSocket& socket, const char* head, int headLength, const char* destination,
                     CHTTPBodySink* open);

    char m_szLastError[128];
    CNetError m_error;
    CTCP* m_pTCP;
    unsigned int m_uiTimeoutMs;
    unsigned int m_uiMaxRedirects;
    std::function<bool()> m_stopRequested;
    std::function<bool()> m_connectAhead;
    AheadClaim m_claimAhead;
    // The body limit of the Get in progress (0: none), and whether the last Get passed it.
    unsigned long long m_ullMaxBody = 0;
    bool m_bBodyTooLarge = false;
    unsigned int m_uiRetries = 0;
    CRateLimiter* m_pRateLimiter = nullptr;
    std::function<bool(std::chrono::milliseconds)> m_retryWait;
    std::minstd_rand m_random;
    // The wait the last failed try's answer asked for with Retry-After, if it did.
    std::optional<std::chrono::seconds> m_retryAfter;
    // The connections started for the next Gets, oldest first, all to one server, and where to.
    struct Ahead {
        std::unique_ptr<CTCPClientSocket> socket;
        std::chrono::steady_clock::time_point started;
        std::shared_ptr<const void> claim;
    };
    std::deque<Ahead> m_ahead;
    bool m_bAheadSecure = false;
    std::string m_aheadHost;
    unsigned short m_aheadPort = 0;
    std::string m_aheadTunnel;
    // How many connections are kept started ahead: grows by one, up to kMaxAhead, each time a Get
    // had to wait for the one started for it, so that a handshake longer than a request is
    // started early enough; one when the handshake is quicker than a request.
    unsigned int m_uiAheadDepth = 1;
    CProxySelector m_proxies;
};

#endif
