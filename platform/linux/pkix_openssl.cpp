#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

#include "platform/pkix.h"

namespace sorvane::platform {

namespace {

template <class T, void (*F)(T*)>
struct Deleter {
    void operator()(T* p) const { F(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Pkcs7 = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;

std::string ssl_error(const char* step) {
    const unsigned long e = ERR_get_error();
    char buf[256] = {};
    if (e != 0) ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    return std::string(step) + (e != 0 ? std::string(": ") + buf : std::string());
}

PKey load_key(const std::string& pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return nullptr;
    return PKey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

X509Ptr load_cert(const std::vector<uint8_t>& der) {
    const unsigned char* p = der.data();
    X509Ptr c(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (c && p != der.data() + der.size()) return nullptr;
    return c;
}

bool set_time(ASN1_TIME* t, const CivilTime& c) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u%02u%02u%02u%02u%02uZ", c.year, c.month, c.day, c.hour, c.minute, c.second);
    return ASN1_TIME_set_string_X509(t, buf) == 1;
}

CivilTime civil_of(const ASN1_TIME* t) {
    CivilTime c;
    struct tm tm {};
    if (ASN1_TIME_to_tm(t, &tm) == 1) {
        c.year = static_cast<uint32_t>(tm.tm_year + 1900);
        c.month = static_cast<uint32_t>(tm.tm_mon + 1);
        c.day = static_cast<uint32_t>(tm.tm_mday);
        c.hour = static_cast<uint32_t>(tm.tm_hour);
        c.minute = static_cast<uint32_t>(tm.tm_min);
        c.second = static_cast<uint32_t>(tm.tm_sec);
    }
    return c;
}

std::string oid_text(const ASN1_OBJECT* o) {
    char buf[128] = {};
    OBJ_obj2txt(buf, sizeof buf, o, 1);
    return buf;
}

std::vector<uint8_t> to_der(X509* c) {
    std::vector<uint8_t> out;
    const int n = i2d_X509(c, nullptr);
    if (n <= 0) return out;
    out.resize(static_cast<size_t>(n));
    unsigned char* p = out.data();
    i2d_X509(c, &p);
    return out;
}

}  // namespace

bool rsa_generate_pem(uint32_t bits, std::string& pem, std::string& error) {
    PKey key(EVP_RSA_gen(bits));
    if (!key) {
        error = ssl_error("EVP_RSA_gen");
        return false;
    }
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        error = ssl_error("PEM_write_bio_PrivateKey");
        return false;
    }
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    pem.assign(data, static_cast<size_t>(n));
    return true;
}

bool make_code_signing_certificate(const std::string& key_pem, const CodeSigningCertRequest& request,
                                   std::vector<uint8_t>& der, std::string& error) {
    PKey key = load_key(key_pem);
    if (!key) {
        error = ssl_error("load key");
        return false;
    }
    X509Ptr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1) {
        error = ssl_error("X509_new");
        return false;
    }
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) {
        error = ssl_error("RAND_bytes");
        return false;
    }
    serial[0] &= 0x7F;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    ASN1_INTEGER* sn = bn != nullptr ? BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) : nullptr;
    BN_free(bn);
    if (sn == nullptr) {
        error = ssl_error("serial");
        return false;
    }
    X509_NAME* name = X509_get_subject_name(cert.get());
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(request.subject_cn.c_str()), -1, -1, 0) != 1 ||
        X509_set_issuer_name(cert.get(), name) != 1) {
        error = ssl_error("subject");
        return false;
    }
    if (!set_time(X509_getm_notBefore(cert.get()), request.not_before) ||
        !set_time(X509_getm_notAfter(cert.get()), request.not_after)) {
        error = ssl_error("validity");
        return false;
    }
    if (X509_set_pubkey(cert.get(), key.get()) != 1) {
        error = ssl_error("X509_set_pubkey");
        return false;
    }
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    for (const auto& [nid, value] : {std::pair<int, const char*>{NID_ext_key_usage, "codeSigning"},
                                     std::pair<int, const char*>{NID_key_usage, "critical,digitalSignature"}}) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
        if (ext == nullptr || X509_add_ext(cert.get(), ext, -1) != 1) {
            X509_EXTENSION_free(ext);
            error = ssl_error("extension");
            return false;
        }
        X509_EXTENSION_free(ext);
    }
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) {
        error = ssl_error("X509_sign");
        return false;
    }
    der = to_der(cert.get());
    return !der.empty();
}

