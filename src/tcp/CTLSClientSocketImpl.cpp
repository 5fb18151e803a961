#include "tcp/CTLSClientSocketImpl.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

#include "tcp/CTLSContext.h"
#include "tcp/TCPErrorTexts.h"

namespace {

using K = CNetError::Kind;

long BioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

struct MethodDeleter {
    void operator()(BIO_METHOD* method) const { BIO_meth_free(method); }
};

// The reason of the last OpenSSL error, or fallback when the queue holds none.
const char* OpenSSLReason(const char* fallback) {
    const unsigned long error = ERR_peek_last_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    return reason != nullptr ? reason : fallback;
}

bool IsAddress(const char* host) {
    in6_addr address{};
    return ::inet_pton(AF_INET, host, &address) == 1 || ::inet_pton(AF_INET6, host, &address) == 1;
}

}  // namespace

void CTLSClientSocketImpl::SessionDeleter::operator()(ssl_st* session) const {
    // A connection that we end is no fault of its session: OpenSSL would otherwise take it for one
    // cut short and make the session unusable. Fatal errors have marked theirs already.
    if (session != nullptr) SSL_set_shutdown(session, SSL_get_shutdown(session) | SSL_SENT_SHUTDOWN);
    SSL_free(session);
}

CTLSClientSocketImpl::CTLSClientSocketImpl(std::shared_ptr<const CTLSContext> context)
    : m_context(std::move(context)),
      m_szLastError{},
      m_uiTimeoutMs(30000),
      m_raw(Raw::Ok),
      m_firstBytes{},
      m_firstCount(0),
      m_aheadPort(0),
      m_aheadConnected(false),
      m_aheadPending(false),
      m_abandon(false) {
    SetStopCheck(nullptr);
}

CTLSClientSocketImpl::~CTLSClientSocketImpl() { JoinAhead(true); }

void CTLSClientSocketImpl::JoinAhead(bool abandon) const {
    if (!m_ahead.Pending()) return;
    if (abandon) m_abandon = true;
    m_ahead.Wait();
    m_abandon = false;
}

bool CTLSClientSocketImpl::Initialize() {
    JoinAhead(true);
    if (m_tcp.Initialize()) return true;
    TakeTransportError();
    return false;
}

int CTLSClientSocketImpl::BioRead(bio_st* bio, char* data, int size) {
    BIO_clear_retry_flags(bio);
    return static_cast<CTLSClientSocketImpl*>(BIO_get_data(bio))->RawRead(data, size);
}

int CTLSClientSocketImpl::BioWrite(bio_st* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    return static_cast<CTLSClientSocketImpl*>(BIO_get_data(bio))->RawWrite(data, size);
}

void CTLSClientSocketImpl::BeginCall() {
    m_raw = Raw::Ok;
    m_callDeadline = Clock::now() + std::chrono::milliseconds(m_uiTimeoutMs);
    ERR_clear_error();
}

bool CTLSClientSocketImpl::ArmTimeout() {
    if (m_uiTimeoutMs == 0) {
        m_tcp.SetTimeout(0);
        return true;
    }
    // One call may need several receives (a record arrives in pieces): they share its time-out.
    const long long left = std::chrono::ceil<std::chrono::milliseconds>(m_callDeadline - Clock::now()).count();
    if (left <= 0) {
        m_raw = Raw::TimedOut;
        return false;
    }
    m_tcp.SetTimeout(static_cast<unsigned int>(std::min<long long>(left, m_uiTimeoutMs)));
    return true;
}

int CTLSClientSocketImpl::RawRead(char* data, int size) {
    if (!ArmTimeout()) return -1;
    const int received = m_tcp.Receive(data, size);
    if (received > 0) {
        const int kept = std::min(received, static_cast<int>(sizeof m_firstBytes) - m_firstCount);
        if (kept > 0) {
            std::memcpy(m_firstBytes + m_firstCount, data, static_cast<size_t>(kept));
            m_firstCount += kept;
        }
        return received;
    }
    m_raw = received == 0 ? Raw::Closed : Raw::Failed;
    return received;
}

int CTLSClientSocketImpl::RawWrite(const char* data, int size) {
    if (!ArmTimeout()) return -1;
    const int sent = m_tcp.WriteBuffer(data, size);
    if (sent <= 0) m_raw = Raw::Failed;
    return sent;
}

int CTLSClientSocketImpl::ReadBuffer(void* buffer, int size) { return Receive(buffer, size, false); }

int CTLSClientSocketImpl::PeekBuffer(void* buffer, int size) { return Receive(buffer, size, true); }

