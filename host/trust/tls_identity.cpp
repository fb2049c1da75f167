#include "host/trust/tls_identity.h"

#include <algorithm>
#include <cinttypes>
#include <vector>

#include "host/trust/tls_log.h"
#include "platform/paths.h"

namespace sorvane {

std::string identity_store_folder(const std::string& data_dir) { return platform::join_path(data_dir, "tls"); }

TlsIdentity TlsIdentity::load_or_create(const std::string& name, platform::ICertificateStore& store,
                                        platform::IClock& clock, TrustStatus& status) {
    TlsIdentity identity;
    const std::string key_name = kIdentityKeyPrefix + name;

    platform::StoreResult r = store.open();
    std::vector<platform::StoredCertificate> found;
    if (r.ok) r = store.find_by_subject(name, found);
    if (!r.ok) {
        tls_log("[tls] CertOpenStore(MY) failed: %" PRIu32, r.error_code);
        return identity;
    }

    auto finish = [&identity](std::unique_ptr<platform::TlsCredential> credential) {
        Fingerprint fp{};
        if (!certificate_fingerprint(credential->certificate_der(), fp)) return false;
        identity.credential_ = std::move(credential);
        identity.fingerprint_ = fp;
        return true;
    };

    if (!found.empty()) {
        // A renewal leaves the old certificate behind and gives the key name a
        // new key, so a certificate found by name may not belong to the key.
        // Try the newest first and use the first whose key really matches.
        std::stable_sort(found.begin(), found.end(),
                         [](const platform::StoredCertificate& a, const platform::StoredCertificate& b) {
                             if (a.not_before_ms != b.not_before_ms) return a.not_before_ms > b.not_before_ms;
                             return a.not_after_ms > b.not_after_ms;
                         });
        std::unique_ptr<platform::PrivateKey> key;
        r = store.open_key(key_name, key);
        uint32_t error = r.error_code;
        if (!r.ok) {
            tls_log("[tls] NCryptOpenKey(%s) failed: 0x%" PRIx32, key_name.c_str(), r.error_code);
        } else {
            for (const auto& cert : found) {
                std::unique_ptr<platform::TlsCredential> credential;
                const platform::StoreResult bound = store.bind_key(cert, *key, credential);
                if (bound.ok && finish(std::move(credential))) return identity;
                if (error == 0) error = bound.error_code;
            }
        }
        tls_log("[tls] mevcut sertifikanin ozel anahtarina erisilemiyor (GetLastError=%" PRIu32
                "), YENI TLS KIMLIGI uretiliyor: eslesmis telefonlar bu bilgisayari QR ile yeniden eslestirmeli",
                error);
        status.note_tls_renewed(error);
    }

    std::unique_ptr<platform::PrivateKey> key;
    r = store.create_key(key_name, key);
    if (!r.ok) {
        tls_log("[tls] NCryptCreatePersistedKey failed: 0x%" PRIx32, r.error_code);
        return identity;
    }
    platform::IdentityCertificateRequest request;
    request.common_name = name;
    request.not_before_ms = clock.wall_ms() - kIdentityBackdateMs;
    request.not_after_ms = request.not_before_ms + kIdentityLifetimeMs;
    platform::StoredCertificate cert;
    r = store.create_certificate(*key, request, cert);
    if (!r.ok) {
        tls_log("[tls] CertCreateSelfSignCertificate failed: %" PRIu32, r.error_code);
        return identity;
    }
    r = store.add_certificate(cert);
    if (!r.ok) {
        tls_log("[tls] CertAddCertificateContextToStore failed: %" PRIu32, r.error_code);
        return identity;
    }
    std::unique_ptr<platform::TlsCredential> credential;
    r = store.bind_key(cert, *key, credential);
    if (!r.ok) {
        tls_log("[tls] CertSetCertificateContextProperty(NCRYPT_KEY_HANDLE) failed: %" PRIu32, r.error_code);
        return identity;
    }
    finish(std::move(credential));
    return identity;
}

}  // namespace sorvane
