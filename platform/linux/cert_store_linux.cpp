// The certificate store and key provider as files: "cert-<sha256>.pem" for
// every certificate and "key-<name>.pem" (PKCS#8, 0600) for every key, in one
// folder that only the user may enter.
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <ctime>

#include "platform/cert_store.h"

#include "platform/linux/windows_errors.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/linux/openssl_credential.h"
#include "platform/paths.h"
#include "platform/random.h"

namespace sorvane::platform {

namespace {

using ossl::OpenSslCredential;
using ossl::OpenSslPrivateKey;
using ossl::PkeyPtr;
using ossl::X509Ptr;

// Errors of OpenSSL steps that have no errno of their own.
constexpr uint32_t kMalformed = EBADMSG;         // a stored file does not parse
constexpr uint32_t kCryptoFailed = EIO;          // key generation, signing or encoding failed
constexpr uint32_t kKeyMismatch = EKEYREJECTED;  // the key is not the certificate's

constexpr size_t kMaxStoredFile = 65536;
constexpr const char* kCertPrefix = "cert-";
constexpr const char* kKeyPrefix = "key-";
constexpr const char* kPemSuffix = ".pem";

struct BioDeleter {
    void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

StoreResult ok() { return {}; }
StoreResult fail(uint32_t code) { return {false, code}; }
StoreResult fail(const FileResult& r) {
    return fail(r.status == FileStatus::not_found ? win32_error_from_errno(ENOENT)
                                                  : r.error_code != 0 ? static_cast<uint32_t>(r.error_code)
                                                                      : win32_error_from_errno(EIO));
}

bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// Key names may hold any text; file names keep letters, digits, '-', '_' and '.'.
std::string key_file_name(std::string_view key_name) {
    std::string out = kKeyPrefix;
    for (const char c : key_name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_' || c == '.';
        out += plain ? c : '_';
    }
    out += kPemSuffix;
    return out;
}

std::string hex_of(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 0x0F];
    }
    return out;
}

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

bool der_of(X509* cert, std::vector<uint8_t>& der) {
    const int n = i2d_X509(cert, nullptr);
    if (n <= 0) return false;
    der.resize(static_cast<size_t>(n));
    unsigned char* p = der.data();
    return i2d_X509(cert, &p) == n;
}

bool time_ms(const ASN1_TIME* t, int64_t& out) {
    struct tm tm{};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return false;
    CivilTime c;
    c.year = static_cast<uint32_t>(tm.tm_year + 1900);
    c.month = static_cast<uint32_t>(tm.tm_mon + 1);
    c.day = static_cast<uint32_t>(tm.tm_mday);
    c.hour = static_cast<uint32_t>(tm.tm_hour);
    c.minute = static_cast<uint32_t>(tm.tm_min);
    c.second = static_cast<uint32_t>(tm.tm_sec);
    out = wall_ms_from_utc(c);
    return true;
}

std::string subject_text(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert), 0, XN_FLAG_RFC2253) < 0) return {};
    return bio_text(bio.get());
}

bool describe_certificate(X509* cert, StoredCertificate& out) {
    return der_of(cert, out.der) && time_ms(X509_get0_notBefore(cert), out.not_before_ms) &&
           time_ms(X509_get0_notAfter(cert), out.not_after_ms) && !(out.subject = subject_text(cert)).empty();
}

X509Ptr parse_der(const std::vector<uint8_t>& der) {
    const unsigned char* p = der.data();
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

bool add_extension(X509* cert, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr) return false;
    const bool added = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return added;
}

// Builds the unsigned certificate; extensions only when both encode.
X509Ptr build_certificate(EVP_PKEY* key, const IdentityCertificateRequest& request, bool with_extensions) {
    X509Ptr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1) return nullptr;

    unsigned char serial[16];
    if (!secure_random(serial, sizeof serial)) return nullptr;
    serial[0] &= 0x7F;  // a positive INTEGER
    if (serial[0] == 0) serial[0] = 0x01;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool serial_set = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr;
    BN_free(bn);
    if (!serial_set) return nullptr;

    X509_NAME* name = X509_get_subject_name(cert.get());
    if (X509_NAME_add_entry_by_NID(name, NID_commonName, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(request.common_name.c_str()), -1, -1,
                                   0) != 1 ||
        X509_set_issuer_name(cert.get(), name) != 1)
        return nullptr;

    // Whole seconds, rounded down like the platform's certificate times.
    auto seconds = [](int64_t ms) { return static_cast<time_t>(ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000)); };
    if (ASN1_TIME_set(X509_getm_notBefore(cert.get()), seconds(request.not_before_ms)) == nullptr ||
        ASN1_TIME_set(X509_getm_notAfter(cert.get()), seconds(request.not_after_ms)) == nullptr)
        return nullptr;

    if (X509_set_pubkey(cert.get(), key) != 1) return nullptr;

    if (with_extensions && (!add_extension(cert.get(), NID_key_usage, "critical,digitalSignature") ||
                            !add_extension(cert.get(), NID_ext_key_usage, "serverAuth,clientAuth")))
        return nullptr;
    return cert;
}

class FileCertificateStore final : public ICertificateStore {
public:
    explicit FileCertificateStore(std::string folder) : folder_(std::move(folder)) {}

    StoreResult open() override {
        if (folder_.empty()) return fail(win32_error_from_errno(ENOENT));
        const FileResult r = create_directories(folder_, FileAccess::owner_only);
        return r.ok() ? ok() : fail(r);
    }

