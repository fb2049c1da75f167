// The public-key pieces behind code signing: RSA keys, the self-signed
// code-signing certificate, detached PKCS#7 signatures and certificate facts.
// Implemented with the platform's crypto library; the simulated machine's key
// provider, signer and driver store use it, so its keys and signatures are real.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace sorvane::platform {

// A new RSA key of bits bits as PKCS#8 PEM.
bool rsa_generate_pem(uint32_t bits, std::string& pem, std::string& error);

struct CodeSigningCertRequest {
    std::string subject_cn;
    CivilTime not_before;  // UTC
    CivilTime not_after;   // UTC
};

// A self-signed X.509 v3 certificate of the key: subject and issuer
// "CN=" + subject_cn, a random serial, extended key usage code signing only
// (not critical) then key usage digital signature only (critical), signed
// with SHA-256 and RSA. DER in der.
bool make_code_signing_certificate(const std::string& key_pem, const CodeSigningCertRequest& request,
                                   std::vector<uint8_t>& der, std::string& error);

// A detached PKCS#7 SignedData over data (SHA-256, the certificate alone, no
// authenticated attributes).
bool pkcs7_sign_detached(const std::string& key_pem, const std::vector<uint8_t>& cert_der, std::string_view data,
                         std::vector<uint8_t>& signature, std::string& error);

// Checks a detached PKCS#7 signature over data and returns its signer's
// certificate (taken from the signature itself). Trust is not judged here.
bool pkcs7_verify_detached(const std::vector<uint8_t>& signature, std::string_view data,
                           std::vector<uint8_t>& signer_der, std::string& error);

// The certificate's SHA-1 hash as 40 upper-case hexadecimal digits; empty
// when der is not a certificate.
std::string certificate_thumbprint(const std::vector<uint8_t>& der);

struct CertificateFacts {
    std::string subject;      // "CN=..." (one-line form)
    std::string simple_name;  // the subject's common name
    CivilTime not_before;
    CivilTime not_after;
    std::vector<std::string> extension_oids;  // in certificate order
    std::vector<std::string> extended_key_usages;
    bool key_usage_critical = false;
    uint32_t key_usage_bits = 0;  // bit 0x80 = digital signature, ...
    std::string signature_algorithm_oid;
    uint32_t key_bits = 0;
};
bool certificate_facts(const std::vector<uint8_t>& der, CertificateFacts& out);

// True when public_key of key_pem matches the certificate's.
bool key_matches_certificate(const std::string& key_pem, const std::vector<uint8_t>& cert_der);

}  // namespace sorvane::platform
