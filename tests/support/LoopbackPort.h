#ifndef MAD_TESTS_LOOPBACKPORT_H
#define MAD_TESTS_LOOPBACKPORT_H

#include <sys/socket.h>
#include <string>

// The loopback address ("127.0.0.1" or "::1") as a socket address of its family, at port.
socklen_t LoopbackAddress(const std::string& address, unsigned short port, sockaddr_storage& storage);
// A port that was free on address a moment ago (0 when none could be had); a server started on
// it may still lose a race for it, so servers retry with another.
unsigned short PickFreePort(const std::string& address);
// Whether something accepts connections at address:port now.
bool Accepts(const std::string& address, unsigned short port);

#endif
