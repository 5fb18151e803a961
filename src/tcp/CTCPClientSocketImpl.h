#ifndef MAD_TCP_CTCPCLIENTSOCKETIMPL_H
#define MAD_TCP_CTCPCLIENTSOCKETIMPL_H

#include <chrono>
#include <string>
#include <vector>

#include "tcp/CConnectRace.h"
#include "tcp/CTCPClientSocket.h"

// A TCP client socket over IPv6 or IPv4 that owns one close-on-exec descriptor (or none) and
// closes it on destruction. States: no socket, ready (descriptor held, not connected), connected.
// The descriptor held while ready becomes the first connection attempt's when its family fits,
// so a connection costs one socket; after a failed connect none is held until the next one,
// which makes it (and fails with "Creating socket failed: <reason>" when the system refuses).
// A host is a name, a dotted IPv4 address or an IPv6 address (no brackets). A name is resolved
// to all its addresses of both families, and they are raced as CConnectRace does: the first to
// accept is kept.
//
// Every call is bounded by the time-out (default 30 000 ms, 0 waits forever):
//  - Connect fails with "Name resolution timed out" or "Connection timed out" when resolving
//    the name or the handshake does not complete in time (each gets the whole time-out), and
//    through a tunnel with "Failed to establish connection with proxy" when the proxy's whole
//    answer to CONNECT does not come within one more;
//  - ReadBuffer and WriteBuffer fail with "Timed out waiting for the server" when the peer
//    neither sends nor accepts a byte in time.
// Waits are cut into slices of at most 200 ms and ask the stop check after each, so a stop
// request ends any call within about 200 ms with "Stopped", whatever the time-out.
// Other last-error texts: "Creating socket failed: <reason>", "No socket initialized", "Unable to
// resolve", "Failed to establish connection with server", "Not connected", "Recreating socket
// failed: <reason>", "Receive failed: <reason>", "Send failed: <reason>".
// A successful ReadBuffer or WriteBuffer empties the text; the peer closing the connection
// (ReadBuffer -1) and a send of nothing (WriteBuffer -1) leave it unchanged, so after a
// successful transfer an empty text beside -1 means the peer closed cleanly.
// Sends never raise SIGPIPE.
class CTCPClientSocketImpl final : public CTCPClientSocket {
public:
    CTCPClientSocketImpl();
    ~CTCPClientSocketImpl() override;
    CTCPClientSocketImpl(const CTCPClientSocketImpl&) = delete;
    CTCPClientSocketImpl& operator=(const CTCPClientSocketImpl&) = delete;

    // Creates the descriptor the first connection attempt will use; the factory calls it once,
    // right after construction.
    bool Initialize();

    int ReadBuffer(void* buffer, int size) override;
    int PeekBuffer(void* buffer, int size) override;
    int WriteBuffer(const void* data, int size) override;
    bool Connect(const char* host, unsigned short port) override;
    bool StartConnect(const char* host, unsigned short port) override;
    void SetTunnel(const char* proxyHost, unsigned short proxyPort, const char* authorization) override;
    bool Disconnect() override;
    bool IsConnected() const override;
    const char* GetLastError() const override;
    CNetError GetLastErrorKind() const override;
    void SetTimeout(unsigned int milliseconds) override;
    void SetStopCheck(std::function<bool()> stopRequested) override;
    bool LimitReceiveBuffer(int bytes) override;

    // ReadBuffer that tells the peer's close (0, text unchanged) from a failure (-1, with a text).
    int Receive(void* buffer, int size);

    // Looks a name up: every address (port 0) in order of preference, false when there is none.
    // Runs on a thread of its own, so it must not touch the socket.
    using Resolver = std::function<bool(const std::string& host, std::vector<CConnectRace::Address>& addresses)>;
    // Replaces the system's resolver (getaddrinfo) for names; numeric addresses never use it.
    void SetResolver(Resolver resolver);

private:
    enum class Wait { Ready, TimedOut, Stopped, Failed };

    // Receive with extra recv flags (MSG_PEEK to leave the bytes queued).
    int ReceiveWith(void* buffer, int size, int flags);
    void SetError(CNetError::Kind kind, const char* text, int code = 0);
    void SetErrorWithReason(CNetError::Kind kind, const char* prefix, int error);
    void ClearError();
    // The failure of a wait that did not end ready: timedOut's text on a time-out, "Stopped", or
    // failed's text when the wait itself failed.
    void SetWaitError(Wait wait, const char* timedOut, const char* failed);
    void CloseDescriptor();
    // A fresh descriptor held; false with "Creating socket failed: <reason>" when refused.
    bool CreateDescriptor();
    // Whether a descriptor is held; false with the text that says why not.
    bool HoldsDescriptor();
    // Replaces the held descriptor with a fresh one; false (none held) when the platform refuses.
    bool RecreateDescriptor();
    bool Stopping() const;
    // Waits until the descriptor is ready for events, the time-out passes or a stop is asked for.
    Wait WaitFor(short events) const;
    // Every address of host, bounded by the time-out and the stop check.
    bool Resolve(const char* host, std::vector<CConnectRace::Address>& addresses);
    // Resolves host and starts the race to connect to host:port; false with the last-error text
    // set. Finished: an attempt has connected already (and is now the held descriptor).
    bool BeginConnect(const char* host, unsigned short port, bool& finished);
    // Makes the race's winner the held descriptor; false when none won.
    bool TakeWinner();
    // Waits, bounded by the time-out, for the handshake BeginConnect started.
    bool FinishConnect();
    // Connect without the tunnel.
    bool ConnectDirect(const char* host, unsigned short port);
    // Asks the connected proxy for a tunnel to host:port and reads its answer; false with the
    // last-error text set (and the connection closed).
    bool OpenTunnel(const char* host, unsigned short port);
    // Reads the proxy's answer head a byte at a time, never a byte of what follows it; false
    // when the connection ends, fails, the head outgrows size or does not come whole within the
    // time-out.
    bool ReadTunnelAnswer(char* head, unsigned int size);
    // ReadTunnelAnswer's reading, each wait cut to end by deadline (with a time-out set).
    bool ReadTunnelAnswerBy(char* head, unsigned int size, std::chrono::steady_clock::time_point deadline);
    // Fails a Connect through the tunnel with the proxy's text, keeping a stop a stop.
    bool FailTunnel();

    bool m_bConnected;
    char m_szLastError[128];
    CNetError m_error;
    int m_iSocket;  // -1 when none is held: a connect gave it to its race, or the race failed
    bool m_bInitialized = false;
    unsigned int m_uiTimeoutMs;
    std::function<bool()> m_stopRequested;
    bool m_bConnecting;  // a handshake started by StartConnect is under way, to:
    std::string m_pendingHost;
    unsigned short m_pendingPort;
    CConnectRace m_race;
    Resolver m_resolver;
    // The proxy every Connect goes through; empty host: none.
    std::string m_tunnelHost;
    unsigned short m_tunnelPort = 0;
    std::string m_tunnelAuthorization;
};

#endif