bool pkcs7_sign_detached(const std::string& key_pem, const std::vector<uint8_t>& cert_der, std::string_view data,
                         std::vector<uint8_t>& signature, std::string& error) {
    PKey key = load_key(key_pem);
    X509Ptr cert = load_cert(cert_der);
    if (!key || !cert) {
        error = ssl_error("load key or certificate");
        return false;
    }
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        error = ssl_error("key does not match the certificate");
        return false;
    }
    Bio in(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    const int flags = PKCS7_DETACHED | PKCS7_BINARY | PKCS7_NOATTR | PKCS7_PARTIAL;
    Pkcs7 p7(PKCS7_sign(nullptr, nullptr, nullptr, nullptr, flags));
    if (!p7 || PKCS7_sign_add_signer(p7.get(), cert.get(), key.get(), EVP_sha256(), flags) == nullptr ||
        PKCS7_final(p7.get(), in.get(), flags) != 1) {
        error = ssl_error("PKCS7_sign");
        return false;
    }
    const int n = i2d_PKCS7(p7.get(), nullptr);
    if (n <= 0) {
        error = ssl_error("i2d_PKCS7");
        return false;
    }
    signature.resize(static_cast<size_t>(n));
    unsigned char* p = signature.data();
    i2d_PKCS7(p7.get(), &p);
    return true;
}

bool pkcs7_verify_detached(const std::vector<uint8_t>& signature, std::string_view data,
                           std::vector<uint8_t>& signer_der, std::string& error) {
    const unsigned char* p = signature.data();
    Pkcs7 p7(d2i_PKCS7(nullptr, &p, static_cast<long>(signature.size())));
    if (!p7 || !PKCS7_type_is_signed(p7.get())) {
        error = ssl_error("not a PKCS#7 signature");
        return false;
    }
    Bio in(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    if (PKCS7_verify(p7.get(), nullptr, nullptr, in.get(), nullptr, PKCS7_NOVERIFY | PKCS7_BINARY) != 1) {
        error = ssl_error("signature does not verify");
        return false;
    }
    STACK_OF(X509)* signers = PKCS7_get0_signers(p7.get(), nullptr, 0);
    if (signers == nullptr || sk_X509_num(signers) != 1) {
        sk_X509_free(signers);
        error = "expected exactly one signer";
        return false;
    }
    signer_der = to_der(sk_X509_value(signers, 0));
    sk_X509_free(signers);
    return !signer_der.empty();
}

std::string certificate_thumbprint(const std::vector<uint8_t>& der) {
    if (!load_cert(der)) return {};
    unsigned char md[SHA_DIGEST_LENGTH];
    SHA1(der.data(), der.size(), md);
    std::string out;
    char buf[3];
    for (unsigned char b : md) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        out += buf;
    }
    return out;
}

bool certificate_facts(const std::vector<uint8_t>& der, CertificateFacts& out) {
    X509Ptr c = load_cert(der);
    if (!c) return false;
    out = CertificateFacts{};
    X509_NAME* subject = X509_get_subject_name(c.get());
    char buf[512] = {};
    X509_NAME_get_text_by_NID(subject, NID_commonName, buf, sizeof buf);
    out.simple_name = buf;
    out.subject = "CN=" + out.simple_name;
    out.not_before = civil_of(X509_get0_notBefore(c.get()));
    out.not_after = civil_of(X509_get0_notAfter(c.get()));
    for (int i = 0; i < X509_get_ext_count(c.get()); ++i) {
        X509_EXTENSION* ext = X509_get_ext(c.get(), i);
        out.extension_oids.push_back(oid_text(X509_EXTENSION_get_object(ext)));
        if (OBJ_obj2nid(X509_EXTENSION_get_object(ext)) == NID_key_usage)
            out.key_usage_critical = X509_EXTENSION_get_critical(ext) != 0;
    }
    if (auto* eku = static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(c.get(), NID_ext_key_usage, nullptr, nullptr))) {
        for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i) out.extended_key_usages.push_back(oid_text(sk_ASN1_OBJECT_value(eku, i)));
        EXTENDED_KEY_USAGE_free(eku);
    }
    out.key_usage_bits = X509_get_key_usage(c.get()) & 0xFF;
    out.signature_algorithm_oid = oid_text(OBJ_nid2obj(X509_get_signature_nid(c.get())));
    if (EVP_PKEY* pk = X509_get0_pubkey(c.get())) out.key_bits = static_cast<uint32_t>(EVP_PKEY_get_bits(pk));
    return true;
}

bool key_matches_certificate(const std::string& key_pem, const std::vector<uint8_t>& cert_der) {
    PKey key = load_key(key_pem);
    X509Ptr cert = load_cert(cert_der);
    const bool ok = key && cert && X509_check_private_key(cert.get(), key.get()) == 1;
    ERR_clear_error();
    return ok;
}

}  // namespace sorvane::platform
