#include "platform/win32/cert_context.h"

#include "common/text.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform::win32 {

CertContext::CertContext(const std::vector<uint8_t>& der)
    : c_(der.empty() || der.size() > MAXDWORD
             ? nullptr
             : CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                            static_cast<DWORD>(der.size()))) {}

CertContext::~CertContext() {
    if (c_ != nullptr) CertFreeCertificateContext(c_);
}

void CertContext::reset(PCCERT_CONTEXT c) {
    if (c_ != nullptr) CertFreeCertificateContext(c_);
    c_ = c;
}

std::string thumbprint_of(PCCERT_CONTEXT c) {
    BYTE hash[20];
    DWORD n = sizeof hash;
    if (c == nullptr || !CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, hash, &n) || n != sizeof hash)
        return {};
    std::string hex = to_hex(hash, n);
    for (char& ch : hex)
        if (ch >= 'a' && ch <= 'f') ch = static_cast<char>(ch - 'a' + 'A');
    return hex;
}

std::vector<uint8_t> der_of(PCCERT_CONTEXT c) {
    if (c == nullptr) return {};
    return std::vector<uint8_t>(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
}

std::string simple_name_of(PCCERT_CONTEXT c) {
    wchar_t buf[512] = {};
    const DWORD n = CertGetNameStringW(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buf, 512);
    return n > 1 ? narrow(std::wstring_view(buf, n - 1)) : std::string();
}

std::string subject_of(PCCERT_CONTEXT c) {
    wchar_t buf[1024] = {};
    const DWORD n = CertNameToStrW(X509_ASN_ENCODING, &c->pCertInfo->Subject,
                                   CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG, buf, 1024);
    return n > 1 ? narrow(std::wstring_view(buf, n - 1)) : std::string();
}

CivilTime civil_of(const FILETIME& ft) {
    SYSTEMTIME st{};
    FileTimeToSystemTime(&ft, &st);
    return CivilTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

bool encode_common_name(const std::string& common_name, std::vector<BYTE>& out) {
    std::wstring quoted = L"CN=\"";
    for (wchar_t ch : widen(common_name)) quoted += ch == L'"' ? std::wstring(L"\"\"") : std::wstring(1, ch);
    quoted += L"\"";
    DWORD size = 0;
    if (!CertStrToNameW(X509_ASN_ENCODING, quoted.c_str(), CERT_X500_NAME_STR, nullptr, nullptr, &size, nullptr))
        return false;
    out.resize(size);
    if (!CertStrToNameW(X509_ASN_ENCODING, quoted.c_str(), CERT_X500_NAME_STR, nullptr, out.data(), &size, nullptr))
        return false;
    out.resize(size);
    return true;
}

bool encode_object(LPCSTR type, const void* value, std::vector<BYTE>& out) {
    DWORD n = 0;
    if (!CryptEncodeObject(X509_ASN_ENCODING, type, value, nullptr, &n)) return false;
    out.resize(n);
    if (!CryptEncodeObject(X509_ASN_ENCODING, type, value, out.data(), &n)) return false;
    out.resize(n);
    return true;
}

}  // namespace sorvane::platform::win32
