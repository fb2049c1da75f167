// The TLS engine on OpenSSL: one SSL object between two memory BIOs, so the
// caller does all socket I/O and the logic above stays the same on Windows.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <climits>

#include "platform/linux/openssl_credential.h"
#include "platform/tls.h"

namespace sorvane::platform {

namespace ossl {

std::string error_text() {
    const unsigned long e = ERR_peek_error();
    if (e == 0) return {};
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

namespace {

// The client's certificate is accepted whatever its chain: the caller
// recognises peers by fingerprint only.
int accept_any_certificate(int, X509_STORE_CTX*) { return 1; }

constexpr unsigned char kSessionContext[] = "sorvane-tls";

}  // namespace

SSL_CTX* OpenSslCredential::server_context(std::string& error) const {
    std::call_once(ctx_once_, [this] {
        SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
        if (!ctx) {
            ctx_error_ = "SSL_CTX_new: " + error_text();
            ERR_clear_error();
            return;
        }
        SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
        // No tickets and no session cache: every connection runs a full
        // handshake and so presents its client certificate again.
        SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
        SSL_CTX_set_num_tickets(ctx.get(), 0);
        SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
        SSL_CTX_set_session_id_context(ctx.get(), kSessionContext, sizeof kSessionContext - 1);
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_CLIENT_ONCE, accept_any_certificate);
        if (SSL_CTX_use_certificate(ctx.get(), cert_.get()) != 1 ||
            SSL_CTX_use_PrivateKey(ctx.get(), key_.get()) != 1 || SSL_CTX_check_private_key(ctx.get()) != 1) {
            ctx_error_ = "certificate/key: " + error_text();
            ERR_clear_error();
            return;
        }
        server_ctx_ = std::move(ctx);
    });
    if (!server_ctx_) error = ctx_error_;
    return server_ctx_.get();
}

SslCtxPtr make_client_context(X509* cert, EVP_PKEY* key, std::string& error) {
    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) {
        error = "SSL_CTX_new: " + error_text();
        ERR_clear_error();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    if (cert != nullptr && (SSL_CTX_use_certificate(ctx.get(), cert) != 1 || SSL_CTX_use_PrivateKey(ctx.get(), key) != 1 ||
                            SSL_CTX_check_private_key(ctx.get()) != 1)) {
        error = "certificate/key: " + error_text();
        ERR_clear_error();
        return nullptr;
    }
    return ctx;
}

SSL_CTX* OpenSslCredential::client_context(std::string& error) const {
    std::call_once(client_once_, [this] { client_ctx_ = make_client_context(cert_.get(), key_.get(), client_error_); });
    if (!client_ctx_) error = client_error_;
    return client_ctx_.get();
}

}  // namespace ossl

namespace {

struct SslDeleter {
    void operator()(SSL* s) const { SSL_free(s); }
};

int clamp_int(size_t n) { return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n); }

class OpenSslEngine final : public ITlsEngine {
public:
    bool init(SSL_CTX* ctx, bool server) {
        ssl_.reset(SSL_new(ctx));
        if (!ssl_) return false;
        BIO* in = BIO_new(BIO_s_mem());
        BIO* out = BIO_new(BIO_s_mem());
        if (in == nullptr || out == nullptr) {
            BIO_free(in);
            BIO_free(out);
            return false;
        }
        // An empty input BIO means "wait for more", never end of stream: the
        // caller learns the end of the TCP stream from the socket itself.
        BIO_set_mem_eof_return(in, -1);
        BIO_set_mem_eof_return(out, -1);
        SSL_set_bio(ssl_.get(), in, out);  // the SSL object owns both now
        in_ = in;
        out_ = out;
        if (server) SSL_set_accept_state(ssl_.get());
        else SSL_set_connect_state(ssl_.get());
        return true;
    }

    bool put_input(const uint8_t* data, size_t n) override {
        while (n > 0) {
            const int chunk = clamp_int(n);
            if (BIO_write(in_, data, chunk) != chunk) return false;
            data += chunk;
            n -= static_cast<size_t>(chunk);
        }
        return true;
    }

    size_t input_pending() const override { return BIO_ctrl_pending(in_); }

    uint32_t handshake() override {
        ERR_clear_error();
        const int r = SSL_do_handshake(ssl_.get());
        if (r == 1) return kSecOk;
        const int e = SSL_get_error(ssl_.get(), r);
        if (e == SSL_ERROR_WANT_READ) return output_pending() > 0 ? kSecContinueNeeded : kSecIncompleteMessage;
        return failure(e);
    }

