#ifndef MAD_TCP_CTCPIMPL_H
#define MAD_TCP_CTCPIMPL_H

#include "tcp/CTCP.h"

// The factory of IPv4 client sockets. Keeps no list of the sockets it made: each one belongs
// to the caller that asked for it. Never makes a server socket.
class CTCPImpl final : public CTCP {
public:
    CTCPImpl();
    CTCPImpl(const CTCPImpl&) = delete;
    CTCPImpl& operator=(const CTCPImpl&) = delete;

    // A new socket in the ready state (a descriptor held, not connected), owned by the caller;
    // null with "Creating socket failed" in GetLastError when the platform refuses a socket.
    CTCPClientSocket* CreateClient() override;
    CTCPServerSocket* CreateServer() override;
    void DestroyClient(CTCPClientSocket* socket) override;
    void DestroyServer(CTCPServerSocket* socket) override;
    const char* GetLastError() const override;

    // Kept for symmetry with other factories; there is nothing to set up or reset.
    bool Initialize();
    void Reset();

private:
    char m_szLastError[128];
};

#endif
