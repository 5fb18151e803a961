#ifndef MAD_TCP_CTCPIMPL_H
#define MAD_TCP_CTCPIMPL_H

#include <memory>

#include "tcp/CTCP.h"

class CTLSContext;

// The factory of client sockets (IPv6 and IPv4), plain and TLS. Keeps no list of the sockets it
// made: each one belongs to the caller that asked for it. Never makes a server socket. TLS sockets share
// one TLS context with the factory (and with other factories handed the same context); without
// one set, the first TLS socket brings a context that trusts the system's store only. Cheap to
// construct: nothing is loaded until a TLS socket is asked for.
class CTCPImpl final : public CTCP {
public:
    CTCPImpl();
    CTCPImpl(const CTCPImpl&) = delete;
    CTCPImpl& operator=(const CTCPImpl&) = delete;

    // A new socket in the ready state (a descriptor held, not connected), owned by the caller;
    // null with "Creating socket failed: <reason>" in GetLastError when the platform refuses a socket.
    CTCPClientSocket* CreateClient() override;
    CTCPServerSocket* CreateServer() override;
    void DestroyClient(CTCPClientSocket* socket) override;
    void DestroyServer(CTCPServerSocket* socket) override;
    const char* GetLastError() const override;
    CNetError GetLastErrorKind() const override;
    // A new TLS socket in the ready state, owned by the caller; null as CreateClient.
    CTCPClientSocket* CreateTLSClient() override;

    // The TLS context of the sockets made from now on (null: the default one again).
    void SetTLSContext(std::shared_ptr<const CTLSContext> context);
    const std::shared_ptr<const CTLSContext>& TLSContext();

    // Kept for symmetry with other factories; there is nothing to set up or reset.
    bool Initialize();
    void Reset();

private:
    char m_szLastError[128];
    CNetError m_error;
    std::shared_ptr<const CTLSContext> m_tlsContext;
};

#endif
