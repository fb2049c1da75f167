// The user's personal certificate store ("MY") and ECDSA P-256 keys of the
// software key storage provider. A certificate is joined with its key for
// Schannel by naming the key in the context's key-provider information, so
// Schannel opens the key itself and no key handle is shared between owners.
#include <windows.h>
#include <ncrypt.h>
#include <wincrypt.h>

#include "platform/cert_store.h"
#include "platform/win32/cert_context.h"
#include "platform/win32/file_time.h"
#include "platform/win32/schannel_credential.h"
#include "platform/win32/win32_text.h"
#include "platform/win_error.h"

namespace sorvane::platform {

namespace {

StoreResult fail(uint32_t code) { return StoreResult{false, code == 0 ? kEFail : code}; }
StoreResult fail_last() { return fail(GetLastError()); }
StoreResult status(SECURITY_STATUS s) { return s == ERROR_SUCCESS ? StoreResult{} : fail(static_cast<uint32_t>(s)); }

SYSTEMTIME system_time_of(int64_t ms) {
    const uint64_t t = static_cast<uint64_t>(ms + 11'644'473'600'000LL) * 10'000;
    FILETIME ft{static_cast<DWORD>(t & 0xFFFFFFFFu), static_cast<DWORD>(t >> 32)};
    SYSTEMTIME st{};
    FileTimeToSystemTime(&ft, &st);
    return st;
}

void describe(PCCERT_CONTEXT c, StoredCertificate& out) {
    out.der = win32::der_of(c);
    out.subject = win32::subject_of(c);
    out.not_before_ms = win32::unix_ms_of(c->pCertInfo->NotBefore);
    out.not_after_ms = win32::unix_ms_of(c->pCertInfo->NotAfter);
}

class ProviderKey final : public PrivateKey {
public:
    ProviderKey(std::string name, NCRYPT_KEY_HANDLE key) : name_(std::move(name)), key_(key) {}
    ~ProviderKey() override { NCryptFreeObject(key_); }
    ProviderKey(const ProviderKey&) = delete;
    ProviderKey& operator=(const ProviderKey&) = delete;
    const std::string& name() const { return name_; }
    NCRYPT_KEY_HANDLE get() const { return key_; }

private:
    std::string name_;
    NCRYPT_KEY_HANDLE key_;
};

class Provider {
public:
    Provider() : status_(NCryptOpenStorageProvider(&h_, MS_KEY_STORAGE_PROVIDER, 0)) {}
    ~Provider() {
        if (h_ != 0) NCryptFreeObject(h_);
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    SECURITY_STATUS status() const { return status_; }
    NCRYPT_PROV_HANDLE get() const { return h_; }

private:
    NCRYPT_PROV_HANDLE h_ = 0;
    SECURITY_STATUS status_;
};

class Win32CertificateStore final : public ICertificateStore {
public:
    ~Win32CertificateStore() override {
        if (store_ != nullptr) CertCloseStore(store_, 0);
    }

    StoreResult open() override { return open_store(0); }
    StoreResult open_existing() override { return open_store(CERT_STORE_OPEN_EXISTING_FLAG); }

    StoreResult find_by_subject(std::string_view text, std::vector<StoredCertificate>& out) override {
        out.clear();
        if (store_ == nullptr) return fail(ERROR_INVALID_HANDLE);
        const std::wstring w = win32::widen(text);
        PCCERT_CONTEXT c = nullptr;
        while ((c = CertFindCertificateInStore(store_, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W, w.c_str(), c)) !=
               nullptr) {
            StoredCertificate sc;
            describe(c, sc);
            sc.id = win32::thumbprint_of(c);
            // The search looks at every name part; keep what the subject text holds.
            if (!sc.der.empty() && sc.subject.find(text) != std::string::npos) out.push_back(std::move(sc));
        }
        return {};
    }

