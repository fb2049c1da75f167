// A certificate context whose key-provider information names its key: what
// Schannel needs to present it. Made by the certificate store.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "platform/tls.h"
#include "platform/win32/cert_context.h"

namespace sorvane::platform::win32 {

class SchannelCredential final : public TlsCredential {
public:
    explicit SchannelCredential(PCCERT_CONTEXT c) : context_(CertDuplicateCertificateContext(c)), der_(der_of(c)) {}
    const std::vector<uint8_t>& certificate_der() const override { return der_; }
    PCCERT_CONTEXT context() const { return context_.get(); }

private:
    CertContext context_;
    std::vector<uint8_t> der_;
};

}  // namespace sorvane::platform::win32
