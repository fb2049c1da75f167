// Code signing on Windows: persisted keys of a CNG key storage provider,
// CertCreateSelfSignCertificate with such a key, SignerSign (mssign32, loaded
// on first use) which puts the signature into the file itself, the
// LocalMachine system stores, and reading a file's signer back after
// WinVerifyTrust has checked the signature over the file's bytes.
#include <windows.h>
#include <ncrypt.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <map>
#include <mutex>

#include "platform/code_signing.h"
#include "platform/win32/cert_context.h"
#include "platform/win32/win32_text.h"
#include "platform/win_error.h"

namespace sorvane::platform {

namespace {

// The SignerSign structures of mssign32 (no header of this build has them).
struct SignerFileInfo {
    DWORD cbSize;
    LPCWSTR pwszFileName;
    HANDLE hFile;
};
struct SignerSubjectInfo {
    DWORD cbSize;
    DWORD* pdwIndex;
    DWORD dwSubjectChoice;  // 1: a file
    SignerFileInfo* pSignerFileInfo;
};
struct SignerCertStoreInfo {
    DWORD cbSize;
    PCCERT_CONTEXT pSigningCert;
    DWORD dwCertPolicy;  // 1: the certificates of hCertStore
    HCERTSTORE hCertStore;
};
struct SignerCert {
    DWORD cbSize;
    DWORD dwCertChoice;  // 2: a certificate store
    SignerCertStoreInfo* pCertStoreInfo;
    HWND hwnd;
};
struct SignerSignatureInfo {
    DWORD cbSize;
    ALG_ID algidHash;
    DWORD dwAttrChoice;  // 0: no attributes
    void* pAttrAuthcode;
    PCRYPT_ATTRIBUTES psAuthenticated;
    PCRYPT_ATTRIBUTES psUnauthenticated;
};
using SignerSignFn = HRESULT(WINAPI*)(SignerSubjectInfo*, SignerCert*, SignerSignatureInfo*, void* provider_info,
                                      LPCWSTR timestamp_url, PCRYPT_ATTRIBUTES request, void* sip_data);

SignerSignFn signer_sign() {
    static const SignerSignFn fn = [] {
        HMODULE m = LoadLibraryExW(L"mssign32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        return m == nullptr ? nullptr
                            : reinterpret_cast<SignerSignFn>(reinterpret_cast<void*>(GetProcAddress(m, "SignerSign")));
    }();
    return fn;
}

DWORD key_flags(bool machine) { return machine ? NCRYPT_MACHINE_KEY_FLAG : 0; }

uint32_t last_error_code() {
    const DWORD e = GetLastError();
    return e == 0 ? kEFail : e;
}

SYSTEMTIME system_time(const CivilTime& t) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(t.year);
    st.wMonth = static_cast<WORD>(t.month);
    st.wDay = static_cast<WORD>(t.day);
    st.wHour = static_cast<WORD>(t.hour);
    st.wMinute = static_cast<WORD>(t.minute);
    st.wSecond = static_cast<WORD>(t.second);
    return st;
}

class SystemStore {
public:
    SystemStore(std::string_view name, bool write)
        : h_(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                           CERT_SYSTEM_STORE_LOCAL_MACHINE | (write ? 0 : CERT_STORE_READONLY_FLAG) |
                               CERT_STORE_OPEN_EXISTING_FLAG,
                           win32::widen(name).c_str())) {}
    ~SystemStore() {
        if (h_ != nullptr) CertCloseStore(h_, 0);
    }
    SystemStore(const SystemStore&) = delete;
    SystemStore& operator=(const SystemStore&) = delete;
    HCERTSTORE get() const { return h_; }

private:
    HCERTSTORE h_;
};

class Win32CodeSigning final : public ICodeSigning {
public:
    ~Win32CodeSigning() override {
        for (auto& [name, key] : pending_) NCryptFreeObject(key);
        if (provider_ != 0) NCryptFreeObject(provider_);
    }