int CTLSClientSocketImpl::Receive(void* buffer, int size, bool peek) {
    JoinAhead(false);
    if (size <= 0) return -1;
    if (!m_session) {
        SetError(K::Connect, "Not connected");
        return -1;
    }
    BeginCall();
    const int received = peek ? SSL_peek(m_session.get(), buffer, size) : SSL_read(m_session.get(), buffer, size);
    if (received > 0) {
        m_szLastError[0] = '\0';
        m_error = CNetError{};
        return received;
    }
    // The server ended TLS properly: a clean close, text unchanged as for a plain socket.
    if (SSL_get_error(m_session.get(), received) == SSL_ERROR_ZERO_RETURN) return -1;
    ExplainTransferFailure("TLS receive failed");
    return -1;
}

int CTLSClientSocketImpl::WriteBuffer(const void* data, int size) {
    JoinAhead(false);
    if (size <= 0) return -1;
    if (!m_session) {
        SetError(K::Connect, "Not connected");
        return -1;
    }
    BeginCall();
    const int sent = SSL_write(m_session.get(), data, size);
    if (sent > 0) {
        m_szLastError[0] = '\0';
        m_error = CNetError{};
        return sent;
    }
    ExplainTransferFailure("TLS send failed");
    return -1;
}

bool CTLSClientSocketImpl::Connect(const char* host, unsigned short port) {
    // Other calls may have waited for the thread already; its outcome is kept for this one.
    if (m_aheadPending) {
        m_aheadPending = false;
        const bool same = host != nullptr && m_aheadHost == host && m_aheadPort == port;
        JoinAhead(!same);
        if (same) return m_aheadConnected;
    }
    if (IsConnected()) Disconnect();
    return ConnectNow(host, port);
}

bool CTLSClientSocketImpl::ConnectNow(const char* host, unsigned short port) {
    m_session.reset();
    m_tcp.SetTimeout(m_uiTimeoutMs);
    if (!m_tcp.Connect(host, port)) {
        TakeTransportError();
        return false;
    }
    if (Handshake(host, port)) return true;
    m_session.reset();
    m_tcp.Disconnect();
    return false;
}

bool CTLSClientSocketImpl::StartConnect(const char* host, unsigned short port) {
    JoinAhead(true);
    m_aheadPending = false;
    if (IsConnected()) Disconnect();
    m_session.reset();
    if (host == nullptr) {
        SetError(K::Connect, "Unable to resolve");
        return false;
    }
    m_aheadHost = host;
    m_aheadPort = port;
    m_aheadConnected = false;
    try {
        m_aheadPending = true;
        m_ahead.Start(m_context ? &m_context->AheadPool() : nullptr, [this] {
            m_aheadConnected = ConnectNow(m_aheadHost.c_str(), m_aheadPort);
            // A connection kept ready holds no record buffers while it waits: the first read or
            // write makes them again. Refused, harmlessly, when a record is already buffered.
            if (m_aheadConnected && SSL_free_buffers(m_session.get()) != 1) ERR_clear_error();
        });
        return true;
    } catch (const std::system_error&) {
        // No thread to be had: only the TCP handshake runs ahead, Connect does the rest.
        m_aheadPending = false;
    }
    m_tcp.SetTimeout(m_uiTimeoutMs);
    if (m_tcp.StartConnect(host, port)) return true;
    TakeTransportError();
    return false;
}

void CTLSClientSocketImpl::SetTunnel(const char* proxyHost, unsigned short proxyPort, const char* authorization) {
    JoinAhead(false);
    m_tcp.SetTunnel(proxyHost, proxyPort, authorization);
}

bool CTLSClientSocketImpl::Handshake(const char* host, unsigned short port) {
    std::string setupError;
    SSL_CTX* const context = m_context ? m_context->Context(setupError) : nullptr;
    if (context == nullptr) {
        SetError(K::TLS, m_context ? setupError.c_str() : "TLS setup failed: no context");
        return false;
    }
    ERR_clear_error();
    m_session.reset(SSL_new(context));
    BIO* const bio = m_session ? BIO_new(Method()) : nullptr;
    if (bio == nullptr) {
        SetError(K::TLS, "TLS setup failed: ", OpenSSLReason("out of memory"));
        return false;
    }
    BIO_set_data(bio, this);
    SSL_set_bio(m_session.get(), bio, bio);  // the session owns the BIO from here on

    // The certificate must name the host exactly as the URL does: an address for an address
    // (no SNI then: server names are names), a name for a name (wildcards only as a whole label).
    // A fully qualified name's last dot, the root's, is in neither a certificate nor SNI.
    std::string name(host);
    if (name.size() > 1 && name.back() == '.') name.pop_back();
    bool named = false;
    if (IsAddress(name.c_str())) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_session.get()), name.c_str()) == 1;
    } else {
        SSL_set_hostflags(m_session.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = SSL_set_tlsext_host_name(m_session.get(), name.c_str()) == 1 &&
                SSL_set1_host(m_session.get(), name.c_str()) == 1;
    }
    if (!named) {
        SetError(K::TLS, "TLS setup failed: ", "host name not usable for verification");
        return false;
    }

    m_server = std::string(host) + ":" + std::to_string(port);
    const CTLSContext::Session offered = m_context->OfferSession(m_session.get(), m_server);
    m_firstCount = 0;
    BeginCall();
    const bool shaken = SSL_connect(m_session.get()) == 1;
    m_context->HandshakeDone(m_session.get(), m_server, offered, shaken);
    if (shaken) return true;
    ExplainHandshakeFailure();
    return false;
}

