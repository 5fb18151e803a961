#include "support/LoopbackPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// The loopback address as a socket address of its family, at port.
socklen_t LoopbackAddress(const std::string& address, unsigned short port, sockaddr_storage& storage) {
    storage = sockaddr_storage{};
    if (address.find(':') != std::string::npos) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        ::inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr);
        return sizeof v6;
    }
    auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &v4.sin_addr);
    return sizeof v4;
}

unsigned short PickFreePort(const std::string& address) {
    sockaddr_storage addr{};
    socklen_t len = LoopbackAddress(address, 0, addr);
    int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    unsigned short port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        // The port sits at the same place in both families.
        port = ntohs(reinterpret_cast<sockaddr_in&>(addr).sin_port);
    }
    ::close(fd);
    return port;
}

bool Accepts(const std::string& address, unsigned short port) {
    sockaddr_storage addr{};
    const socklen_t len = LoopbackAddress(address, port, addr);
    int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    ::close(fd);
    return ok;
}
