#include "http/CProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

namespace {

constexpr unsigned short kDefaultProxyPort = 1080;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Undoes percent-encoding, which lets a user or password hold ':' or '@'; false for a bad escape.
bool Decode(const std::string& text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

bool ParsePort(const std::string& text, unsigned short& port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned int>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<unsigned short>(value);
    return true;
}

std::string Base64(const std::string& bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned int group = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[group & 63] : '=';
    }
    return out;
}

}  // namespace

bool CProxy::Parse(const std::string& text, CProxy& proxy) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    }
    std::string rest = text;
    const size_t marker = rest.find("://");
    if (marker != std::string::npos) {
        if (strcasecmp(rest.substr(0, marker).c_str(), "http") != 0) return false;
        rest.erase(0, marker + 3);
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find('/') != std::string::npos) return false;

    CProxy parsed;
    const size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        const std::string userInfo = rest.substr(0, at);
        const size_t colon = userInfo.find(':');
        if (!Decode(userInfo.substr(0, colon), parsed.m_user)) return false;
        if (colon != std::string::npos && !Decode(userInfo.substr(colon + 1), parsed.m_password)) return false;
        parsed.m_hasUser = true;
        rest.erase(0, at + 1);
    }
    std::string port;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) return false;
        parsed.m_host = rest.substr(1, close - 1);
        in6_addr address{};
        if (::inet_pton(AF_INET6, parsed.m_host.c_str(), &address) != 1) return false;
        const std::string after = rest.substr(close + 1);
        if (!after.empty() && after.front() != ':') return false;
        if (!after.empty()) port = after.substr(1);
        if (!after.empty() && port.empty()) return false;
    } else {
        const size_t colon = rest.find(':');
        parsed.m_host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            port = rest.substr(colon + 1);
            if (port.empty()) return false;
        }
    }
    if (parsed.m_host.empty() || parsed.m_host.find_first_of(" @") != std::string::npos) return false;
    parsed.m_port = kDefaultProxyPort;
    if (!port.empty() && !ParsePort(port, parsed.m_port)) return false;
    proxy = std::move(parsed);
    return true;
}

std::string CProxy::Authorization() const {
    return m_hasUser ? "Basic " + Base64(m_user + ":" + m_password) : std::string();
}

std::string CProxy::Display() const {
    const bool bracketed = m_host.find(':') != std::string::npos;
    std::string text = "http://";
    if (m_hasUser) text += m_user + ":***@";
    text += (bracketed ? "[" + m_host + "]" : m_host) + ":" + std::to_string(m_port);
    return text;
}

bool CProxy::operator==(const CProxy& other) const {
    return m_host == other.m_host && m_port == other.m_port && m_hasUser == other.m_hasUser && m_user == other.m_user &&
           m_password == other.m_password;
}