    uint32_t open_provider(std::string_view provider) override {
        if (provider_ != 0) NCryptFreeObject(provider_);
        provider_ = 0;
        provider_name_ = win32::widen(provider);
        return static_cast<uint32_t>(NCryptOpenStorageProvider(&provider_, provider_name_.c_str(), 0));
    }

    uint32_t create_persisted_key(std::string_view name, bool machine) override {
        if (provider_ == 0) return static_cast<uint32_t>(NTE_INVALID_HANDLE);
        NCRYPT_KEY_HANDLE key = 0;
        const SECURITY_STATUS rc = NCryptCreatePersistedKey(provider_, &key, NCRYPT_RSA_ALGORITHM,
                                                            win32::widen(name).c_str(), 0, key_flags(machine));
        if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
        const std::string id = pending_id(name, machine);
        if (auto it = pending_.find(id); it != pending_.end()) NCryptFreeObject(it->second);
        pending_[id] = key;
        return 0;
    }

    uint32_t finalize_key(std::string_view name, bool machine, uint32_t bits) override {
        const auto it = pending_.find(pending_id(name, machine));
        if (it == pending_.end()) return kNteBadKeyset;
        const NCRYPT_KEY_HANDLE key = it->second;
        pending_.erase(it);
        DWORD length = bits;
        SECURITY_STATUS rc = NCryptSetProperty(key, NCRYPT_LENGTH_PROPERTY, reinterpret_cast<BYTE*>(&length),
                                               sizeof length, 0);
        if (rc == ERROR_SUCCESS) rc = NCryptFinalizeKey(key, 0);
        NCryptFreeObject(key);
        return static_cast<uint32_t>(rc);
    }

    uint32_t open_key(std::string_view name, bool machine) override {
        NCRYPT_KEY_HANDLE key = 0;
        const uint32_t rc = open(name, machine, key);
        if (rc == 0) NCryptFreeObject(key);
        return rc;
    }

    uint32_t delete_key(std::string_view name, bool machine) override {
        NCRYPT_KEY_HANDLE key = 0;
        const uint32_t rc = open(name, machine, key);
        if (rc != 0) return rc;
        const SECURITY_STATUS deleted = NCryptDeleteKey(key, 0);  // frees the handle when it succeeds
        if (deleted != ERROR_SUCCESS) NCryptFreeObject(key);
        return static_cast<uint32_t>(deleted);
    }

    uint32_t enum_keys(bool machine, std::vector<std::string>& names) override {
        names.clear();
        if (provider_ == 0) return static_cast<uint32_t>(NTE_INVALID_HANDLE);
        void* state = nullptr;
        SECURITY_STATUS rc = ERROR_SUCCESS;
        for (;;) {
            NCryptKeyName* key = nullptr;
            rc = NCryptEnumKeys(provider_, nullptr, &key, &state, key_flags(machine) | NCRYPT_SILENT_FLAG);
            if (rc != ERROR_SUCCESS) break;
            names.push_back(win32::narrow(key->pszName));
            NCryptFreeBuffer(key);
        }
        if (state != nullptr) NCryptFreeBuffer(state);
        return rc == static_cast<SECURITY_STATUS>(NTE_NO_MORE_ITEMS) ? 0 : static_cast<uint32_t>(rc);
    }

    uint32_t create_self_signed(std::string_view key_name, bool machine, const std::string& subject_cn,
                                const CivilTime& not_before, const CivilTime& not_after,
                                std::vector<uint8_t>& der) override {
        NCRYPT_KEY_HANDLE key = 0;
        if (const uint32_t rc = open(key_name, machine, key); rc != 0) return rc;
        const uint32_t rc = make_certificate(key, key_name, machine, subject_cn, not_before, not_after, der);
        NCryptFreeObject(key);
        return rc;
    }

