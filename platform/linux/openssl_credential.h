// OpenSSL objects behind the certificate-store and TLS ports (Linux only).
#pragma once

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/cert_store.h"
#include "platform/tls.h"

namespace sorvane::platform::ossl {

struct PkeyDeleter {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Deleter {
    void operator()(X509* p) const { X509_free(p); }
};
struct SslCtxDeleter {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxDeleter>;

// The first error on OpenSSL's (per-thread) error queue as text; empty when none.
std::string error_text();

// A client context: TLS 1.2 or newer, any server certificate accepted, and
// the credential's certificate and key when given. Null with error set when
// it cannot be made.
SslCtxPtr make_client_context(X509* cert, EVP_PKEY* key, std::string& error);

class OpenSslPrivateKey final : public PrivateKey {
public:
    explicit OpenSslPrivateKey(PkeyPtr key) : key_(std::move(key)) {}
    EVP_PKEY* get() const { return key_.get(); }

private:
    PkeyPtr key_;
};

// A certificate with its key. The server context made from it is built once,
// on first use, and shared by every engine (SSL_CTX is safe to share for
// SSL_new once configured).
class OpenSslCredential final : public TlsCredential {
public:
    OpenSslCredential(X509Ptr cert, PkeyPtr key, std::vector<uint8_t> der)
        : cert_(std::move(cert)), key_(std::move(key)), der_(std::move(der)) {}

    const std::vector<uint8_t>& certificate_der() const override { return der_; }
    X509* cert() const { return cert_.get(); }
    EVP_PKEY* key() const { return key_.get(); }

    // The server context, or null when it cannot be built (error holds the
    // reason). Thread-safe.
    SSL_CTX* server_context(std::string& error) const;
    // The client context presenting this credential; the same rules.
    SSL_CTX* client_context(std::string& error) const;

private:
    X509Ptr cert_;
    PkeyPtr key_;
    std::vector<uint8_t> der_;
    mutable std::once_flag ctx_once_;
    mutable SslCtxPtr server_ctx_;
    mutable std::string ctx_error_;
    mutable std::once_flag client_once_;
    mutable SslCtxPtr client_ctx_;
    mutable std::string client_error_;
};

}  // namespace sorvane::platform::ossl
