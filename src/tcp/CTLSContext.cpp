#include "tcp/CTLSContext.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// The reason of the last OpenSSL error, or fallback when the queue holds none.
std::string OpenSSLReason(const char* fallback) {
    const unsigned long error = ERR_peek_last_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    ERR_clear_error();
    return reason != nullptr ? reason : fallback;
}

// Sessions kept per server: enough for every connection of a full set of workers to resume one.
constexpr std::size_t kSessionsPerServer = 64;
// Servers whose sessions are kept at once; past that the cache starts again.
constexpr std::size_t kServers = 256;

bool Expired(SSL_SESSION* session) {
    return SSL_SESSION_get_time(session) + SSL_SESSION_get_timeout(session) <= std::time(nullptr);
}

}  // namespace

void CTLSContext::SessionFree::operator()(ssl_session_st* session) const { SSL_SESSION_free(session); }

void CTLSContext::ContextDeleter::operator()(ssl_ctx_st* context) const { SSL_CTX_free(context); }

CTLSContext::CTLSContext(std::string caFile) : m_caFile(std::move(caFile)) {}

CTLSContext::~CTLSContext() {
    for (auto& server : m_sessions)
        for (SSL_SESSION* session : server.second) SSL_SESSION_free(session);
}

ssl_ctx_st* CTLSContext::Context(std::string& error) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_context) Make();
    if (!m_context) error = m_error;
    return m_context.get();
}

void CTLSContext::Make() const {
    ERR_clear_error();
    std::unique_ptr<ssl_ctx_st, ContextDeleter> context(SSL_CTX_new(TLS_client_method()));
    if (!context) {
        m_error = "TLS setup failed: " + OpenSSLReason("no context");
        return;
    }
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    // Records are read several at a time into a larger buffer, rather than header and body
    // apart: a fraction of the receives.
    SSL_CTX_set_read_ahead(context.get(), 1);
    SSL_CTX_set_default_read_buffer_len(context.get(), 256 * 1024);
    if (SSL_CTX_set_default_verify_paths(context.get()) != 1) {
        m_error = "TLS setup failed: " + OpenSSLReason("cannot load the system's trust store");
        return;
    }
    if (!m_caFile.empty()) {
        // The file may have changed since the start checked it. Checked again first: a FIFO's
        // load would wait for a writer while holding every connection's context, and OpenSSL
        // names a missing or unreadable file only as "system lib".
        std::string reason;
        if (!CheckCAFile(m_caFile, reason)) {
            m_error = "TLS setup failed: cannot load " + m_caFile + ": " + reason;
            return;
        }
        if (SSL_CTX_load_verify_locations(context.get(), m_caFile.c_str(), nullptr) != 1) {
            m_error = "TLS setup failed: cannot load " + m_caFile + ": " + OpenSSLReason("no certificate");
            return;
        }
    }
    // Sessions are kept here, per server, not in OpenSSL's cache, which cannot tell servers apart
    // nor hand a ticket out only once.
    SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context.get(), NewSession);
    SSL_CTX_set_app_data(context.get(), const_cast<CTLSContext*>(this));
    ERR_clear_error();
    m_context = std::move(context);
}

CTLSContext::Session CTLSContext::OfferSession(ssl_st* connection, const std::string& server) const {
    SSL_set_app_data(connection, const_cast<std::string*>(&server));
    Session offered(Take(server));
    if (offered && SSL_set_session(connection, offered.get()) != 1) {
        ERR_clear_error();
        Drop(server, offered.get());
        offered.reset();
    }
    return offered;
}

void CTLSContext::HandshakeDone(ssl_st* connection, const std::string& server, const Session& offered,
                                bool succeeded) const {
    const bool resumed = succeeded && SSL_session_reused(connection) == 1;
    if (succeeded) {
        ++m_handshakes;
        if (resumed) ++m_resumed;
    }
    // Refused: the server has forgotten it, or never meant it for this host.
    if (offered && !resumed) Drop(server, offered.get());
}

int CTLSContext::NewSession(ssl_st* connection, ssl_session_st* received) {
    const auto* const server = static_cast<const std::string*>(SSL_get_app_data(connection));
    const auto* const self = static_cast<const CTLSContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(connection)));
    if (server == nullptr || self == nullptr || SSL_SESSION_is_resumable(received) != 1) return 0;
    self->Keep(*server, received);
    return 1;  // the reference is the cache's now
}

void CTLSContext::Keep(const std::string& server, ssl_session_st* received) const {
    const std::lock_guard<std::mutex> lock(m_sessionsMutex);
    if (m_sessions.size() >= kServers && m_sessions.find(server) == m_sessions.end()) {
        for (auto& kept : m_sessions)
            for (SSL_SESSION* session : kept.second) SSL_SESSION_free(session);
        m_sessions.clear();
    }
    std::deque<SSL_SESSION*>& sessions = m_sessions[server];
    if (sessions.size() >= kSessionsPerServer) {
        SSL_SESSION_free(sessions.front());
        sessions.pop_front();
    }
    sessions.push_back(received);
}

ssl_session_st* CTLSContext::Take(const std::string& server) const {
    const std::lock_guard<std::mutex> lock(m_sessionsMutex);
    const auto found = m_sessions.find(server);
    if (found == m_sessions.end()) return nullptr;
    std::deque<SSL_SESSION*>& sessions = found->second;
    // The newest first: the likeliest to be still known to the server.
    while (!sessions.empty()) {
        SSL_SESSION* const session = sessions.back();
        if (Expired(session)) {
            sessions.pop_back();
            SSL_SESSION_free(session);
            continue;
        }
        if (SSL_SESSION_get_protocol_version(session) >= TLS1_3_VERSION) {
            sessions.pop_back();  // single use: the caller's reference is the cache's
        } else {
            SSL_SESSION_up_ref(session);
        }
        return session;
    }
    m_sessions.erase(found);
    return nullptr;
}

void CTLSContext::Drop(const std::string& server, ssl_session_st* refused) const {
    const std::lock_guard<std::mutex> lock(m_sessionsMutex);
    const auto found = m_sessions.find(server);
    if (found == m_sessions.end()) return;
    std::deque<SSL_SESSION*>& sessions = found->second;
    for (auto kept = sessions.begin(); kept != sessions.end(); ++kept) {
        if (*kept != refused) continue;
        SSL_SESSION_free(*kept);
        sessions.erase(kept);
        return;
    }
}

bool CTLSContext::CheckCAFile(const std::string& path, std::string& reason) {
    // Opened first for the system's reason: missing, permission denied, a directory. Without
    // waiting: a FIFO's open would wait for a writer, and the start with it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    struct stat info;
    const bool known = ::fstat(fd, &info) == 0;
    ::close(fd);
    if (known && S_ISDIR(info.st_mode)) {
        reason = std::strerror(EISDIR);
        return false;
    }
    if (known && !S_ISREG(info.st_mode)) {
        reason = "not a regular file";
        return false;
    }
    // Then loaded exactly as a connection will load it.
    ERR_clear_error();
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
    if (!store || X509_STORE_load_file(store.get(), path.c_str()) != 1) {
        reason = OpenSSLReason("no certificate");
        return false;
    }
    return true;
}
