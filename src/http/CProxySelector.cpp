#include "http/CProxySelector.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trim(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

}  // namespace

const CProxy* CProxySelector::For(bool secure, const std::string& host) const {
    const std::optional<CProxy>& proxy = secure ? m_https : m_http;
    if (!proxy || GoesDirect(host)) return nullptr;
    return &*proxy;
}

bool CProxySelector::GoesDirect(const std::string& host) const {
    const std::string name = Lower(host);
    size_t begin = 0;
    while (begin <= m_noProxy.size()) {
        const size_t end = std::min(m_noProxy.find(',', begin), m_noProxy.size());
        std::string entry = Lower(Trim(m_noProxy.substr(begin, end - begin)));
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
