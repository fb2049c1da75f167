// Certificate contexts owned by one object, and the facts read from them,
// shared by the certificate store, PKIX and code signing ports.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace sorvane::platform::win32 {

class CertContext {
public:
    CertContext() = default;
    explicit CertContext(PCCERT_CONTEXT c) : c_(c) {}
    // Parses a DER certificate; empty when it is not one.
    explicit CertContext(const std::vector<uint8_t>& der);
    ~CertContext();
    CertContext(const CertContext&) = delete;
    CertContext& operator=(const CertContext&) = delete;

    PCCERT_CONTEXT get() const { return c_; }
    explicit operator bool() const { return c_ != nullptr; }
    void reset(PCCERT_CONTEXT c = nullptr);

private:
    PCCERT_CONTEXT c_ = nullptr;
};

// The SHA-1 thumbprint as 40 upper-case hexadecimal digits; empty on failure.
std::string thumbprint_of(PCCERT_CONTEXT c);
std::vector<uint8_t> der_of(PCCERT_CONTEXT c);
// The subject's common name, and its one-line X.500 text ("CN=...").
std::string simple_name_of(PCCERT_CONTEXT c);
std::string subject_of(PCCERT_CONTEXT c);
CivilTime civil_of(const FILETIME& ft);

// The encoded subject "CN=<common_name>", the name quoted so that no
// character of it reads as syntax; false with the system's error set.
bool encode_common_name(const std::string& common_name, std::vector<BYTE>& out);

// A structure of the given X.509 type (X509_KEY_USAGE and the like) in its
// DER encoding; false with the system's error set.
bool encode_object(LPCSTR type, const void* value, std::vector<BYTE>& out);

}  // namespace sorvane::platform::win32
