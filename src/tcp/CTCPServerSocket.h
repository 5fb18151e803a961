#ifndef MAD_TCP_CTCPSERVERSOCKET_H
#define MAD_TCP_CTCPSERVERSOCKET_H

// Named by the factory interface only: this program has no server side and never makes one.
class CTCPServerSocket {
public:
    virtual ~CTCPServerSocket() = default;
};

#endif
