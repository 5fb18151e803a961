#ifndef MAD_TESTS_PROXYSERVER_H
#define MAD_TESTS_PROXYSERVER_H

#include <sys/types.h>
#include <string>

#include "support/TempDir.h"

// A real HTTP proxy from the system (squid or tinyproxy) on a free loopback port, in its own
// temporary prefix with its own configuration: plain requests and CONNECT tunnels to any port,
// from loopback only. Start() launches it in the foreground as a child process and waits until
// it accepts connections; the destructor stops it. Nothing outside the prefix is touched.
class ProxyServer {
public:
    enum class Kind { Squid, Tinyproxy };

    explicit ProxyServer(Kind kind);
    ~ProxyServer();
    ProxyServer(const ProxyServer&) = delete;
    ProxyServer& operator=(const ProxyServer&) = delete;

    // Before Start: only requests with these credentials (Basic) are let through; others get 407.
    void RequireCredentials(const std::string& user, const std::string& password);
    // False (with Error() telling why) when the proxy could not be started.
    bool Start();
    void Stop();
    unsigned short Port() const { return m_port; }
    const std::string& Error() const { return m_error; }
    // What the proxy logged: squid's access log, tinyproxy's log.
    std::string Log() const;

private:
    std::string Configuration() const;

    Kind m_kind;
    std::string m_user;
    std::string m_password;
    TempDir m_prefix;
    unsigned short m_port = 0;
    pid_t m_pid = -1;
    std::string m_error;
};

#endif