void CTLSClientSocketImpl::ExplainHandshakeFailure() {
    const long verify = SSL_get_verify_result(m_session.get());
    const CNetError transport = m_tcp.GetLastErrorKind();
    if (verify != X509_V_OK) {
        SetError(K::Certificate, "Certificate verification failed: ", X509_verify_cert_error_string(verify));
    } else if (m_firstCount >= 5 && std::memcmp(m_firstBytes, "HTTP/", 5) == 0) {
        SetError(K::TLS, "TLS handshake failed: ", "the server answered in plain HTTP");
    } else if (m_raw == Raw::TimedOut || (m_raw == Raw::Failed && transport.kind == K::TimedOut)) {
        SetError(K::TimedOut, "TLS handshake failed: ", "timed out");
    } else if (m_raw == Raw::Failed && transport.kind == K::Stopped) {
        SetError(K::Stopped, tcp_text::kStopped);
    } else if (m_raw == Raw::Failed) {
        SetError(transport.kind, "TLS handshake failed: ", m_tcp.GetLastError(), transport.code);
    } else if (m_raw == Raw::Closed) {
        SetError(K::ClosedEarly, "TLS handshake failed: ", "the server closed the connection");
    } else {
        SetError(K::TLS, "TLS handshake failed: ", OpenSSLReason("unknown error"));
    }
    ERR_clear_error();
}

void CTLSClientSocketImpl::ExplainTransferFailure(const char* prefix) {
    if (m_raw == Raw::TimedOut) {
        SetError(K::TimedOut, tcp_text::kTimedOut);
    } else if (m_raw == Raw::Failed) {
        TakeTransportError();
    } else if (m_raw == Raw::Closed) {
        SetError(K::ClosedEarly, "Connection closed without TLS close_notify");
    } else {
        SetError(K::TLS, (std::string(prefix) + ": ").c_str(), OpenSSLReason("unknown error"));
    }
    ERR_clear_error();
}

bool CTLSClientSocketImpl::Disconnect() {
    JoinAhead(true);
    m_aheadPending = false;
    m_session.reset();
    if (m_tcp.Disconnect()) return true;
    TakeTransportError();
    return false;
}

bool CTLSClientSocketImpl::IsConnected() const {
    JoinAhead(false);
    return m_session != nullptr && m_tcp.IsConnected();
}

const char* CTLSClientSocketImpl::GetLastError() const {
    JoinAhead(false);
    return m_szLastError;
}

CNetError CTLSClientSocketImpl::GetLastErrorKind() const {
    JoinAhead(false);
    return m_error;
}

void CTLSClientSocketImpl::SetTimeout(unsigned int milliseconds) {
    JoinAhead(false);
    m_uiTimeoutMs = milliseconds;
    m_tcp.SetTimeout(milliseconds);
}

bool CTLSClientSocketImpl::LimitReceiveBuffer(int bytes) {
    JoinAhead(false);
    return m_tcp.LimitReceiveBuffer(bytes);
}

void CTLSClientSocketImpl::SetResolver(CTCPClientSocketImpl::Resolver resolver) {
    JoinAhead(false);
    m_tcp.SetResolver(std::move(resolver));
}

void CTLSClientSocketImpl::SetStopCheck(std::function<bool()> stopRequested) {
    JoinAhead(false);
    m_stopRequested = std::move(stopRequested);
    // A handshake run ahead that is no longer wanted ends at the next check too.
    m_tcp.SetStopCheck([this] { return m_abandon.load() || (m_stopRequested && m_stopRequested()); });
}

void CTLSClientSocketImpl::SetError(K kind, const char* prefix, const char* reason, int code) {
    std::snprintf(m_szLastError, sizeof m_szLastError, "%s%s", prefix, reason != nullptr ? reason : "");
    m_error = CNetError{kind, code};
}

void CTLSClientSocketImpl::TakeTransportError() {
    SetError(K::None, m_tcp.GetLastError());
    m_error = m_tcp.GetLastErrorKind();
}

bio_method_st* CTLSClientSocketImpl::Method() {
    // One method for the life of the process, made once (thread-safe) and only read after that.
    static const std::unique_ptr<BIO_METHOD, MethodDeleter> method([] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "mad tcp");
        if (made != nullptr) {
            BIO_meth_set_write(made, BioWrite);
            BIO_meth_set_read(made, BioRead);
            BIO_meth_set_ctrl(made, BioControl);
            BIO_meth_set_create(made, BioCreate);
        }
        return made;
    }());
    return method.get();
}
