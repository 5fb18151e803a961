#include "http/CHTTPResponse.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <strings.h>

namespace {

bool IsLineEnd(char c) { return c == '\r' || c == '\n' || c == '\0'; }

// The token starting at pos after leading spaces, up to the next space or the line end.
// Returns the position just after the token.
size_t TakeToken(const std::string& text, size_t pos, size_t lineEnd, std::string& token) {
    while (pos < lineEnd && text[pos] == ' ') ++pos;
    const size_t start = pos;
    while (pos < lineEnd && text[pos] != ' ') ++pos;
    token.assign(text, start, pos - start);
    return pos;
}

// Decimal conversion with the leniency of atoi (white space, sign, digits up to the first
// other byte, 0 without digits); a value outside int gives 0 instead of undefined behaviour.
int ToStatusCode(const std::string& token) {
    size_t pos = 0;
    while (pos < token.size() && (token[pos] == '\t' || token[pos] == '\v' || token[pos] == '\f')) ++pos;
    bool negative = false;
    if (pos < token.size() && (token[pos] == '+' || token[pos] == '-')) negative = token[pos++] == '-';
    long long value = 0;
    for (; pos < token.size() && token[pos] >= '0' && token[pos] <= '9'; ++pos) {
        value = value * 10 + (token[pos] - '0');
        if (value > INT_MAX) return 0;
    }
    return static_cast<int>(negative ? -value : value);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Parses "<blanks>digits<blanks>" exactly; false for anything else or a value past 2^63.
bool ParseDecimal(const char* begin, const char* end, unsigned long long& value) {
    while (begin < end && IsBlank(*begin)) ++begin;
    while (end > begin && IsBlank(end[-1])) --end;
    if (begin == end) return false;
    value = 0;
    for (const char* p = begin; p < end; ++p) {
        if (*p < '0' || *p > '9') return false;
        if (value > (ULLONG_MAX / 2 - 9) / 10) return false;
        value = value * 10 + static_cast<unsigned long long>(*p - '0');
    }
    return true;
}

}  // namespace

CHTTPResponse::CHTTPResponse() : m_iErrorCode(0), m_szErrorDescription{}, m_iProtocolVersion(0) {}

bool CHTTPResponse::Parse(const char* head, unsigned int length) {
    if (head == nullptr) return false;
    // Work on a NUL-terminated copy: the head is not terminated, and a NUL inside it ends the text.
    const std::string copy(head, strnlen(head, length));

    size_t lineStart = 0;
    while (lineStart < copy.size() && (copy[lineStart] == '\r' || copy[lineStart] == '\n')) ++lineStart;
    if (lineStart == copy.size()) return false;
    size_t lineEnd = lineStart;
    while (lineEnd < copy.size() && !IsLineEnd(copy[lineEnd])) ++lineEnd;

    // The tokens are taken from the very first byte, so an empty line before the status line
    // makes the version token start with CR or LF, which matches no version.
    std::string version;
    std::string code;
    size_t pos = TakeToken(copy, 0, lineEnd, version);
    pos = TakeToken(copy, pos, lineEnd, code);
    if (version.empty() || code.empty() || pos >= lineEnd) return false;
    const std::string reason(copy, pos + 1, lineEnd - (pos + 1));
    if (reason.empty()) return false;

    if (strcasecmp(version.c_str(), "HTTP/1.0") == 0) {
        m_iProtocolVersion = 1;
    } else if (strcasecmp(version.c_str(), "HTTP/1.1") == 0) {
        m_iProtocolVersion = 2;
    } else {
        m_iProtocolVersion = 0;
        return false;
    }

    m_iErrorCode = ToStatusCode(code);
    if (m_iErrorCode == 0) return false;

    const size_t kept = std::min(reason.size(), sizeof m_szErrorDescription - 1);
    std::memcpy(m_szErrorDescription, reason.data(), kept);
    m_szErrorDescription[kept] = '\0';
    return true;
}

int CHTTPResponse::GetErrorCode() const { return m_iErrorCode; }

const char* CHTTPResponse::GetErrorDescription() const { return m_szErrorDescription; }

int CHTTPResponse::GetProtocolVersion() const { return m_iProtocolVersion; }

bool CHTTPResponse::FindContentLength(const char* head, unsigned int length, unsigned long long& contentLength) {
    static const char kName[] = "Content-Length:";
    const size_t nameLength = sizeof kName - 1;
    const char* const end = head + length;
    // Skip the status line: header lines follow its LF.
    const char* line = static_cast<const char*>(std::memchr(head, '\n', length));
    bool found = false;
    unsigned long long value = 0;
    while (line != nullptr && ++line < end) {
        const char* lineEnd = static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
        const char* valueEnd = lineEnd != nullptr ? lineEnd : end;
        if (valueEnd > line && valueEnd[-1] == '\r') --valueEnd;
        if (static_cast<size_t>(valueEnd - line) >= nameLength && strncasecmp(line, kName, nameLength) == 0) {
            unsigned long long candidate = 0;
            if (ParseDecimal(line + nameLength, valueEnd, candidate)) {
                if (found && candidate != value) return false;
                found = true;
                value = candidate;
            }
        }
        line = lineEnd;
    }
    if (found) contentLength = value;
    return found;
}