    uint32_t decrypt(uint8_t* out, size_t cap, size_t& got) override {
        got = 0;
        ERR_clear_error();
        const int r = SSL_read(ssl_.get(), out, clamp_int(cap));
        if (r > 0) {
            got = static_cast<size_t>(r);
            return kSecOk;
        }
        const int e = SSL_get_error(ssl_.get(), r);
        if (e == SSL_ERROR_WANT_READ) return kSecIncompleteMessage;
        if (e == SSL_ERROR_ZERO_RETURN) return kSecContextExpired;
        return failure(e);
    }

    uint32_t encrypt(const uint8_t* data, size_t n) override {
        if (n == 0) return kSecOk;
        if (n > kTlsMaxRecordPlaintext) return kSecInternalError;
        ERR_clear_error();
        const int r = SSL_write(ssl_.get(), data, static_cast<int>(n));
        if (r == static_cast<int>(n)) return kSecOk;
        return failure(SSL_get_error(ssl_.get(), r));
    }

    size_t output_pending() const override { return BIO_ctrl_pending(out_); }

    size_t take_output(uint8_t* buf, size_t cap) override {
        const int r = BIO_read(out_, buf, clamp_int(cap));
        return r > 0 ? static_cast<size_t>(r) : 0;
    }

    bool peer_certificate(std::vector<uint8_t>& der) const override {
        der.clear();
        X509* peer = SSL_get0_peer_certificate(ssl_.get());
        if (peer == nullptr) return false;
        const int n = i2d_X509(peer, nullptr);
        if (n <= 0) return false;
        der.resize(static_cast<size_t>(n));
        unsigned char* p = der.data();
        return i2d_X509(peer, &p) == n;
    }

    size_t max_message() const override { return kTlsMaxRecordPlaintext; }

    std::string protocol() const override {
        if (!SSL_is_init_finished(ssl_.get())) return {};
        return SSL_get_version(ssl_.get());
    }

    std::string last_error() const override { return last_error_; }

private:
    uint32_t failure(int ssl_error) {
        const unsigned long e = ERR_peek_error();
        last_error_ = ossl::error_text();
        if (last_error_.empty()) last_error_ = "SSL error " + std::to_string(ssl_error);
        ERR_clear_error();
        if (ssl_error != SSL_ERROR_SSL) return kSecInternalError;
        switch (ERR_GET_REASON(e)) {
            case SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC:
                return kSecDecryptFailure;
            case SSL_R_NO_SHARED_CIPHER:
            case SSL_R_UNSUPPORTED_PROTOCOL:
            case SSL_R_NO_SHARED_SIGNATURE_ALGORITHMS:
            case SSL_R_NO_SUITABLE_SIGNATURE_ALGORITHM:
                return kSecAlgorithmMismatch;
            default:
                return kSecIllegalMessage;
        }
    }

    std::unique_ptr<SSL, SslDeleter> ssl_;
    BIO* in_ = nullptr;   // owned by ssl_
    BIO* out_ = nullptr;  // owned by ssl_
    std::string last_error_;
};

// A new engine on ctx; status tells whether it could be made.
std::unique_ptr<ITlsEngine> engine_on(SSL_CTX* ctx, bool server, uint32_t& status) {
    auto engine = std::make_unique<OpenSslEngine>();
    if (!engine->init(ctx, server)) {
        ERR_clear_error();
        status = kSecInternalError;
        return nullptr;
    }
    status = kSecOk;
    return engine;
}

}  // namespace

std::unique_ptr<ITlsEngine> make_tls_server_engine(const TlsCredential* credential, uint32_t& status) {
    status = kSecNoCredentials;
    const auto* cred = dynamic_cast<const ossl::OpenSslCredential*>(credential);
    if (cred == nullptr) return nullptr;
    std::string error;
    SSL_CTX* ctx = cred->server_context(error);
    if (ctx == nullptr) return nullptr;
    return engine_on(ctx, true, status);
}

std::unique_ptr<ITlsEngine> make_tls_client_engine(const TlsCredential* credential, uint32_t& status) {
    std::string error;
    SSL_CTX* ctx = nullptr;
    if (credential != nullptr) {
        const auto* cred = dynamic_cast<const ossl::OpenSslCredential*>(credential);
        status = kSecNoCredentials;
        if (cred == nullptr || (ctx = cred->client_context(error)) == nullptr) return nullptr;
    } else {
        // One context without a certificate serves every anonymous client.
        static const ossl::SslCtxPtr anonymous = ossl::make_client_context(nullptr, nullptr, error);
        ctx = anonymous.get();
        status = kSecInternalError;
        if (ctx == nullptr) return nullptr;
    }
    return engine_on(ctx, false, status);
}

}  // namespace sorvane::platform
