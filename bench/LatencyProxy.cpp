#include "LatencyProxy.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <vector>

LatencyProxy::LatencyProxy(const std::string& executable, unsigned short upstreamPort, int delayMs,
                           int timeLimitSeconds) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        m_error = "pipe failed";
        return;
    }
    const std::vector<std::string> argv = {executable, std::to_string(upstreamPort), std::to_string(delayMs),
                                           std::to_string(timeLimitSeconds)};
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(pipeFds[1], 1);
        ::execv(args[0], args.data());
        _exit(127);
    }
    ::close(pipeFds[1]);
    // The proxy's first line is its port.
    std::string line;
    char c = 0;
    while (m_pid > 0 && line.size() < 16) {
        const ssize_t got = ::read(pipeFds[0], &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || c == '\n') break;
        line.push_back(c);
    }
    ::close(pipeFds[0]);
    const long port = std::strtol(line.c_str(), nullptr, 10);
    if (port > 0 && port < 65536)
        m_port = static_cast<unsigned short>(port);
    else
        m_error = "cannot start " + executable;
}

LatencyProxy::~LatencyProxy() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
}

std::string LatencyProxy::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}
