#include "support/Localhost.h"

#include <netdb.h>
#include <sys/socket.h>

const char kNoLocalhost[] = "this machine cannot resolve localhost (no /etc/hosts?): connecting by name is not tested";

bool LocalhostResolves() {
    // Asked of the system resolver, not of the code under test.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo("localhost", nullptr, &hints, &result) != 0 || !result) return false;
    freeaddrinfo(result);
    return true;
}