    StoreResult open_existing() override {
        std::vector<std::string> names;
        const FileResult r = folder_.empty() ? FileResult{FileStatus::not_found, 0} : list_directory(folder_, names);
        return r.ok() ? ok() : fail(r);
    }

    StoreResult find_by_subject(std::string_view text, std::vector<StoredCertificate>& out) override {
        out.clear();
        std::vector<std::string> names;
        const FileResult listed = list_directory(folder_, names);
        if (!listed.ok()) return fail(listed);
        for (const auto& name : names) {
            if (name.rfind(kCertPrefix, 0) != 0 || !ends_with(name, kPemSuffix)) continue;
            std::string pem;
            if (!read_file(join_path(folder_, name), kMaxStoredFile, pem).ok()) continue;
            BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
            X509Ptr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
            ERR_clear_error();
            StoredCertificate sc;
            if (!cert || !describe_certificate(cert.get(), sc)) continue;
            if (sc.subject.find(text) == std::string::npos) continue;
            sc.id = name;
            out.push_back(std::move(sc));
        }
        return ok();
    }

    StoreResult open_key(std::string_view key_name, std::unique_ptr<PrivateKey>& out) override {
        out.reset();
        std::string pem;
        const FileResult r = read_file(join_path(folder_, key_file_name(key_name)), kMaxStoredFile, pem);
        if (!r.ok()) return fail(r);
        BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
        PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
        ERR_clear_error();
        if (!key) return fail(kMalformed);
        out = std::make_unique<OpenSslPrivateKey>(std::move(key));
        return ok();
    }

    StoreResult create_key(std::string_view key_name, std::unique_ptr<PrivateKey>& out) override {
        out.reset();
        PkeyPtr key(EVP_EC_gen("P-256"));
        BioPtr bio(BIO_new(BIO_s_mem()));
        // PEM_write_bio_PrivateKey writes the unencrypted PKCS#8 form.
        if (!key || !bio ||
            PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
            ERR_clear_error();
            return fail(kCryptoFailed);
        }
        const FileResult w =
            write_file_atomic(join_path(folder_, key_file_name(key_name)), bio_text(bio.get()), FileAccess::owner_only);
        if (!w.ok()) return fail(w);
        out = std::make_unique<OpenSslPrivateKey>(std::move(key));
        return ok();
    }

    StoreResult delete_key(std::string_view key_name) override {
        const FileResult r = remove_file(join_path(folder_, key_file_name(key_name)));
        return r.ok() || r.status == FileStatus::not_found ? ok() : fail(r);
    }

    StoreResult create_certificate(const PrivateKey& key, const IdentityCertificateRequest& request,
                                   StoredCertificate& out) override {
        EVP_PKEY* pkey = static_cast<const OpenSslPrivateKey&>(key).get();
        X509Ptr cert = build_certificate(pkey, request, true);
        if (!cert) cert = build_certificate(pkey, request, false);
        StoredCertificate sc;
        const bool made = cert && X509_sign(cert.get(), pkey, EVP_sha256()) > 0 && describe_certificate(cert.get(), sc);
        ERR_clear_error();
        if (!made) return fail(kCryptoFailed);
        out = std::move(sc);
        return ok();
    }

    StoreResult add_certificate(StoredCertificate& cert) override {
        X509Ptr x(parse_der(cert.der));
        BioPtr bio(BIO_new(BIO_s_mem()));
        if (!x || !bio || PEM_write_bio_X509(bio.get(), x.get()) != 1) {
            ERR_clear_error();
            return fail(kMalformed);
        }
        Sha256Digest digest{};
        if (!sha256(cert.der.data(), cert.der.size(), digest)) return fail(kCryptoFailed);
        const std::string id = kCertPrefix + hex_of(digest.data(), digest.size()) + kPemSuffix;
        const FileResult w = write_file_atomic(join_path(folder_, id), bio_text(bio.get()), FileAccess::owner_only);
        if (!w.ok()) return fail(w);
        cert.id = id;
        return ok();
    }

    StoreResult remove_certificate(const StoredCertificate& cert) override {
        if (cert.id.empty() || cert.id.find('/') != std::string::npos) return fail(EINVAL);
        const FileResult r = remove_file(join_path(folder_, cert.id));
        return r.ok() ? ok() : fail(r);
    }

    StoreResult bind_key(const StoredCertificate& cert, const PrivateKey& key,
                         std::unique_ptr<TlsCredential>& out) override {
        out.reset();
        X509Ptr x(parse_der(cert.der));
        EVP_PKEY* pkey = static_cast<const OpenSslPrivateKey&>(key).get();
        if (!x) {
            ERR_clear_error();
            return fail(kMalformed);
        }
        const bool matches = X509_check_private_key(x.get(), pkey) == 1;
        ERR_clear_error();
        if (!matches) return fail(kKeyMismatch);
        if (EVP_PKEY_up_ref(pkey) != 1) return fail(kCryptoFailed);
        out = std::make_unique<OpenSslCredential>(std::move(x), PkeyPtr(pkey), cert.der);
        return ok();
    }

private:
    std::string folder_;
};

}  // namespace

std::unique_ptr<ICertificateStore> make_certificate_store(const std::string& folder) {
    return std::make_unique<FileCertificateStore>(folder);
}

}  // namespace sorvane::platform
