#include "http/CHTTPClient.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>

#include "http/CHTTPResponse.h"
#include "fs/CAtomicFile.h"
#include "tcp/CTCP.h"
#include "tcp/CTCPClientSocket.h"
#include "tcp/TCPErrorTexts.h"

namespace {

constexpr unsigned int kDefaultTimeoutMs = 30000;
constexpr unsigned int kSchemeSize = 64;
constexpr unsigned int kHostSize = 256;
constexpr unsigned int kPathSize = 1024;
constexpr unsigned int kTargetSize = 1024;
constexpr unsigned int kRequestSize = 2048;
constexpr unsigned int kHeadSize = 2048;
// Large enough that a fast loopback transfer costs few system calls; the memory is constant.
constexpr int kBodyChunk = 1024 * 1024;

struct SocketDeleter {
    void operator()(CTCPClientSocket* socket) const { delete socket; }
};
using SocketPtr = std::unique_ptr<CTCPClientSocket, SocketDeleter>;

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

// Names the file and the system's reason; the file by its last part when the whole text would not
// fit the last-error text, so the reason always shows.
std::string WriteFailure(const char* destination, const CAtomicFile& file) {
    const std::string name = destination != nullptr ? destination : "";
    const std::string reason = file.ErrorText();
    std::string text = "Unable to write destination file " + name + ": " + reason;
    if (text.size() >= 128) {
        const std::size_t slash = name.rfind('/');
        text = "Unable to write destination file " + name.substr(slash == std::string::npos ? 0 : slash + 1) +
               ": " + reason;
    }
    return text;
}

bool IsTimeout(const CTCPClientSocket& socket) {
    return std::strcmp(socket.GetLastError(), tcp_text::kTimedOut) == 0;
}

}  // namespace

CHTTPClient::CHTTPClient(CTCP* tcp) : m_szLastError{}, m_pTCP(tcp), m_uiTimeoutMs(kDefaultTimeoutMs) {}

const char* CHTTPClient::GetLastError() const { return m_szLastError; }

void CHTTPClient::SetTimeout(unsigned int milliseconds) { m_uiTimeoutMs = milliseconds; }

bool CHTTPClient::Fail(const char* text) {
    std::snprintf(m_szLastError, sizeof m_szLastError, "%s", text);
    return false;
}

