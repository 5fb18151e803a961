#include "http/CHTTPResponse.h"

#include <strings.h>
#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

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
    if (version.empty() || code.empty()) return false;
    // Servers send an empty reason phrase, with or without the space before it.
    const std::string reason = pos < lineEnd ? copy.substr(pos + 1, lineEnd - (pos + 1)) : std::string();

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

namespace {

// Calls visit(valueBegin, valueEnd) for each header line of the head named name (any letter
// case), the value without the line end and without blanks around it.
template <typename Visit>
void ForEachHeader(const char* head, unsigned int length, const char* name, Visit visit) {
    const size_t nameLength = std::strlen(name);
    const char* const end = head + length;
    // Skip the status line: header lines follow its LF.
    const char* line = static_cast<const char*>(std::memchr(head, '\n', length));
    while (line != nullptr && ++line < end) {
        const char* lineEnd = static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
        const char* valueEnd = lineEnd != nullptr ? lineEnd : end;
        if (valueEnd > line && valueEnd[-1] == '\r') --valueEnd;
        if (static_cast<size_t>(valueEnd - line) > nameLength && line[nameLength] == ':' &&
            strncasecmp(line, name, nameLength) == 0) {
            const char* value = line + nameLength + 1;
            while (value < valueEnd && IsBlank(*value)) ++value;
            while (valueEnd > value && IsBlank(valueEnd[-1])) --valueEnd;
            visit(value, valueEnd);
        }
        line = lineEnd;
    }
}

}  // namespace

CHTTPResponse::Length CHTTPResponse::FindContentLength(const char* head, unsigned int length,
                                                       unsigned long long& contentLength) {
    Length result = Length::Absent;
    unsigned long long value = 0;
    ForEachHeader(head, length, "Content-Length", [&](const char* begin, const char* end) {
        // A list of equal values ("5, 5") is one length; anything else is not to be guessed at.
        for (const char* item = begin; result != Length::Invalid && item <= end;) {
            const char* comma = static_cast<const char*>(std::memchr(item, ',', static_cast<size_t>(end - item)));
            const char* itemEnd = comma != nullptr ? comma : end;
            unsigned long long candidate = 0;
            if (!ParseDecimal(item, itemEnd, candidate) || (result == Length::Valid && candidate != value)) {
                result = Length::Invalid;
            } else {
                result = Length::Valid;
                value = candidate;
            }
            item = itemEnd + 1;
        }
    });
    if (result == Length::Valid) contentLength = value;
    return result;
}

bool CHTTPResponse::FindHeader(const char* head, unsigned int length, const char* name, std::string& value) {
    bool found = false;
    ForEachHeader(head, length, name, [&](const char* begin, const char* end) {
        if (found) return;
        value.assign(begin, end);
        found = true;
    });
    return found;
}

bool CHTTPResponse::IsTransferCoded(const char* head, unsigned int length) {
    bool coded = false;
    ForEachHeader(head, length, "Transfer-Encoding", [&](const char* begin, const char* end) {
        const std::size_t size = static_cast<std::size_t>(end - begin);
        if (size != 8 || strncasecmp(begin, "identity", 8) != 0) coded = true;
    });
    return coded;
}