    uint32_t sign_file(const std::string& path, std::string_view key_name, bool machine,
                       const std::vector<uint8_t>& cert_der) override {
        const SignerSignFn sign = signer_sign();
        if (sign == nullptr) return ERROR_PROC_NOT_FOUND;
        // A context of its own, told where its key is, in a store of its own.
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
        if (store == nullptr) return last_error_code();
        PCCERT_CONTEXT added = nullptr;
        if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, cert_der.data(),
                                              static_cast<DWORD>(cert_der.size()), CERT_STORE_ADD_ALWAYS, &added)) {
            const uint32_t rc = last_error_code();
            CertCloseStore(store, 0);
            return rc;
        }
        win32::CertContext cert(added);
        std::wstring container = win32::widen(key_name);
        CRYPT_KEY_PROV_INFO prov{};
        prov.pwszContainerName = container.data();
        prov.pwszProvName = provider_name_.data();
        prov.dwFlags = machine ? CRYPT_MACHINE_KEYSET : 0;
        CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &prov);

        const std::wstring file = win32::widen(path);
        SignerFileInfo file_info{sizeof(SignerFileInfo), file.c_str(), nullptr};
        DWORD index = 0;
        SignerSubjectInfo subject{sizeof(SignerSubjectInfo), &index, 1, &file_info};
        SignerCertStoreInfo store_info{sizeof(SignerCertStoreInfo), cert.get(), 1, store};
        SignerCert signer{sizeof(SignerCert), 2, &store_info, nullptr};
        SignerSignatureInfo signature{sizeof(SignerSignatureInfo), CALG_SHA_256, 0, nullptr, nullptr, nullptr};
        const HRESULT hr = sign(&subject, &signer, &signature, nullptr, nullptr, nullptr, nullptr);
        cert.reset();
        CertCloseStore(store, 0);
        return static_cast<uint32_t>(hr);
    }

    uint32_t store_add(std::string_view store, const std::vector<uint8_t>& der) override {
        SystemStore s(store, true);
        if (s.get() == nullptr) return last_error_code();
        if (!CertAddEncodedCertificateToStore(s.get(), X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                              CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
            return last_error_code();
        return 0;
    }

    uint32_t store_list(std::string_view store, std::vector<CertEntry>& out) override {
        out.clear();
        SystemStore s(store, false);
        if (s.get() == nullptr) return last_error_code();
        PCCERT_CONTEXT c = nullptr;
        while ((c = CertEnumCertificatesInStore(s.get(), c)) != nullptr)
            out.push_back(CertEntry{win32::thumbprint_of(c), win32::simple_name_of(c), win32::der_of(c)});
        return 0;
    }

    uint32_t store_remove(std::string_view store, std::string_view thumbprint) override {
        BYTE hash[20];
        if (thumbprint.size() != 40) return kCryptENotFound;
        for (size_t i = 0; i < 20; ++i) {
            const std::string byte(thumbprint.substr(i * 2, 2));
            char* end = nullptr;
            hash[i] = static_cast<BYTE>(std::strtoul(byte.c_str(), &end, 16));
            if (end != byte.c_str() + 2) return kCryptENotFound;
        }
        SystemStore s(store, true);
        if (s.get() == nullptr) return last_error_code();
        CRYPT_HASH_BLOB blob{20, hash};
        PCCERT_CONTEXT c = CertFindCertificateInStore(s.get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
        if (c == nullptr) return kCryptENotFound;
        // Deleting frees the context, whatever the outcome.
        return CertDeleteCertificateFromStore(c) ? 0 : last_error_code();
    }

private:
    static std::string pending_id(std::string_view name, bool machine) {
        return (machine ? "m:" : "u:") + std::string(name);
    }

    uint32_t open(std::string_view name, bool machine, NCRYPT_KEY_HANDLE& key) {
        if (provider_ == 0) return static_cast<uint32_t>(NTE_INVALID_HANDLE);
        return static_cast<uint32_t>(
            NCryptOpenKey(provider_, &key, win32::widen(name).c_str(), 0, key_flags(machine) | NCRYPT_SILENT_FLAG));
    }

    uint32_t make_certificate(NCRYPT_KEY_HANDLE key, std::string_view key_name, bool machine,
                              const std::string& subject_cn, const CivilTime& not_before, const CivilTime& not_after,
                              std::vector<uint8_t>& der) {
        std::vector<BYTE> name;
        if (!win32::encode_common_name(subject_cn, name)) return last_error_code();
        CERT_NAME_BLOB subject{static_cast<DWORD>(name.size()), name.data()};

        // Code signing only (not critical), then digital signature only (critical).
        LPSTR code_signing = const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING);
        CERT_ENHKEY_USAGE eku{1, &code_signing};
        BYTE usage_bits = CERT_DIGITAL_SIGNATURE_KEY_USAGE;
        CRYPT_BIT_BLOB usage{1, &usage_bits, 7};
        std::vector<BYTE> eku_der, usage_der;
        if (!win32::encode_object(X509_ENHANCED_KEY_USAGE, &eku, eku_der) ||
            !win32::encode_object(X509_KEY_USAGE, &usage, usage_der))
            return last_error_code();
        CERT_EXTENSION ext[2] = {
            {const_cast<LPSTR>(szOID_ENHANCED_KEY_USAGE), FALSE, {static_cast<DWORD>(eku_der.size()), eku_der.data()}},
            {const_cast<LPSTR>(szOID_KEY_USAGE), TRUE, {static_cast<DWORD>(usage_der.size()), usage_der.data()}},
        };
        CERT_EXTENSIONS extensions{2, ext};

        std::wstring container = win32::widen(key_name);
        CRYPT_KEY_PROV_INFO prov{};
        prov.pwszContainerName = container.data();
        prov.pwszProvName = provider_name_.data();
        prov.dwFlags = machine ? CRYPT_MACHINE_KEYSET : 0;
        CRYPT_ALGORITHM_IDENTIFIER algorithm{const_cast<LPSTR>(szOID_RSA_SHA256RSA), {0, nullptr}};
        SYSTEMTIME start = system_time(not_before);
        SYSTEMTIME end = system_time(not_after);
        PCCERT_CONTEXT c =
            CertCreateSelfSignCertificate(key, &subject, 0, &prov, &algorithm, &start, &end, &extensions);
        if (c == nullptr) return last_error_code();
        der = win32::der_of(c);
        CertFreeCertificateContext(c);
        return 0;
    }

    NCRYPT_PROV_HANDLE provider_ = 0;
    std::wstring provider_name_;
    std::map<std::string, NCRYPT_KEY_HANDLE> pending_;  // created, not finalized yet
};

}  // namespace