    StoreResult open_key(std::string_view key_name, std::unique_ptr<PrivateKey>& out) override {
        Provider p;
        if (p.status() != ERROR_SUCCESS) return status(p.status());
        NCRYPT_KEY_HANDLE key = 0;
        const SECURITY_STATUS s =
            NCryptOpenKey(p.get(), &key, win32::widen(key_name).c_str(), 0, NCRYPT_SILENT_FLAG);
        if (s != ERROR_SUCCESS) return status(s);
        out = std::make_unique<ProviderKey>(std::string(key_name), key);
        return {};
    }

    StoreResult create_key(std::string_view key_name, std::unique_ptr<PrivateKey>& out) override {
        Provider p;
        if (p.status() != ERROR_SUCCESS) return status(p.status());
        NCRYPT_KEY_HANDLE key = 0;
        SECURITY_STATUS s = NCryptCreatePersistedKey(p.get(), &key, NCRYPT_ECDSA_P256_ALGORITHM,
                                                     win32::widen(key_name).c_str(), 0, NCRYPT_OVERWRITE_KEY_FLAG);
        if (s != ERROR_SUCCESS) return status(s);
        DWORD policy = 0;  // not exportable
        s = NCryptSetProperty(key, NCRYPT_EXPORT_POLICY_PROPERTY, reinterpret_cast<BYTE*>(&policy), sizeof policy,
                              NCRYPT_PERSIST_FLAG);
        if (s == ERROR_SUCCESS) s = NCryptFinalizeKey(key, NCRYPT_SILENT_FLAG);
        if (s != ERROR_SUCCESS) {
            NCryptDeleteKey(key, 0);
            return status(s);
        }
        out = std::make_unique<ProviderKey>(std::string(key_name), key);
        return {};
    }

    StoreResult delete_key(std::string_view key_name) override {
        Provider p;
        if (p.status() != ERROR_SUCCESS) return status(p.status());
        NCRYPT_KEY_HANDLE key = 0;
        const SECURITY_STATUS s =
            NCryptOpenKey(p.get(), &key, win32::widen(key_name).c_str(), 0, NCRYPT_SILENT_FLAG);
        if (s == static_cast<SECURITY_STATUS>(NTE_BAD_KEYSET)) return {};
        if (s != ERROR_SUCCESS) return status(s);
        const SECURITY_STATUS d = NCryptDeleteKey(key, 0);
        if (d != ERROR_SUCCESS) NCryptFreeObject(key);
        return status(d);
    }

    StoreResult create_certificate(const PrivateKey& key, const IdentityCertificateRequest& request,
                                   StoredCertificate& out) override {
        const auto* k = dynamic_cast<const ProviderKey*>(&key);
        if (k == nullptr) return fail(ERROR_INVALID_PARAMETER);
        std::vector<BYTE> name;
        if (!win32::encode_common_name(request.common_name, name)) return fail_last();
        CERT_NAME_BLOB subject{static_cast<DWORD>(name.size()), name.data()};

        // Digital signature only (critical), then server and client authentication.
        BYTE usage_bits = CERT_DIGITAL_SIGNATURE_KEY_USAGE;
        CRYPT_BIT_BLOB usage{1, &usage_bits, 7};
        LPSTR purposes[2] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH), const_cast<LPSTR>(szOID_PKIX_KP_CLIENT_AUTH)};
        CERT_ENHKEY_USAGE eku{2, purposes};
        std::vector<BYTE> usage_der, eku_der;
        CERT_EXTENSION ext[2];
        CERT_EXTENSIONS extensions{0, ext};
        if (win32::encode_object(X509_KEY_USAGE, &usage, usage_der) &&
            win32::encode_object(X509_ENHANCED_KEY_USAGE, &eku, eku_der)) {
            ext[0] = {const_cast<LPSTR>(szOID_KEY_USAGE), TRUE, {static_cast<DWORD>(usage_der.size()), usage_der.data()}};
            ext[1] = {const_cast<LPSTR>(szOID_ENHANCED_KEY_USAGE), FALSE,
                      {static_cast<DWORD>(eku_der.size()), eku_der.data()}};
            extensions.cExtension = 2;
        }
        std::wstring container = win32::widen(k->name());
        std::wstring provider = MS_KEY_STORAGE_PROVIDER;
        CRYPT_KEY_PROV_INFO prov{};
        prov.pwszContainerName = container.data();
        prov.pwszProvName = provider.data();
        CRYPT_ALGORITHM_IDENTIFIER algorithm{const_cast<LPSTR>(szOID_ECDSA_SHA256), {0, nullptr}};
        SYSTEMTIME start = system_time_of(request.not_before_ms);
        SYSTEMTIME end = system_time_of(request.not_after_ms);
        win32::CertContext c(CertCreateSelfSignCertificate(k->get(), &subject, 0, &prov, &algorithm, &start, &end,
                                                           &extensions));
        if (!c) return fail_last();
        out = StoredCertificate{};
        describe(c.get(), out);
        return {};
    }

