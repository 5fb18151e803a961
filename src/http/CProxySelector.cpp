#include "http/CProxySelector.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Entries are separated by commas and by white space (a list in config.xml may put one a line).
constexpr const char* kSeparators = ", \t\r\n";

// A name as the DNS reads it: "example.org." (rooted) is "example.org".
std::string Unrooted(std::string name) {
    if (name.size() > 1 && name.back() == '.') name.pop_back();
    return name;
}

}  // namespace

const CProxy* CProxySelector::For(bool secure, const std::string& host) const {
    const std::optional<CProxy>& proxy = secure ? m_https : m_http;
    if (!proxy || GoesDirect(host)) return nullptr;
    return &*proxy;
}

bool CProxySelector::GoesDirect(const std::string& host) const {
    const std::string name = Unrooted(Lower(host));
    size_t begin = 0;
    while (begin <= m_noProxy.size()) {
        const size_t end = std::min(m_noProxy.find_first_of(kSeparators, begin), m_noProxy.size());
        std::string entry = Unrooted(Lower(m_noProxy.substr(begin, end - begin)));
        begin = end + 1;
        if (entry == "*") return true;
        if (entry.size() >= 2 && entry.front() == '[' && entry.back() == ']') entry = entry.substr(1, entry.size() - 2);
        if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
        if (entry.empty()) continue;
        if (name == entry) return true;
        // A suffix only on a label boundary: "example.com" covers "a.example.com", not "badexample.com".
        if (name.size() > entry.size() && name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
            name[name.size() - entry.size() - 1] == '.') {
            return true;
        }
    }
    return false;
}

std::vector<std::string> CProxySelector::Shown() const {
    std::vector<std::string> shown;
    if (m_http) shown.push_back(m_http->Display());
    if (m_https && !(m_http && *m_http == *m_https)) shown.push_back(m_https->Display());
    return shown;
}
