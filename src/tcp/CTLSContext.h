#ifndef MAD_TCP_CTLSCONTEXT_H
#define MAD_TCP_CTLSCONTEXT_H

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "tcp/CAheadTask.h"

struct ssl_ctx_st;
struct ssl_st;
struct ssl_session_st;

// The client TLS settings that TLS connections share: TLS 1.2 or later, every server verified
// against the system's trust store plus, when given, a PEM file of extra trusted authorities.
// Verification cannot be turned off. The OpenSSL context is made on first use, so a program that
// never speaks TLS never loads the trust store; a context that could not be made (a cafile being
// replaced, say) is tried again on the next use. Once made it is only read (OpenSSL allows one
// configured context to serve connections on many threads at once), so one CTLSContext may be
// shared by the factories of parallel downloads. Owns its OpenSSL context.
//
// It also keeps the sessions that servers hand out (TLS 1.3 tickets, TLS 1.2 ids or tickets), per
// server (host and port; the SNI name is the host), so that later connections to the same server
// resume them and shake hands in short. A TLS 1.3 ticket is handed to one connection only, as
// such tickets are meant to be used once; a TLS 1.2 session may serve several. A session that a
// server did not take up is dropped, so the next connection offers another or none. Owns the
// sessions it keeps; all of this is thread-safe.
class CTLSContext final {
public:
    explicit CTLSContext(std::string caFile = std::string());
    ~CTLSContext();
    CTLSContext(const CTLSContext&) = delete;
    CTLSContext& operator=(const CTLSContext&) = delete;

    // The configured context, or null when it could not be made; error then says why. Thread-safe.
    ssl_ctx_st* Context(std::string& error) const;
    const std::string& CAFile() const { return m_caFile; }

    struct SessionFree {
        void operator()(ssl_session_st* session) const;
    };
    using Session = std::unique_ptr<ssl_session_st, SessionFree>;

    // Prepares connection to resume one of server's kept sessions, if any (returned, so that
    // HandshakeDone can tell whether it was taken up), and to hand the sessions it receives to
    // this context under server. Call before the handshake; server must outlive connection.
    Session OfferSession(ssl_st* connection, const std::string& server) const;
    // The threads that run handshakes ahead for the connections of this context.
    CAheadTask::Pool& AheadPool() const { return m_aheadPool; }
    // After the handshake: counts it, and drops offered when the server did not take it up (or
    // the handshake failed), so that it is offered no more.
    void HandshakeDone(ssl_st* connection, const std::string& server, const Session& offered, bool succeeded) const;
    // Handshakes completed through this context, and how many of them resumed a session.
    unsigned long Handshakes() const { return m_handshakes.load(); }
    unsigned long Resumed() const { return m_resumed.load(); }

    // Whether path is a readable file holding at least one PEM certificate; reason tells why not.
    static bool CheckCAFile(const std::string& path, std::string& reason);

private:
    struct ContextDeleter {
        void operator()(ssl_ctx_st* context) const;
    };

    void Make() const;
    // OpenSSL's new-session callback: keeps the session under the server its connection names.
    static int NewSession(ssl_st* session, ssl_session_st* received);
    void Keep(const std::string& server, ssl_session_st* received) const;
    // Takes one live session of server (a reference the caller frees), or null.
    ssl_session_st* Take(const std::string& server) const;
    void Drop(const std::string& server, ssl_session_st* refused) const;

    std::string m_caFile;
    mutable CAheadTask::Pool m_aheadPool;
    mutable std::mutex m_mutex;  // guards the two fields below
    mutable std::unique_ptr<ssl_ctx_st, ContextDeleter> m_context;
    mutable std::string m_error;
    mutable std::mutex m_sessionsMutex;                                     // guards m_sessions
    mutable std::map<std::string, std::deque<ssl_session_st*>> m_sessions;  // one reference each
    mutable std::atomic<unsigned long> m_handshakes{0};
    mutable std::atomic<unsigned long> m_resumed{0};
};

#endif