std::unique_ptr<ICodeSigning> make_code_signing() { return std::make_unique<Win32CodeSigning>(); }

// SignerSign puts the signature into the signed file itself.
std::string signature_path(const std::string& path) { return path; }

bool read_file_signer(const std::string& path, std::vector<uint8_t>& signer_der) {
    const std::wstring file = win32::widen(path);
    // The signature must hold over the file's bytes; whether its root is
    // trusted (it is not yet while the installer checks what it signed) is
    // not judged here.
    WINTRUST_FILE_INFO file_info{};
    file_info.cbStruct = sizeof file_info;
    file_info.pcwszFilePath = file.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file_info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG trust = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (trust != ERROR_SUCCESS && static_cast<uint32_t>(trust) != kCertEUntrustedRoot) return false;

    HCERTSTORE store = nullptr;
    HCRYPTMSG msg = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, file.c_str(),
                          CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED | CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &msg, nullptr))
        return false;
    bool found = false;
    DWORD size = 0;
    if (CryptMsgGetParam(msg, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size) && size > 0) {
        std::vector<uint8_t> buf(size);
        if (CryptMsgGetParam(msg, CMSG_SIGNER_CERT_INFO_PARAM, 0, buf.data(), &size)) {
            PCCERT_CONTEXT c = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                          CERT_FIND_SUBJECT_CERT, buf.data(), nullptr);
            if (c != nullptr) {
                signer_der = win32::der_of(c);
                CertFreeCertificateContext(c);
                found = !signer_der.empty();
            }
        }
    }
    CryptMsgClose(msg);
    CertCloseStore(store, 0);
    return found;
}

}  // namespace sorvane::platform
