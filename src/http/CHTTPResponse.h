#ifndef MAD_HTTP_CHTTPRESPONSE_H
#define MAD_HTTP_CHTTPRESPONSE_H

#include <string>

// Judges the head of an HTTP response: protocol version, status code and reason phrase from
// the status line. Owns no memory between calls. Fields are meaningful only after Parse
// returned true.
class CHTTPResponse {
public:
    CHTTPResponse();

    // Reads the status line of the length bytes at head (need not be NUL-terminated).
    // True when the version is HTTP/1.0 or HTTP/1.1 (any letter case) and the code is not 0; the
    // reason phrase may be empty. A head that starts with CR or LF is rejected.
    bool Parse(const char* head, unsigned int length);
    int GetErrorCode() const;
    // The reason phrase, at most 255 characters.
    const char* GetErrorDescription() const;
    // 0 not recognised, 1 HTTP/1.0, 2 HTTP/1.1.
    int GetProtocolVersion() const;

    enum class Length { Absent, Valid, Invalid };
    // The value of the Content-Length header among the header lines of the head (name in any
    // letter case). Valid sets contentLength; Invalid when a value is not a plain decimal, is too
    // large, or when several disagree (repeated equal values, also as a comma list, are one).
    static Length FindContentLength(const char* head, unsigned int length, unsigned long long& contentLength);
    // The value of the first header line named name (any letter case), blanks around it removed.
    static bool FindHeader(const char* head, unsigned int length, const char* name, std::string& value);
    // Whether a Transfer-Encoding header line names a coding other than "identity" (the old name
    // of no coding at all, which some servers still send).
    static bool IsTransferCoded(const char* head, unsigned int length);

private:
    int m_iErrorCode;
    char m_szErrorDescription[256];
    int m_iProtocolVersion;
};

#endif