bool CHTTPClient::ParseURL(const char* url, char* scheme, unsigned int schemeSize, char* host,
                           unsigned int hostSize, unsigned short& port, char* path, unsigned int pathSize) {
    if (url == nullptr || scheme == nullptr || host == nullptr || path == nullptr || schemeSize == 0 ||
        hostSize == 0 || pathSize == 0) {
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
    const char* colon = static_cast<const char*>(std::memchr(rest, ':', static_cast<size_t>(hostEnd - rest)));
    if (colon != nullptr && !ParsePort(colon + 1, hostEnd, port)) return false;
    // A cut host or path would name another server or another file: refuse instead.
    if (!CopyWhole(rest, colon != nullptr ? colon : hostEnd, host, hostSize)) return false;
    if (separator != nullptr && !CopyWhole(separator, separator + std::strlen(separator), path, pathSize)) {
        return false;
    }
    return true;
}

bool CHTTPClient::BuildRequest(const char* host, unsigned short port, const char* path, char* request,
                               unsigned int size) {
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
    const int written =
        port == 80
            ? std::snprintf(request, size, "GET %s HTTP/1.0\r\nHost: %s\r\nUser-Agent: XOVRA_SERVER_10\r\n\r\n",
                            target, host)
            : std::snprintf(request, size,
                            "GET %s HTTP/1.0\r\nHost: %s:%d\r\nUser-Agent: XOVRA_SERVER_10\r\n\r\n", target,
                            host, static_cast<int>(port));
    return written >= 0 && static_cast<unsigned int>(written) < size;
}

int CHTTPClient::ReadHeader(CTCPSocket* socket, char* buffer, unsigned int size) {
    // One byte per receive: no byte of the body is ever taken with the head.
    const unsigned int limit = std::min(size, static_cast<unsigned int>(INT_MAX));
    bool previousCR = false;
    int pairs = 0;
    for (unsigned int stored = 0; stored < limit;) {
        char byte = 0;
        if (socket->ReadBuffer(&byte, 1) != 1) return 0;
        buffer[stored++] = byte;
        if (byte == '\r') {
            previousCR = true;
        } else if (byte == '\n') {
            if (previousCR) ++pairs;
            previousCR = false;
            if (pairs == 2) return static_cast<int>(stored);
        } else {
            previousCR = false;
            pairs = 0;
        }
    }
    return 0;
}

bool CHTTPClient::Get(const char* url, const char* destination) {
    char scheme[kSchemeSize];
    char host[kHostSize];
    char path[kPathSize];
    unsigned short port = 0;
    if (!ParseURL(url, scheme, sizeof scheme, host, sizeof host, port, path, sizeof path)) {
        return Fail("Invalid URL");
    }
    if (port == 0) port = 80;
    if (scheme[0] != '\0' && strcasecmp(scheme, "http") != 0) return Fail("Unsupported protocol");
    if (host[0] == '\0') return Fail("No hostname within the URL");
    // Built before connecting: a request that cannot be sent is not worth a connection.
    char request[kRequestSize];
    if (!BuildRequest(host, port, path, request, sizeof request)) return Fail("Invalid URL");

    SocketPtr socket(m_pTCP->CreateClient());
    if (!socket) return Fail(m_pTCP->GetLastError());
    socket->SetTimeout(m_uiTimeoutMs);
    if (!socket->Connect(host, port)) return Fail(socket->GetLastError());
    if (!SendRequest(*socket, request)) return false;

    char head[kHeadSize];
    const int headLength = ReadHeader(socket.get(), head, sizeof head);
    if (headLength == 0) {
        return Fail(IsTimeout(*socket) ? tcp_text::kTimedOut : "Failed reading out response");
    }
    CHTTPResponse response;
    if (!response.Parse(head, static_cast<unsigned int>(headLength))) return Fail("Parsing response failed");
    if (response.GetErrorCode() != 200) {
        std::snprintf(m_szLastError, sizeof m_szLastError, "%u - %s",
                      static_cast<unsigned int>(response.GetErrorCode()), response.GetErrorDescription());
        return false;
    }
    return ReceiveBody(*socket, head, headLength, destination);
}

bool CHTTPClient::SendRequest(CTCPClientSocket& socket, const char* request) {
    const char* next = request;
    int left = static_cast<int>(std::strlen(request));
    while (left > 0) {
        const int sent = socket.WriteBuffer(next, left);
        if (sent <= 0) return Fail(IsTimeout(socket) ? tcp_text::kTimedOut : "Error writing to socket");
        next += sent;
        left -= sent;
    }
    return true;
}

bool CHTTPClient::ReceiveBody(CTCPClientSocket& socket, const char* head, int headLength,
                              const char* destination) {
    CAtomicFile file(destination != nullptr ? destination : "");
    if (destination == nullptr || !file.Open()) return Fail(WriteFailure(destination, file).c_str());

    unsigned long long expected = 0;
    const bool hasLength = CHTTPResponse::FindContentLength(head, static_cast<unsigned int>(headLength), expected);
    const auto buffer = std::make_unique<char[]>(kBodyChunk);
    unsigned long long received = 0;
    // Stop at Content-Length without waiting for the close; without one, read until the close.
    while (!hasLength || received < expected) {
        int want = kBodyChunk;
        if (hasLength) want = static_cast<int>(std::min<unsigned long long>(kBodyChunk, expected - received));
        const int got = socket.ReadBuffer(buffer.get(), want);
        if (got > 0) {
            if (!file.Write(buffer.get(), static_cast<size_t>(got))) return Fail(WriteFailure(destination, file).c_str());
            received += static_cast<unsigned long long>(got);
            continue;
        }
        // The last receive succeeded and emptied the socket's text: a text now names a failure,
        // its absence means the server closed the connection cleanly.
        if (IsTimeout(socket)) return Fail(tcp_text::kTimedOut);
        if (socket.GetLastError()[0] != '\0') return Fail("Connection lost while reading the response body");
        if (hasLength) {
            std::snprintf(m_szLastError, sizeof m_szLastError, "Incomplete response body: %llu of %llu bytes",
                          received, expected);
            return false;
        }
        break;
    }
    if (!file.Commit()) return Fail(WriteFailure(destination, file).c_str());
    return true;
}
