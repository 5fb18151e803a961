#ifndef MAD_TCP_CTLSCONTEXT_H
#define MAD_TCP_CTLSCONTEXT_H

#include <memory>
#include <mutex>
#include <string>

struct ssl_ctx_st;

// The client TLS settings that TLS connections share: TLS 1.2 or later, every server verified
// against the system's trust store plus, when given, a PEM file of extra trusted authorities.
// Verification cannot be turned off. The OpenSSL context is made on first use, so a program that
// never speaks TLS never loads the trust store; a context that could not be made (a cafile being
// replaced, say) is tried again on the next use. Once made it is only read (OpenSSL allows one
// configured context to serve connections on many threads at once), so one CTLSContext may be
// shared by the factories of parallel downloads. Owns its OpenSSL context.
class CTLSContext final {
public:
    explicit CTLSContext(std::string caFile = std::string());
    ~CTLSContext();
    CTLSContext(const CTLSContext&) = delete;
    CTLSContext& operator=(const CTLSContext&) = delete;

    // The configured context, or null when it could not be made; error then says why. Thread-safe.
    ssl_ctx_st* Context(std::string& error) const;
    const std::string& CAFile() const { return m_caFile; }

    // Whether path is a readable file holding at least one PEM certificate; reason tells why not.
    static bool CheckCAFile(const std::string& path, std::string& reason);

private:
    struct ContextDeleter {
        void operator()(ssl_ctx_st* context) const;
    };

    void Make() const;

    std::string m_caFile;
    mutable std::mutex m_mutex;  // guards the two fields below
    mutable std::unique_ptr<ssl_ctx_st, ContextDeleter> m_context;
    mutable std::string m_error;
};

#endif
