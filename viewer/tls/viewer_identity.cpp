#include "viewer/tls/viewer_identity.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>

#include "platform/files.h"
#include "platform/paths.h"

namespace sorvane::viewer {

namespace {

constexpr size_t kMaxPemFile = 65536;
constexpr int64_t kDayMs = 86'400'000;

std::string openssl_error() {
    char buf[256];
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return "unknown OpenSSL error";
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

std::string mem_text(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

bool add_ext(X509* cert, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr) return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// A self-signed client certificate for key, valid from a day ago for ten years.
X509* make_certificate(EVP_PKEY* key, platform::IClock& clock, const std::string& common_name) {
    X509* cert = X509_new();
    if (cert == nullptr) return nullptr;
    unsigned char serial[16];
    bool ok = X509_set_version(cert, X509_VERSION_3) == 1 && RAND_bytes(serial, sizeof serial) == 1;
    if (ok) {
        serial[0] = static_cast<unsigned char>((serial[0] & 0x7F) | 0x01);
        BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
        ok = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) != nullptr;
        BN_free(bn);
    }
    X509_NAME* name = X509_get_subject_name(cert);
    ok = ok &&
         X509_NAME_add_entry_by_NID(name, NID_commonName, MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1, 0) == 1 &&
         X509_set_issuer_name(cert, name) == 1;
    const int64_t start_ms = clock.wall_ms() - kDayMs;
    const int64_t end_ms = start_ms + 3660 * kDayMs;
    ok = ok && ASN1_TIME_set(X509_getm_notBefore(cert), static_cast<time_t>(start_ms / 1000)) != nullptr &&
         ASN1_TIME_set(X509_getm_notAfter(cert), static_cast<time_t>(end_ms / 1000)) != nullptr &&
         X509_set_pubkey(cert, key) == 1 && add_ext(cert, NID_key_usage, "critical,digitalSignature") &&
         add_ext(cert, NID_ext_key_usage, "clientAuth") && X509_sign(cert, key, EVP_sha256()) > 0;
    if (!ok) {
        X509_free(cert);
        return nullptr;
    }
    return cert;
}

}  // namespace

std::string fingerprint_hex(const Fingerprint& fp) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const uint8_t b : fp) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

bool fingerprint_of(X509* cert, Fingerprint& out) {
    out.fill(0);
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert, &der);
    if (n <= 0) return false;
    unsigned int len = 0;
    const bool ok =
        EVP_Digest(der, static_cast<size_t>(n), out.data(), &len, EVP_sha256(), nullptr) == 1 && len == out.size();
    OPENSSL_free(der);
    return ok;
}

ViewerIdentity::ViewerIdentity(X509* cert, EVP_PKEY* key, bool created) : cert_(cert), key_(key), created_(created) {
    fingerprint_of(cert_, fingerprint_);
}

ViewerIdentity::~ViewerIdentity() {
    X509_free(cert_);
    EVP_PKEY_free(key_);
}

std::unique_ptr<ViewerIdentity> ViewerIdentity::create_ephemeral(platform::IClock& clock,
                                                                 const std::string& common_name, std::string& error) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = key != nullptr ? make_certificate(key, clock, common_name) : nullptr;
    if (cert == nullptr) {
        error = "creating the viewer certificate failed: " + openssl_error();
        EVP_PKEY_free(key);
        return nullptr;
    }
    return std::unique_ptr<ViewerIdentity>(new ViewerIdentity(cert, key, true));
}

std::unique_ptr<ViewerIdentity> ViewerIdentity::load_or_create(const std::string& state_dir, platform::IClock& clock,
                                                               std::string& error) {
    const std::string cert_path = platform::join_path(state_dir, kViewerCertificateFile);
    const std::string key_path = platform::join_path(state_dir, kViewerKeyFile);

    std::string cert_pem;
    std::string key_pem;
    if (platform::read_file(cert_path, kMaxPemFile, cert_pem).ok() &&
        platform::read_file(key_path, kMaxPemFile, key_pem).ok()) {
        BIO* cb = BIO_new_mem_buf(cert_pem.data(), static_cast<int>(cert_pem.size()));
        BIO* kb = BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size()));
        X509* cert = cb != nullptr ? PEM_read_bio_X509(cb, nullptr, nullptr, nullptr) : nullptr;
        EVP_PKEY* key = kb != nullptr ? PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(cb);
        BIO_free(kb);
        if (cert != nullptr && key != nullptr && X509_check_private_key(cert, key) == 1) {
            ERR_clear_error();
            return std::unique_ptr<ViewerIdentity>(new ViewerIdentity(cert, key, false));
        }
        ERR_clear_error();
        X509_free(cert);
        EVP_PKEY_free(key);
    }

    const platform::FileResult dir = platform::create_directories(state_dir, platform::FileAccess::owner_only);
    if (!dir.ok()) {
        error = "cannot create " + state_dir + ": " + platform::describe(dir);
        return nullptr;
    }
    auto identity = create_ephemeral(clock, kViewerCommonName, error);
    if (!identity) return nullptr;

    BIO* kb = BIO_new(BIO_s_mem());
    BIO* cb = BIO_new(BIO_s_mem());
    const bool encoded = kb != nullptr && cb != nullptr &&
                         PEM_write_bio_PrivateKey(kb, identity->key_, nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
                         PEM_write_bio_X509(cb, identity->cert_) == 1;
    const std::string new_key = encoded ? mem_text(kb) : std::string();
    const std::string new_cert = encoded ? mem_text(cb) : std::string();
    BIO_free(kb);
    BIO_free(cb);
    if (!encoded) {
        error = "encoding the viewer identity failed: " + openssl_error();
        return nullptr;
    }
    // Should the second write fail, the next start finds a pair that does not
    // match and makes a new one.
    platform::FileResult w = platform::write_file_atomic(key_path, new_key, platform::FileAccess::owner_only);
    if (w.ok()) w = platform::write_file_atomic(cert_path, new_cert, platform::FileAccess::owner_only);
    if (!w.ok()) {
        error = "writing the viewer identity failed: " + platform::describe(w);
        return nullptr;
    }
    return identity;
}

}  // namespace sorvane::viewer
