#ifndef MAD_TCP_CTCPCLIENTSOCKET_H
#define MAD_TCP_CTCPCLIENTSOCKET_H

#include <functional>

#include "tcp/CNetError.h"
#include "tcp/CTCPSocket.h"

// A TCP client connection over IPv6 or IPv4 (plain, or TLS on top). Owned by whoever asked the
// factory for it.
class CTCPClientSocket : public CTCPSocket {
public:
    // Resolves host (a name, a dotted IPv4 address or an IPv6 address without brackets) and
    // connects to the first of its addresses that accepts; a connected socket is disconnected first. False with a
    // last-error text on failure.
    virtual bool Connect(const char* host, unsigned short port) = 0;
    // Resolves host and starts connecting without waiting for the handshake, so that it runs
    // while the caller does other work; the next Connect to the same host and port only waits
    // for it to finish (within the time-out). False with a last-error text when it cannot be
    // started. Sockets that cannot connect ahead do nothing here: Connect then does it all.
    virtual bool StartConnect(const char* /*host*/, unsigned short /*port*/) { return true; }
    // Makes every later Connect (and StartConnect) go through the HTTP proxy at proxyHost:proxyPort:
    // the TCP connection goes to the proxy, which is asked with "CONNECT host:port HTTP/1.0" to
    // open a tunnel to the host and port Connect names; bytes then flow through the tunnel (a TLS
    // socket shakes hands with that host inside it). authorization, when not empty, goes as the
    // Proxy-Authorization value. Connect then also fails with "Failed to establish connection with
    // proxy" when the proxy cannot be reached or does not answer, and "Proxy refused: <status> -
    // <reason>" when it answers with a status that is not 2xx. An empty proxyHost connects direct.
    virtual void SetTunnel(const char* proxyHost, unsigned short proxyPort, const char* authorization) = 0;
    // Fixes the connected socket's receive buffer at about bytes, so that the system no longer
    // grows it: a reader that takes bytes slowly then holds the sender back sooner. False when
    // it could not be set (or the socket does not support it); the connection works on.
    virtual bool LimitReceiveBuffer(int /*bytes*/) { return false; }
    // Closes the connection and takes a fresh socket for another Connect.
    virtual bool Disconnect() = 0;
    virtual bool IsConnected() const = 0;
    virtual const char* GetLastError() const = 0;
    // The kind of the failure GetLastError tells of, set and cleared with the text.
    virtual CNetError GetLastErrorKind() const = 0;
    // Bounds each call: connecting, and every single send and receive; 0 waits forever.
    virtual void SetTimeout(unsigned int milliseconds) = 0;
    // Asked at least every 200 ms while a call waits, time-out 0 included: once it answers
    // true the call fails with "Stopped". Empty (the default) never stops.
    virtual void SetStopCheck(std::function<bool()> stopRequested) = 0;
};

#endif
