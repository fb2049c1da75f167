// Code signing port: the machine's key storage provider (persisted keys that
// never leave it), self-signed code-signing certificates made with such a
// key, detached signatures of files, the LocalMachine certificate stores, and
// reading back who signed a file. Calls return a Win32/HRESULT code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace sorvane::platform {

inline constexpr const char* kSoftwareKeyStorageProvider = "Microsoft Software Key Storage Provider";

struct CertEntry {
    std::string thumbprint;  // SHA-1, 40 upper-case hex digits
    std::string simple_name;
    std::vector<uint8_t> der;
};

class ICodeSigning {
public:
    virtual ~ICodeSigning() = default;

    // NCryptOpenStorageProvider.
    virtual uint32_t open_provider(std::string_view provider) = 0;
    // NCryptCreatePersistedKey (algorithm "RSA"): reserves the name.
    virtual uint32_t create_persisted_key(std::string_view name, bool machine) = 0;
    // Sets "Length" and finalizes (NCryptSetProperty + NCryptFinalizeKey);
    // the export policy stays at its default: not exportable.
    virtual uint32_t finalize_key(std::string_view name, bool machine, uint32_t bits) = 0;
    // NCryptOpenKey: 0 when a key of that name exists.
    virtual uint32_t open_key(std::string_view name, bool machine) = 0;
    // NCryptDeleteKey.
    virtual uint32_t delete_key(std::string_view name, bool machine) = 0;
    // NCryptEnumKeys.
    virtual uint32_t enum_keys(bool machine, std::vector<std::string>& names) = 0;

    // CertCreateSelfSignCertificate with the key: subject "CN=" + subject_cn,
    // code signing only (see platform/pkix.h), SHA-256 with RSA.
    virtual uint32_t create_self_signed(std::string_view key_name, bool machine, const std::string& subject_cn,
                                        const CivilTime& not_before, const CivilTime& not_after,
                                        std::vector<uint8_t>& der) = 0;
    // SignerSign: a detached signature of the file by the certificate's key
    // (SHA-256, no authenticated attributes, no time stamp), written beside
    // the file as path + ".p7s".
    virtual uint32_t sign_file(const std::string& path, std::string_view key_name, bool machine,
                               const std::vector<uint8_t>& cert_der) = 0;

    // LocalMachine system stores ("ROOT", "TrustedPublisher").
    virtual uint32_t store_add(std::string_view store, const std::vector<uint8_t>& der) = 0;
    virtual uint32_t store_list(std::string_view store, std::vector<CertEntry>& out) = 0;
    virtual uint32_t store_remove(std::string_view store, std::string_view thumbprint) = 0;
};

std::unique_ptr<ICodeSigning> make_code_signing();

// The signer certificate of the file's signature (path + ".p7s"), once the
// signature verifies over the file's bytes. False when there is none or it
// does not verify.
bool read_file_signer(const std::string& path, std::vector<uint8_t>& signer_der);

// Path of the detached signature of a signed file.
std::string signature_path(const std::string& path);

}  // namespace sorvane::platform
