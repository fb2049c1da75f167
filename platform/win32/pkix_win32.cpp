// Certificate facts and signatures through CryptoAPI. Keys on Windows live in
// the key storage provider and never leave it (the code signing port makes
// and uses them), so the functions that take or give a key as PEM text have
// nothing to work on here and say so.
#include <windows.h>
#include <wincrypt.h>

#include "common/text.h"
#include "platform/pkix.h"
#include "platform/win32/cert_context.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

const char kKeysStayInProvider[] = "keys stay in the key storage provider on Windows (see the code signing port)";

}  // namespace

bool rsa_generate_pem(uint32_t, std::string&, std::string& error) {
    error = kKeysStayInProvider;
    return false;
}

bool make_code_signing_certificate(const std::string&, const CodeSigningCertRequest&, std::vector<uint8_t>&,
                                   std::string& error) {
    error = kKeysStayInProvider;
    return false;
}

bool pkcs7_sign_detached(const std::string&, const std::vector<uint8_t>&, std::string_view, std::vector<uint8_t>&,
                         std::string& error) {
    error = kKeysStayInProvider;
    return false;
}

bool key_matches_certificate(const std::string&, const std::vector<uint8_t>&) { return false; }

bool pkcs7_verify_detached(const std::vector<uint8_t>& signature, std::string_view data,
                           std::vector<uint8_t>& signer_der, std::string& error) {
    if (signature.empty() || signature.size() > MAXDWORD || data.size() > MAXDWORD) {
        error = "signature or data too large or empty";
        return false;
    }
    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    const BYTE* parts[1] = {reinterpret_cast<const BYTE*>(data.data())};
    DWORD sizes[1] = {static_cast<DWORD>(data.size())};
    PCCERT_CONTEXT signer = nullptr;
    if (!CryptVerifyDetachedMessageSignature(&para, 0, signature.data(), static_cast<DWORD>(signature.size()), 1,
                                             parts, sizes, &signer)) {
        const DWORD e = GetLastError();
        error = "CryptVerifyDetachedMessageSignature: " + win32::error_text(e);
        return false;
    }
    win32::CertContext c(signer);
    signer_der = win32::der_of(c.get());
    return !signer_der.empty();
}

std::string certificate_thumbprint(const std::vector<uint8_t>& der) {
    const win32::CertContext c(der);
    return win32::thumbprint_of(c.get());
}

bool certificate_facts(const std::vector<uint8_t>& der, CertificateFacts& out) {
    const win32::CertContext c(der);
    if (!c) return false;
    const CERT_INFO* info = c.get()->pCertInfo;
    out = CertificateFacts{};
    out.simple_name = win32::simple_name_of(c.get());
    out.subject = win32::subject_of(c.get());
    out.not_before = win32::civil_of(info->NotBefore);
    out.not_after = win32::civil_of(info->NotAfter);
    for (DWORD i = 0; i < info->cExtension; ++i) {
        const CERT_EXTENSION& ext = info->rgExtension[i];
        out.extension_oids.emplace_back(ext.pszObjId);
        if (std::string_view(ext.pszObjId) == szOID_KEY_USAGE) out.key_usage_critical = ext.fCritical != FALSE;
    }
    DWORD size = 0;
    if (CertGetEnhancedKeyUsage(c.get(), CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size) && size > 0) {
        std::vector<uint8_t> buf(size);
        auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buf.data());
        if (CertGetEnhancedKeyUsage(c.get(), CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size))
            for (DWORD i = 0; i < usage->cUsageIdentifier; ++i)
                out.extended_key_usages.emplace_back(usage->rgpszUsageIdentifier[i]);
    }
    BYTE bits[2] = {};
    if (CertGetIntendedKeyUsage(X509_ASN_ENCODING, const_cast<CERT_INFO*>(info), bits, sizeof bits))
        out.key_usage_bits = bits[0];
    out.signature_algorithm_oid = info->SignatureAlgorithm.pszObjId;
    out.key_bits = CertGetPublicKeyLength(X509_ASN_ENCODING, const_cast<CERT_PUBLIC_KEY_INFO*>(&info->SubjectPublicKeyInfo));
    return true;
}

}  // namespace sorvane::platform
