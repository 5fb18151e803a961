#include "support/ProxyServer.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "support/LoopbackPort.h"

namespace {

// An htpasswd line for squid's basic_ncsa_auth, hashed by openssl; empty when openssl failed.
std::string PasswordLine(const std::string& user, const std::string& password) {
    const std::string command = "openssl passwd -apr1 '" + password + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return "";
    char hash[256] = {};
    const bool read = std::fgets(hash, sizeof hash, pipe) != nullptr;
    if (::pclose(pipe) != 0 || !read) return "";
    return user + ":" + hash;
}

// Squid as root hands its work to the unprivileged "proxy" user, which must then own the prefix.
void GiveToSquidUser(const std::string& prefix) {
    if (::geteuid() != 0) return;
    const passwd* user = ::getpwnam("proxy");
    if (user == nullptr) return;
    const std::string command = "chown -R " + std::to_string(user->pw_uid) + " '" + prefix + "'";
    if (std::system(command.c_str()) != 0) return;
}

}  // namespace

ProxyServer::ProxyServer(Kind kind) : m_kind(kind) {}

ProxyServer::~ProxyServer() { Stop(); }

void ProxyServer::RequireCredentials(const std::string& user, const std::string& password) {
    m_user = user;
    m_password = password;
}

std::string ProxyServer::Configuration() const {
    const std::string prefix = m_prefix.Path();
    const std::string port = std::to_string(m_port);
    std::string conf;
    if (m_kind == Kind::Tinyproxy) {
        conf += "Port " + port + "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\n";
        conf += "LogFile \"" + prefix + "/proxy.log\"\nPidFile \"" + prefix + "/proxy.pid\"\nLogLevel Connect\n";
        if (!m_user.empty()) conf += "BasicAuth " + m_user + " " + m_password + "\n";
        return conf;
    }
    conf += "http_port 127.0.0.1:" + port + "\n";
    conf += "pid_filename " + prefix + "/proxy.pid\ncache_log " + prefix + "/cache.log\n";
    conf += "access_log stdio:" + prefix + "/proxy.log\ncache_store_log none\ncoredump_dir " + prefix + "\n";
    conf += "netdb_filename none\npinger_enable off\nshutdown_lifetime 0 seconds\n";
    // Named here, squid does not look its host name up at start: without /etc/hosts (a minimal
    // root) each lookup waits for the resolver's time-outs, longer than a test waits for it.
    conf += "visible_hostname localhost\n";
    if (m_user.empty()) {
        conf += "http_access allow localhost\n";
    } else {
        conf += "auth_param basic program /usr/lib/squid/basic_ncsa_auth " + prefix + "/passwd\n";
        conf += "auth_param basic realm test\nacl users proxy_auth REQUIRED\nhttp_access allow localhost users\n";
    }
    conf += "http_access deny all\n";
    return conf;
}

bool ProxyServer::Start() {
    Stop();
    if (m_kind == Kind::Squid && !m_user.empty()) {
        const std::string line = PasswordLine(m_user, m_password);
        if (line.empty()) {
            m_error = "openssl passwd failed";
            return false;
        }
        WriteFile(m_prefix.File("passwd"), line);
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = PickFreePort("127.0.0.1");
        if (m_port == 0) {
            m_error = "no free loopback port";
            continue;
        }
        const std::string confPath = m_prefix.File("proxy.conf");
        WriteFile(confPath, Configuration());
        if (m_kind == Kind::Squid) GiveToSquidUser(m_prefix.Path());
        const std::string output = m_prefix.File("output.log");
        const pid_t pid = ::fork();
        if (pid < 0) {
            m_error = "fork failed";
            return false;
        }
        if (pid == 0) {
            const int devNull = ::open("/dev/null", O_RDONLY);
            const int log = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(devNull, 0);
            ::dup2(log, 1);
            ::dup2(log, 2);
            if (m_kind == Kind::Squid) {
                ::execl("/usr/sbin/squid", "squid", "-N", "-f", confPath.c_str(), static_cast<char*>(nullptr));
            } else {
                ::execl("/usr/bin/tinyproxy", "tinyproxy", "-d", "-c", confPath.c_str(), static_cast<char*>(nullptr));
            }
            ::_exit(127);
        }
        m_pid = pid;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                m_error = "the proxy exited at start-up: " + ReadFile(output);
                break;
            }
            if (Accepts("127.0.0.1", m_port)) {
                m_error.clear();
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Stop();
    }
    if (m_error.empty()) m_error = "the proxy did not start accepting connections";
    return false;
}

void ProxyServer::Stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    // Squid lingers for two seconds on its way out whatever its shutdown_lifetime says; what it
    // leaves is all in the prefix, and its helpers end when their input closes.
    for (int wait = 0; wait < 10; ++wait) {
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(m_pid, SIGKILL);
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
}

std::string ProxyServer::Log() const { return ReadFile(m_prefix.File("proxy.log")); }
