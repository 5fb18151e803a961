#ifndef MAD_HTTP_CHTTPCLIENT_H
#define MAD_HTTP_CHTTPCLIENT_H

class CTCP;
class CTCPSocket;

// Downloads one URL into one local file with a single HTTP/1.0 GET.
// The factory is not owned and must outlive every Get. One Get at a time.
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

    // Splits a URL into scheme, host, port (0 when none is named) and path.
    static bool ParseURL(const char* url, char* scheme, unsigned int schemeSize, char* host,
                         unsigned int hostSize, unsigned short& port, char* path,
                         unsigned int pathSize);
    // Reads the response head up to and including the empty line, never a byte beyond it.
    // Returns its length, or 0 on failure.
    int ReadHeader(CTCPSocket* socket, char* buffer, unsigned int size);

private:
    char m_szLastError[128];
    CTCP* m_pTCP;
    unsigned int m_uiTimeoutMs;
};

#endif
