#ifndef MAD_BENCH_LATENCYPROXY_H
#define MAD_BENCH_LATENCYPROXY_H

#include <sys/types.h>
#include <string>

// Runs mad_bench_proxy in front of a loopback port for the life of this object: every chunk each
// way, and each new connection's handshake, costs the set delay. Owns the child process and ends
// it (SIGTERM, then reaps it) on destruction; the proxy also ends by itself after its time limit.
class LatencyProxy {
public:
    LatencyProxy(const std::string& executable, unsigned short upstreamPort, int delayMs, int timeLimitSeconds);
    ~LatencyProxy();
    LatencyProxy(const LatencyProxy&) = delete;
    LatencyProxy& operator=(const LatencyProxy&) = delete;

    // False when the proxy could not be started; Error() then says why.
    bool Running() const { return m_port != 0; }
    const std::string& Error() const { return m_error; }
    // "http://127.0.0.1:<proxy port>" + path.
    std::string Url(const std::string& path) const;

private:
    pid_t m_pid = -1;
    unsigned short m_port = 0;
    std::string m_error;
};

#endif
