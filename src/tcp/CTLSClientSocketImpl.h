#ifndef MAD_TCP_CTLSCLIENTSOCKETIMPL_H
#define MAD_TCP_CTLSCLIENTSOCKETIMPL_H

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "tcp/CAheadTask.h"
#include "tcp/CTCPClientSocket.h"
#include "tcp/CTCPClientSocketImpl.h"

class CTLSContext;
struct bio_st;
struct bio_method_st;
struct ssl_st;

// A TLS client connection: owns a plain TCP socket and, while connected, the OpenSSL session on
// top of it. Connect connects over TCP, then shakes hands with the server name (SNI) and checks
// the server's chain against the shared context's trust and the certificate against the host
// name or IP address. Bytes go through the TCP socket, so its time-out and stop check hold for
// TLS too: each call (the TCP connect, the handshake, each ReadBuffer and WriteBuffer) is bounded
// by the time-out as a whole.
//
// StartConnect does all of Connect (resolution, TCP, the handshake and its verification) on a
// thread of its own, so that a connection opened ahead is ready to carry a request; Connect to
// the same host and port then waits for it and reports its outcome, the same texts as a Connect
// of its own. Any other call first waits for that thread, so the socket is only ever used by one
// thread at a time; destruction and Disconnect cut it short. Sessions are resumed through the
// shared context: the first handshake with a server is full, later ones mostly abbreviated.
//
// Last-error texts besides the TCP socket's: "TLS handshake failed: <reason>" (also when the
// server closes, times out or answers in plain HTTP), "Certificate verification failed: <reason>"
// ("self-signed certificate", "certificate has expired", "unable to get local issuer certificate",
// "hostname mismatch", "IP address mismatch", ...), "TLS setup failed: <reason>",
// "TLS receive failed: <reason>", "TLS send failed: <reason>", and "Connection closed without
// TLS close_notify" when the server ends the stream without ending TLS (a cut that could hide a
// truncation, so it never counts as a clean close). A clean TLS close gives ReadBuffer -1 with
// the text unchanged, as a plain socket's close does.
class CTLSClientSocketImpl final : public CTCPClientSocket {
public:
    explicit CTLSClientSocketImpl(std::shared_ptr<const CTLSContext> context);
    ~CTLSClientSocketImpl() override;
    CTLSClientSocketImpl(const CTLSClientSocketImpl&) = delete;
    CTLSClientSocketImpl& operator=(const CTLSClientSocketImpl&) = delete;

    // Creates the TCP descriptor; the factory calls it once, right after construction.
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

    // Replaces the system's resolver for names, as CTCPClientSocketImpl::SetResolver does.
    void SetResolver(CTCPClientSocketImpl::Resolver resolver);

private:
    using Clock = std::chrono::steady_clock;
    // What the last transfer of raw bytes under the session met.
    enum class Raw { Ok, Closed, Failed, TimedOut };
    struct SessionDeleter {
        void operator()(ssl_st* session) const;
    };

    // The session's transport, called by OpenSSL through the BIO.
    static int BioRead(bio_st* bio, char* data, int size);
    static int BioWrite(bio_st* bio, const char* data, int size);
    static bio_method_st* Method();
    int RawRead(char* data, int size);
    int RawWrite(const char* data, int size);
    // Starts the time-out of one call.
    void BeginCall();
    // Gives the TCP socket what is left of the call's time-out; false (Raw::TimedOut) when nothing is.
    bool ArmTimeout();

    // ReadBuffer (SSL_read) or PeekBuffer (SSL_peek): the same waits, texts and clean close.
    int Receive(void* buffer, int size, bool peek);
    bool Handshake(const char* host, unsigned short port);
    // The whole connection to host:port, on the caller's thread.
    bool ConnectNow(const char* host, unsigned short port);
    // Waits for the handshake run ahead, if any; abandon cuts it short.
    void JoinAhead(bool abandon) const;
    void ExplainHandshakeFailure();
    // The text for a failed read or write: the transport's cause first, else OpenSSL's reason.
    void ExplainTransferFailure(const char* prefix);
    void SetError(CNetError::Kind kind, const char* prefix, const char* reason = nullptr, int code = 0);
    // The TCP socket's failure, text and kind.
    void TakeTransportError();

    CTCPClientSocketImpl m_tcp;
    std::shared_ptr<const CTLSContext> m_context;
    std::unique_ptr<ssl_st, SessionDeleter> m_session;  // null when not connected
    char m_szLastError[128];
    CNetError m_error;
    unsigned int m_uiTimeoutMs;
    Clock::time_point m_callDeadline;
    Raw m_raw;
    // The first bytes the server sent, to tell a plain HTTP answer to the handshake.
    char m_firstBytes[5];
    int m_firstCount;
    std::string m_server;        // host:port, the key of the server's sessions
    mutable CAheadTask m_ahead;  // runs ConnectNow(m_aheadHost, m_aheadPort) into m_aheadConnected
    std::string m_aheadHost;
    unsigned short m_aheadPort;
    bool m_aheadConnected;
    bool m_aheadPending;  // StartConnect's outcome awaits Connect
    mutable std::atomic<bool> m_abandon;
    std::function<bool()> m_stopRequested;
};

#endif
