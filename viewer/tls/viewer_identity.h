// The reference viewer's own identity: a self-signed ECDSA P-256 certificate
// and its key, kept in the viewer's state folder. The host knows the viewer
// by the SHA-256 fingerprint of this certificate, so it must stay the same
// from one run to the next.
#pragma once

#include <openssl/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"

namespace sorvane::viewer {

using Fingerprint = std::array<uint8_t, 32>;

inline constexpr const char* kViewerCertificateFile = "viewer_cert.pem";
inline constexpr const char* kViewerKeyFile = "viewer_key.pem";
inline constexpr const char* kViewerCommonName = "Sorvane Viewer";

// 64 lowercase hexadecimal digits.
std::string fingerprint_hex(const Fingerprint& fp);
// SHA-256 of a certificate's DER encoding.
bool fingerprint_of(X509* cert, Fingerprint& out);

class ViewerIdentity {
public:
    ~ViewerIdentity();
    ViewerIdentity(const ViewerIdentity&) = delete;
    ViewerIdentity& operator=(const ViewerIdentity&) = delete;

    // Loads the certificate and key kept in state_dir when both exist and
    // belong together; otherwise makes a new pair and writes it there (the
    // folder owner-only, the key 0600). Null with error on failure.
    static std::unique_ptr<ViewerIdentity> load_or_create(const std::string& state_dir, platform::IClock& clock,
                                                          std::string& error);
    // A new identity that is never written anywhere.
    static std::unique_ptr<ViewerIdentity> create_ephemeral(platform::IClock& clock, const std::string& common_name,
                                                            std::string& error);

    const Fingerprint& fingerprint() const { return fingerprint_; }
    X509* certificate() const { return cert_; }
    EVP_PKEY* key() const { return key_; }
    // True when load_or_create had to make a new identity.
    bool created() const { return created_; }

private:
    ViewerIdentity(X509* cert, EVP_PKEY* key, bool created);

    X509* cert_ = nullptr;
    EVP_PKEY* key_ = nullptr;
    Fingerprint fingerprint_{};
    bool created_ = false;
};

}  // namespace sorvane::viewer
