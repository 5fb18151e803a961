// Splitting arbitrary URLs: every part fits its buffer, and the parts put back together give the
// URL again.
#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "http/CHTTPClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string url(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    char scheme[16];
    char host[64];
    char path[128];
    unsigned short port = 1;
    if (!CHTTPClient::ParseURL(url.c_str(), scheme, sizeof scheme, host, sizeof host, port, path, sizeof path))
        return 0;
    FUZZ_ASSERT(std::strlen(host) < sizeof host && std::strlen(path) < sizeof path &&
                std::strlen(scheme) < sizeof scheme);
    FUZZ_ASSERT(std::strpbrk(host, "/\\") == nullptr);
    // A colon only in an IPv6 address, which the URL writes in brackets.
    in6_addr address;
    const bool bracketed = std::strchr(host, ':') != nullptr;
    if (bracketed) FUZZ_ASSERT(inet_pton(AF_INET6, host, &address) == 1);
    const std::string hostText = bracketed ? "[" + std::string(host) + "]" : std::string(host);
    FUZZ_ASSERT(path[0] == '\0' || path[0] == '/' || path[0] == '\\');

    // Put back together: [scheme "://"] host [":" digits of the port] path.
    const std::size_t marker = url.find("://");
    const std::size_t hostStart = marker == std::string::npos ? 0 : marker + 3;
    if (marker != std::string::npos) FUZZ_ASSERT(url.compare(0, std::strlen(scheme), scheme) == 0);
    FUZZ_ASSERT(url.compare(hostStart, hostText.size(), hostText) == 0);
    const std::size_t portStart = hostStart + hostText.size();
    const std::size_t pathLength = std::strlen(path);
    FUZZ_ASSERT(url.size() >= portStart + pathLength);
    FUZZ_ASSERT(url.compare(url.size() - pathLength, pathLength, path) == 0);
    const std::string portText = url.substr(portStart, url.size() - pathLength - portStart);
    if (port == 0) {
        FUZZ_ASSERT(portText.empty());
    } else {
        FUZZ_ASSERT(portText.size() >= 2 && portText[0] == ':');
        FUZZ_ASSERT(std::stoul(portText.substr(1)) == port);
    }
    return 0;
}
