// The host's long-lived TLS identity: a self-signed ECDSA P-256 certificate
// with its private key, kept by the platform's certificate store between runs.
// Phones know the host by the SHA-256 fingerprint of this certificate.
#pragma once

#include <memory>
#include <string>

#include "host/trust/fingerprint.h"
#include "host/trust/trust_status.h"
#include "platform/cert_store.h"
#include "platform/clock.h"
#include "platform/tls.h"

namespace sorvane {

inline constexpr const char* kHostIdentityName = "Sorvane Host TLS Identity";
// The key of an identity is kept under this prefix followed by its name.
inline constexpr const char* kIdentityKeyPrefix = "Sorvane-TlsIdentity-";
// A new certificate is valid from 10 days before its creation for 3660 days.
inline constexpr int64_t kIdentityBackdateMs = 10LL * 86'400'000;
inline constexpr int64_t kIdentityLifetimeMs = 3660LL * 86'400'000;

// The folder, inside the user data folder, where the store keeps the identity
// on platforms whose store is a folder.
std::string identity_store_folder(const std::string& data_dir);

class TlsIdentity {
public:
    TlsIdentity() = default;  // not valid
    TlsIdentity(TlsIdentity&&) noexcept = default;
    TlsIdentity& operator=(TlsIdentity&&) noexcept = default;
    TlsIdentity(const TlsIdentity&) = delete;
    TlsIdentity& operator=(const TlsIdentity&) = delete;

    // Finds the identity called name in the store and checks that its key is
    // usable and belongs to it (of several certificates the newest is tried
    // first); otherwise creates a new one. A renewal of an identity that
    // existed is logged and noted in status. Not valid when neither worked.
    // clock gives the creation time of a new certificate.
    static TlsIdentity load_or_create(const std::string& name, platform::ICertificateStore& store,
                                      platform::IClock& clock, TrustStatus& status);

    bool valid() const { return credential_ != nullptr; }
    // SHA-256 of the certificate's DER; all zero when not valid.
    const Fingerprint& fingerprint() const { return fingerprint_; }
    // The certificate with its key for the TLS engine; null when not valid.
    const platform::TlsCredential* credential() const { return credential_.get(); }

private:
    std::unique_ptr<platform::TlsCredential> credential_;
    Fingerprint fingerprint_{};
};

}  // namespace sorvane
