// Certificate store and key provider port: where a long-lived TLS identity
// (certificate plus private key) is kept between runs. On Windows the user's
// certificate store and the software key provider; on Linux a folder of PEM
// certificates and PKCS#8 keys (0600 files in a 0700 folder).
//
// Results carry the system's error number (errno on Linux, the Win32/NTSTATUS
// value on Windows) so callers print and record the same numbers everywhere.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tls.h"

namespace sorvane::platform {

struct StoreResult {
    bool ok = true;
    uint32_t error_code = 0;
};

// A private key held by the key provider.
class PrivateKey {
public:
    virtual ~PrivateKey() = default;
};

struct StoredCertificate {
    std::string id;             // the store's name for it; empty until added
    std::vector<uint8_t> der;   // the certificate's DER encoding
    std::string subject;        // "CN=..." text of the subject
    int64_t not_before_ms = 0;  // validity window, milliseconds since 1970 UTC
    int64_t not_after_ms = 0;
};

// The identity certificate every store makes: self-signed (issuer = subject =
// "CN=" + common_name), ECDSA P-256 key, signed with ECDSA-SHA256, a random
// serial, key usage "digital signature" (critical) and extended key usage
// server and client authentication (not critical).
struct IdentityCertificateRequest {
    std::string common_name;
    int64_t not_before_ms = 0;
    int64_t not_after_ms = 0;
};

class ICertificateStore {
public:
    virtual ~ICertificateStore() = default;

    // Opens the store; on Linux creates the folder (owner-only) when missing.
    virtual StoreResult open() = 0;
    // Opens the store only when it exists (2, not found, otherwise); creates nothing.
    virtual StoreResult open_existing() = 0;

    // Every stored certificate whose subject text contains text, in no
    // particular order. Entries that cannot be read or parsed are skipped.
    virtual StoreResult find_by_subject(std::string_view text, std::vector<StoredCertificate>& out) = 0;

    // Opens the key kept under key_name.
    virtual StoreResult open_key(std::string_view key_name, std::unique_ptr<PrivateKey>& out) = 0;
    // Creates a new ECDSA P-256 key under key_name, replacing any key of that name.
    virtual StoreResult create_key(std::string_view key_name, std::unique_ptr<PrivateKey>& out) = 0;
    // Removes the key kept under key_name; ok when there was none.
    virtual StoreResult delete_key(std::string_view key_name) = 0;

    // Makes (does not store) the identity certificate of key.
    virtual StoreResult create_certificate(const PrivateKey& key, const IdentityCertificateRequest& request,
                                           StoredCertificate& out) = 0;
    // Stores cert, replacing an identical one, and sets its id.
    virtual StoreResult add_certificate(StoredCertificate& cert) = 0;
    // Removes a stored certificate (by id).
    virtual StoreResult remove_certificate(const StoredCertificate& cert) = 0;

    // Joins a certificate with its key for the TLS engine. Fails when key is
    // not the private key of cert's public key.
    virtual StoreResult bind_key(const StoredCertificate& cert, const PrivateKey& key,
                                 std::unique_ptr<TlsCredential>& out) = 0;
};

// The store kept in folder (on Windows the folder is ignored: the user's
// personal store is used).
std::unique_ptr<ICertificateStore> make_certificate_store(const std::string& folder);

}  // namespace sorvane::platform
