#include "support/FaultServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace {

constexpr size_t kMaxRequestHead = 64 * 1024;
constexpr int kRequestWaitMs = 5000;

// Whether the handler now running on this thread reset its connection.
thread_local bool t_wasReset = false;

// Reads up to the empty line that ends the request head, within a bounded size and time.
std::string ReadRequestHead(int fd) {
    std::string head;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestWaitMs);
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHead) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
        char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        head.append(buffer, static_cast<size_t>(n));
    }
    return head;
}

}  // namespace

FaultServer::FaultServer(Handler handler, bool readRequest, bool concurrent, const std::string& address,
                         unsigned short port)
    : m_handler(std::move(handler)), m_readRequest(readRequest), m_concurrent(concurrent) {
    const bool v6 = address.find(':') != std::string::npos;
    m_host = v6 ? "[" + address + "]" : address;
    sockaddr_storage storage{};
    socklen_t len = 0;
    if (v6) {
        auto& addr = reinterpret_cast<sockaddr_in6&>(storage);
        addr.sin6_family = AF_INET6;
        addr.sin6_port = htons(port);
        if (::inet_pton(AF_INET6, address.c_str(), &addr.sin6_addr) != 1) throw std::runtime_error("bad address");
        len = sizeof addr;
    } else {
        auto& addr = reinterpret_cast<sockaddr_in&>(storage);
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) throw std::runtime_error("bad address");
        len = sizeof addr;
    }
    m_listenFd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) throw std::runtime_error("socket failed");
    int one = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (v6) ::setsockopt(m_listenFd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&storage), len) != 0 || ::listen(m_listenFd, 16) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&storage), &len) != 0) {
        ::close(m_listenFd);
        throw std::runtime_error("cannot listen on " + address);
    }
    m_port = ntohs(v6 ? reinterpret_cast<sockaddr_in6&>(storage).sin6_port
                      : reinterpret_cast<sockaddr_in&>(storage).sin_port);
    m_thread = std::thread([this] { Run(); });
}

FaultServer::~FaultServer() {
    m_stopping = true;
    {
        // A handler blocked reading a connection the test still holds open would never return.
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int fd : m_activeFds) ::shutdown(fd, SHUT_RDWR);
    }
    m_thread.join();
    for (std::thread& thread : m_connectionThreads) thread.join();
    ::close(m_listenFd);
}

std::string FaultServer::Url(const std::string& path) const {
    return "http://" + m_host + ":" + std::to_string(m_port) + path;
}

std::vector<std::string> FaultServer::Requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

bool FaultServer::SendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

void FaultServer::Reset(int fd) {
    linger lin{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_activeFds.erase(fd);
        ::close(fd);
    }
    t_wasReset = true;
}

void FaultServer::WaitUntilStopped() {
    while (!m_stopping) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void FaultServer::Run() {
    while (!m_stopping) {
        pollfd pfd{m_listenFd, POLLIN, 0};
        if (::poll(&pfd, 1, 20) <= 0) continue;
        int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++m_connections;
        if (m_concurrent)
            m_connectionThreads.emplace_back([this, fd] { Serve(fd); });
        else
            Serve(fd);
    }
}

void FaultServer::Serve(int fd) {
    std::string request;
    if (m_readRequest) {
        request = ReadRequestHead(fd);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(request);
    }
    t_wasReset = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) {
            ::close(fd);
            return;
        }
        m_activeFds.insert(fd);
    }
    m_handler(*this, fd, request);
    if (!t_wasReset) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_activeFds.erase(fd);
        ::close(fd);
    }
}
