#ifndef MAD_TESTS_NGINXSERVER_H
#define MAD_TESTS_NGINXSERVER_H

#include <sys/types.h>
#include <string>

#include "support/TempDir.h"

// A real nginx serving a directory on a free loopback port, in its own temporary prefix.
// Start() launches it in the foreground as a child process and waits until it accepts
// connections; the destructor stops it. Nothing outside the prefix and the document root is touched.
class NginxServer {
public:
    explicit NginxServer(std::string documentRoot);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // Before Start: serve https with this certificate and key (PEM files) instead of http.
    void UseTLS(const std::string& certificate, const std::string& key);
    // Before Start: listen on this loopback address ("127.0.0.1", the default, or "::1").
    void ListenOn(const std::string& address);
    // Before Start: directives added inside the server block, e.g. "location /a { return 301 /b; }".
    void AddServerConfig(const std::string& directives);
    // False (with Error() telling why) when nginx could not be started.
    bool Start();
    void Stop();
    unsigned short Port() const { return m_port; }
    // "http://127.0.0.1:<port>" + path (path starts with "/"), "http://[::1]:<port>" + path on
    // IPv6; "https://..." with TLS.
    std::string Url(const std::string& path) const;
    const std::string& Error() const { return m_error; }
    // Contents of the access log (one line per request, the request line in quotes, and last "r"
    // when the request came on a resumed TLS session, "." or nothing otherwise).
    std::string AccessLog() const;

private:
    // The address as a URL and a listen directive write it.
    std::string Host() const;

    std::string m_root;
    std::string m_certificate;
    std::string m_key;
    std::string m_extra;
    std::string m_address = "127.0.0.1";
    TempDir m_prefix;
    unsigned short m_port = 0;
    pid_t m_pid = -1;
    std::string m_error;
};

#endif
