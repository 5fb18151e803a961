#ifndef MAD_HTTP_CPROXYSELECTOR_H
#define MAD_HTTP_CPROXYSELECTOR_H

#include <optional>
#include <string>
#include <vector>

#include "http/CProxy.h"

// Which proxy, if any, a request goes through: one for http URLs, one for https URLs, and a list
// of hosts that always go direct. A plain value; the default sends everything direct.
class CProxySelector {
public:
    void SetHttp(std::optional<CProxy> proxy) { m_http = std::move(proxy); }
    void SetHttps(std::optional<CProxy> proxy) { m_https = std::move(proxy); }
    // Host names, domain suffixes ("example.com" and ".example.com" both match the name itself
    // and every name under it) and addresses separated by commas or white space, or "*" for every
    // host. Names compare without regard to case or a trailing dot; an IPv6 address may be
    // bracketed.
    void SetNoProxy(std::string list) { m_noProxy = std::move(list); }

    // The proxy for a request to host (as in the URL, without brackets); null to go direct.
    const CProxy* For(bool secure, const std::string& host) const;
    // Whether the no-proxy list sends host direct.
    bool GoesDirect(const std::string& host) const;

    // The proxies in use as an operator may see them: each distinct one once, the password as "***".
    std::vector<std::string> Shown() const;
    const std::string& NoProxy() const { return m_noProxy; }

    const std::optional<CProxy>& Http() const { return m_http; }
    const std::optional<CProxy>& Https() const { return m_https; }

private:
    std::optional<CProxy> m_http;
    std::optional<CProxy> m_https;
    std::string m_noProxy;
};

#endif