    StoreResult add_certificate(StoredCertificate& cert) override {
        if (store_ == nullptr) return fail(ERROR_INVALID_HANDLE);
        PCCERT_CONTEXT added = nullptr;
        if (!CertAddEncodedCertificateToStore(store_, X509_ASN_ENCODING, cert.der.data(),
                                              static_cast<DWORD>(cert.der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                              &added))
            return fail_last();
        win32::CertContext c(added);
        cert.id = win32::thumbprint_of(c.get());
        return {};
    }

    StoreResult remove_certificate(const StoredCertificate& cert) override {
        if (store_ == nullptr) return fail(ERROR_INVALID_HANDLE);
        const win32::CertContext parsed(cert.der);
        if (!parsed) return fail(CRYPT_E_NOT_FOUND);
        PCCERT_CONTEXT c =
            CertFindCertificateInStore(store_, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, parsed.get(), nullptr);
        if (c == nullptr) return fail(CRYPT_E_NOT_FOUND);
        return CertDeleteCertificateFromStore(c) ? StoreResult{} : fail_last();  // frees c either way
    }

    StoreResult bind_key(const StoredCertificate& cert, const PrivateKey& key,
                         std::unique_ptr<TlsCredential>& out) override {
        const auto* k = dynamic_cast<const ProviderKey*>(&key);
        if (k == nullptr) return fail(ERROR_INVALID_PARAMETER);
        win32::CertContext c(cert.der);
        if (!c) return fail(CRYPT_E_BAD_ENCODE);
        // The key must be the private half of the certificate's public key.
        DWORD size = 0;
        if (!CryptExportPublicKeyInfo(k->get(), 0, X509_ASN_ENCODING, nullptr, &size)) return fail_last();
        std::vector<uint8_t> buf(size);
        auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buf.data());
        if (!CryptExportPublicKeyInfo(k->get(), 0, X509_ASN_ENCODING, info, &size)) return fail_last();
        if (!CertComparePublicKeyInfo(X509_ASN_ENCODING, info, &c.get()->pCertInfo->SubjectPublicKeyInfo))
            return fail(static_cast<uint32_t>(NTE_BAD_KEY));
        std::wstring container = win32::widen(k->name());
        std::wstring provider = MS_KEY_STORAGE_PROVIDER;
        CRYPT_KEY_PROV_INFO prov{};
        prov.pwszContainerName = container.data();
        prov.pwszProvName = provider.data();
        if (!CertSetCertificateContextProperty(c.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &prov)) return fail_last();
        out = std::make_unique<win32::SchannelCredential>(c.get());
        return {};
    }

private:
    StoreResult open_store(DWORD flags) {
        if (store_ != nullptr) return {};
        store_ = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER | flags, L"MY");
        return store_ != nullptr ? StoreResult{} : fail_last();
    }

    HCERTSTORE store_ = nullptr;
};

}  // namespace

std::unique_ptr<ICertificateStore> make_certificate_store(const std::string&) {
    return std::make_unique<Win32CertificateStore>();
}

}  // namespace sorvane::platform
