#ifndef MAD_TCP_CTCP_H
#define MAD_TCP_CTCP_H

#include "tcp/CNetError.h"

class CTCPClientSocket;
class CTCPServerSocket;

// Factory of TCP client sockets, plain or TLS. Never destroyed through this interface (no virtual
// destructor): its owner destroys the implementation class.
class CTCP {
public:
    // A new unconnected client socket owned by the caller, or null with a last-error text.
    virtual CTCPClientSocket* CreateClient() = 0;
    // Always null: there is no server side.
    virtual CTCPServerSocket* CreateServer() = 0;
    // Delete the socket; null is ignored.
    virtual void DestroyClient(CTCPClientSocket* socket) = 0;
    virtual void DestroyServer(CTCPServerSocket* socket) = 0;
    virtual const char* GetLastError() const = 0;
    // The kind of the failure GetLastError tells of.
    virtual CNetError GetLastErrorKind() const = 0;
    // A new unconnected TLS client socket owned by the caller, or null with a last-error text.
    virtual CTCPClientSocket* CreateTLSClient() = 0;

protected:
    ~CTCP() = default;
};

#endif
