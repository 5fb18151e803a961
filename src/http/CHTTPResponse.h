#ifndef MAD_HTTP_CHTTPRESPONSE_H
#define MAD_HTTP_CHTTPRESPONSE_H

// Judges the head of an HTTP response: protocol version, status code and reason phrase from
// the status line. Owns no memory between calls. Fields are meaningful only after Parse
// returned true.
class CHTTPResponse {
public:
    CHTTPResponse();

    // Reads the status line of the length bytes at head (need not be NUL-terminated).
    // True when the version is HTTP/1.0 or HTTP/1.1 (any letter case), the code is not 0 and a
    // reason phrase follows. A head that starts with CR or LF is rejected.
    bool Parse(const char* head, unsigned int length);
    int GetErrorCode() const;
    // The reason phrase, at most 255 characters.
    const char* GetErrorDescription() const;
    // 0 not recognised, 1 HTTP/1.0, 2 HTTP/1.1.
    int GetProtocolVersion() const;

    // The value of the Content-Length header among the header lines of the head (name in any
    // letter case). Only a plain decimal counts; false when there is none, when it is malformed
    // or too large, or when several disagree.
    static bool FindContentLength(const char* head, unsigned int length, unsigned long long& contentLength);

private:
    int m_iErrorCode;
    char m_szErrorDescription[256];
    int m_iProtocolVersion;
};

#endif
