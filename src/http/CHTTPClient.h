#ifndef MAD_HTTP_CHTTPCLIENT_H
#define MAD_HTTP_CHTTPCLIENT_H

class CTCP;
class CTCPSocket;
class CTCPClientSocket;

// Downloads one URL into one local file with a single HTTP/1.0 GET.
// The factory is not owned and must outlive every Get. One Get at a time.
//
// Last-error texts of a failed Get: "Invalid URL" (malformed URL or port, or a target or request
// too long for its buffer), "Unsupported protocol", "No hostname within the URL", the socket's
// text when it cannot be made or connected ("Unable to resolve", "Connection timed out", ...),
// "Error writing to socket", "Failed reading out response", "Parsing response failed",
// "<code> - <reason>" for any status but 200, "Unable to write destination file <file>: <reason>"
// (the system's reason; the file by its last part when the whole does not fit),
// "Connection lost while reading the response body", "Incomplete response body: N of M bytes",
// and "Timed out waiting for the server" when the server sends or accepts nothing in time.
//
// The body goes to a temporary file beside the destination and replaces the destination only
// once complete: when the server closed the connection cleanly, or as soon as exactly
// Content-Length bytes arrived (the close is not waited for).
class CHTTPClient {
public:
    explicit CHTTPClient(CTCP* tcp);

    // True when a 200 response arrived and its whole body now is the destination file.
    // On failure the destination is left as it was, no temporary file remains, and
    // GetLastError names the first cause.
    bool Get(const char* url, const char* destination);
    // The text of the last failed Get; empty until one fails.
    const char* GetLastError() const;
    // Bounds connecting and each wait on the server (default 30 000 ms; 0 waits forever).
    void SetTimeout(unsigned int milliseconds);

    // Splits a URL "[scheme://]host[:port][/path]" (a backslash separates like a slash) into
    // scheme (cut to fit), host, port (0 when none is named) and path (from its separator on).
    // False for a URL starting with "://", a port that is not a decimal 1..65535, or a host or
    // path that does not fit its buffer.
    static bool ParseURL(const char* url, char* scheme, unsigned int schemeSize, char* host,
                         unsigned int hostSize, unsigned short& port, char* path,
                         unsigned int pathSize);
    // Reads the response head up to and including the empty line, never a byte beyond it.
    // Returns its length, or 0 on failure.
    int ReadHeader(CTCPSocket* socket, char* buffer, unsigned int size);
    // Writes the GET request for path ("/" when empty, each space sent as "%20") to host:port
    // into request; the Host line names the port unless it is 80. False when the target
    // exceeds 1023 characters or the request does not fit in size bytes.
    static bool BuildRequest(const char* host, unsigned short port, const char* path, char* request,
                             unsigned int size);

private:
    bool Fail(const char* text);
    // Sends all of request; false with the last-error text set.
    bool SendRequest(CTCPClientSocket& socket, const char* request);
    // Streams the body that follows head into destination; false with the last-error text set.
    bool ReceiveBody(CTCPClientSocket& socket, const char* head, int headLength, const char* destination);

    char m_szLastError[128];
    CTCP* m_pTCP;
    unsigned int m_uiTimeoutMs;
};

#endif
