#include "tcp/CTLSContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The reason of the last OpenSSL error, or fallback when the queue holds none.
std::string OpenSSLReason(const char* fallback) {
    const unsigned long error = ERR_peek_last_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    ERR_clear_error();
    return reason != nullptr ? reason : fallback;
}

}  // namespace

void CTLSContext::ContextDeleter::operator()(ssl_ctx_st* context) const { SSL_CTX_free(context); }

CTLSContext::CTLSContext(std::string caFile) : m_caFile(std::move(caFile)) {}

CTLSContext::~CTLSContext() = default;

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
    if (!m_caFile.empty() && SSL_CTX_load_verify_locations(context.get(), m_caFile.c_str(), nullptr) != 1) {
        m_error = "TLS setup failed: cannot load " + m_caFile + ": " + OpenSSLReason("no certificate");
        return;
    }
    ERR_clear_error();
    m_context = std::move(context);
}

bool CTLSContext::CheckCAFile(const std::string& path, std::string& reason) {
    // Opened first for the system's reason: missing, permission denied, a directory.
    FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        reason = std::strerror(errno);
        return false;
    }
    struct stat info;
    const bool directory = ::fstat(::fileno(file), &info) == 0 && S_ISDIR(info.st_mode);
    std::fclose(file);
    if (directory) {
        reason = std::strerror(EISDIR);
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
