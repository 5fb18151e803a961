#include "support/NginxServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#include "support/LoopbackPort.h"

namespace {

std::string Config(const std::string& prefix, const std::string& root, const std::string& host, unsigned short port,
                   const std::string& server) {
    std::string conf;
    // A root master would hand the workers to "nobody", who may not read a private temp dir.
    if (::geteuid() == 0) conf += "user root;\n";
    conf += "daemon off;\nworker_processes 1;\n";
    conf += "pid " + prefix + "/nginx.pid;\n";
    conf += "error_log " + prefix + "/error.log;\n";
    conf += "events { worker_connections 256; }\n";
    conf += "http {\n";
    // The usual line, then "c" and the connection's serial number, then "r" for a request on a
    // resumed TLS session ("." for a full handshake).
    conf +=
        "  log_format resumed '$remote_addr - $remote_user [$time_local] \"$request\" $status "
        "$body_bytes_sent \"$http_referer\" \"$http_user_agent\" c$connection $ssl_session_reused';\n";
    conf += "  access_log " + prefix + "/access.log resumed;\n";
    for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        conf += std::string("  ") + kind + "_temp_path " + prefix + "/" + kind + ";\n";
    }
    conf += "  default_type application/octet-stream;\n  sendfile on;\n";
    conf += "  server {\n    listen " + host + ":" + std::to_string(port) + server;
    conf += "    root " + root + ";\n  }\n}\n";
    return conf;
}

}  // namespace

NginxServer::NginxServer(std::string documentRoot) : m_root(std::move(documentRoot)) {}

NginxServer::~NginxServer() { Stop(); }

void NginxServer::UseTLS(const std::string& certificate, const std::string& key) {
    m_certificate = certificate;
    m_key = key;
}

void NginxServer::ListenOn(const std::string& address) { m_address = address; }

std::string NginxServer::Host() const {
    return m_address.find(':') != std::string::npos ? "[" + m_address + "]" : m_address;
}

void NginxServer::AddServerConfig(const std::string& directives) { m_extra += "    " + directives + "\n"; }

bool NginxServer::Start() {
    Stop();
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = PickFreePort(m_address);
        if (m_port == 0) {
            m_error = "no free loopback port";
            continue;
        }
        const std::string confPath = m_prefix.File("nginx.conf");
        std::string server = m_certificate.empty() ? ";\n" : " ssl;\n";
        if (!m_certificate.empty()) {
            // Both versions real servers speak; the packaged default offers TLS 1.2 only.
            server += "    ssl_certificate " + m_certificate + ";\n    ssl_certificate_key " + m_key +
                      ";\n    ssl_protocols TLSv1.2 TLSv1.3;\n";
        }
        WriteFile(confPath, Config(m_prefix.Path(), m_root, Host(), m_port, server + m_extra));
        pid_t pid = fork();
        if (pid < 0) {
            m_error = "fork failed";
            return false;
        }
        if (pid == 0) {
            int devNull = ::open("/dev/null", O_RDWR);
            dup2(devNull, 0);
            dup2(devNull, 1);
            dup2(devNull, 2);
            std::string errorLog = m_prefix.File("error.log");
            execl(MAD_NGINX_BINARY, "nginx", "-p", m_prefix.Path().c_str(), "-e", errorLog.c_str(), "-c",
                  confPath.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        m_pid = pid;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                m_error = "nginx exited at start-up: " + ReadFile(m_prefix.File("error.log"));
                break;
            }
            if (Accepts(m_address, m_port)) {
                m_error.clear();
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Stop();
    }
    if (m_error.empty()) m_error = "nginx did not start accepting connections";
    return false;
}

void NginxServer::Stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
}

std::string NginxServer::Url(const std::string& path) const {
    return (m_certificate.empty() ? "http://" : "https://") + Host() + ":" + std::to_string(m_port) + path;
}

std::string NginxServer::AccessLog() const { return ReadFile(m_prefix.File("access.log")); }
