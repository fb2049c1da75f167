// The TLS engine on Schannel through SSPI, buffer in and buffer out: the
// ciphertext handed in waits in one buffer until a handshake step or a
// record consumes it, the output tokens and records wait in another until
// the caller takes them, and a record's plaintext that did not fit the
// caller's buffer is kept for the next decrypt.
#define SECURITY_WIN32
#include <windows.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <cstring>

#include "platform/tls.h"
#include "platform/win32/schannel_credential.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

constexpr ULONG kServerFlags = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT | ASC_REQ_CONFIDENTIALITY |
                               ASC_REQ_EXTENDED_ERROR | ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM |
                               ASC_REQ_MUTUAL_AUTH;
constexpr ULONG kClientFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                               ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                               ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS;

// Protocol bits of SCHANNEL_CRED (TLS 1.2 only: the older credential record
// cannot name 1.3, and the system never offers less than what is enabled).
constexpr DWORD kTls12Server = 0x400;  // SP_PROT_TLS1_2_SERVER
constexpr DWORD kTls12Client = 0x800;  // SP_PROT_TLS1_2_CLIENT
constexpr DWORD kTls13Protocols = 0x3000;

class SchannelEngine final : public ITlsEngine {
public:
    explicit SchannelEngine(bool server) : server_(server) {
        SecInvalidateHandle(&cred_);
        SecInvalidateHandle(&ctx_);
    }

    ~SchannelEngine() override {
        if (have_ctx_) DeleteSecurityContext(&ctx_);
        if (have_cred_) FreeCredentialsHandle(&cred_);
    }
    SchannelEngine(const SchannelEngine&) = delete;
    SchannelEngine& operator=(const SchannelEngine&) = delete;

    uint32_t init(const win32::SchannelCredential* credential) {
        SCHANNEL_CRED sc{};
        sc.dwVersion = SCHANNEL_CRED_VERSION;
        PCCERT_CONTEXT cert = credential != nullptr ? credential->context() : nullptr;
        if (cert != nullptr) {
            sc.cCreds = 1;
            sc.paCred = &cert;
        }
        sc.grbitEnabledProtocols = server_ ? kTls12Server : kTls12Client;
        sc.dwFlags = server_ ? SCH_CRED_NO_SYSTEM_MAPPER | SCH_CRED_MANUAL_CRED_VALIDATION
                             : SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_SERVERNAME_CHECK;
        if (cert == nullptr) sc.dwFlags |= SCH_CRED_NO_DEFAULT_CREDS;
        TimeStamp expiry{};
        const SECURITY_STATUS s =
            AcquireCredentialsHandleW(nullptr, const_cast<LPWSTR>(UNISP_NAME_W),
                                      server_ ? SECPKG_CRED_INBOUND : SECPKG_CRED_OUTBOUND, nullptr, &sc, nullptr,
                                      nullptr, &cred_, &expiry);
        if (s != SEC_E_OK) {
            last_error_ = "AcquireCredentialsHandle: " + win32::error_text(static_cast<uint32_t>(s));
            return static_cast<uint32_t>(s);
        }
        have_cred_ = true;
        return kSecOk;
    }

    bool put_input(const uint8_t* data, size_t n) override {
        in_.insert(in_.end(), data, data + n);
        return true;
    }

    size_t input_pending() const override { return in_.size(); }

    uint32_t handshake() override {
        if (done_) return kSecOk;
        for (;;) {
            // The server waits for the client; the client speaks first.
            if (in_.empty() && (server_ || have_ctx_)) return out_.empty() ? kSecIncompleteMessage : kSecContinueNeeded;
            const size_t before = out_.size();
            SECURITY_STATUS s = step(in_.empty() ? nullptr : in_.data(), in_.size(), true);
            if (s == SEC_I_INCOMPLETE_CREDENTIALS) continue;  // asked for a certificate: go on with what there is
            if (s == SEC_E_OK) {
                done_ = true;
                return finish();
            }
            if (s == SEC_I_CONTINUE_NEEDED) {
                if (out_.size() > before) return kSecContinueNeeded;
                continue;  // more of the input to work on
            }
            if (s == SEC_E_INCOMPLETE_MESSAGE) return out_.empty() ? kSecIncompleteMessage : kSecContinueNeeded;
            last_error_ = win32::error_text(static_cast<uint32_t>(s));
            return static_cast<uint32_t>(s);
        }
    }

    uint32_t decrypt(uint8_t* out, size_t cap, size_t& got) override {
        got = 0;
        for (;;) {
            if (plain_off_ < plain_.size()) {
                got = std::min(cap, plain_.size() - plain_off_);
                std::memcpy(out, plain_.data() + plain_off_, got);
                plain_off_ += got;
                return kSecOk;
            }
            if (in_.empty()) return kSecIncompleteMessage;
            SecBuffer buffers[4] = {{static_cast<ULONG>(in_.size()), SECBUFFER_DATA, in_.data()},
                                    {0, SECBUFFER_EMPTY, nullptr},
                                    {0, SECBUFFER_EMPTY, nullptr},
                                    {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
            const SECURITY_STATUS s = DecryptMessage(&ctx_, &desc, 0, nullptr);
            if (s == SEC_E_INCOMPLETE_MESSAGE) return kSecIncompleteMessage;
            if (s == SEC_I_CONTEXT_EXPIRED) {
                in_.clear();
                return kSecContextExpired;
            }
            if (s != SEC_E_OK && s != SEC_I_RENEGOTIATE) {
                last_error_ = "DecryptMessage: " + win32::error_text(static_cast<uint32_t>(s));
                return static_cast<uint32_t>(s);
            }
            const SecBuffer* data = nullptr;
            const SecBuffer* extra = nullptr;
            for (const SecBuffer& b : buffers) {
                if (b.BufferType == SECBUFFER_DATA && data == nullptr) data = &b;
                if (b.BufferType == SECBUFFER_EXTRA && extra == nullptr) extra = &b;
            }
            plain_.clear();
            plain_off_ = 0;
            if (data != nullptr && data->cbBuffer > 0) {
                const auto* p = static_cast<const uint8_t*>(data->pvBuffer);
                plain_.assign(p, p + data->cbBuffer);
            }
            // The decrypted record is gone from the input; extra bytes stay.
            std::vector<uint8_t> rest;
            if (extra != nullptr && extra->cbBuffer > 0) {
                const auto* p = in_.data() + in_.size() - extra->cbBuffer;
                rest.assign(p, p + extra->cbBuffer);
            }
            in_.swap(rest);
            if (s == SEC_I_RENEGOTIATE) {
                const uint32_t r = session_message();
                if (r != kSecOk) return r;
            }
        }
    }

    uint32_t encrypt(const uint8_t* data, size_t n) override {
        if (n == 0) return kSecOk;
        if (!done_ || n > sizes_.cbMaximumMessage) return kSecInternalError;
        std::vector<uint8_t> record(sizes_.cbHeader + n + sizes_.cbTrailer);
        std::memcpy(record.data() + sizes_.cbHeader, data, n);
        SecBuffer buffers[4] = {{sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                                {static_cast<ULONG>(n), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
                                {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + n},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS s = EncryptMessage(&ctx_, 0, &desc, 0);
        if (s != SEC_E_OK) {
            last_error_ = "EncryptMessage: " + win32::error_text(static_cast<uint32_t>(s));
            return static_cast<uint32_t>(s);
        }
        for (int i = 0; i < 3; ++i) {
            const auto* p = static_cast<const uint8_t*>(buffers[i].pvBuffer);
            out_.insert(out_.end(), p, p + buffers[i].cbBuffer);
        }
        return kSecOk;
    }

    size_t output_pending() const override { return out_.size(); }

    size_t take_output(uint8_t* buf, size_t cap) override {
        const size_t n = std::min(cap, out_.size());
        std::memcpy(buf, out_.data(), n);
        out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(n));
        return n;
    }

    bool peer_certificate(std::vector<uint8_t>& der) const override {
        der = peer_der_;
        return !der.empty();
    }

    size_t max_message() const override { return done_ ? sizes_.cbMaximumMessage : kTlsMaxRecordPlaintext; }

    std::string protocol() const override { return protocol_; }

    std::string last_error() const override { return last_error_; }

private:
    // One call of AcceptSecurityContext or InitializeSecurityContext over
    // input; its output token goes to out_, and what it did not use stays in
    // in_ (all of it when the message is incomplete).
    SECURITY_STATUS step(const uint8_t* input, size_t n, bool handshaking) {
        std::vector<uint8_t> copy(input, input + n);  // the call may rewrite its input
        SecBuffer in_buffers[2] = {{static_cast<ULONG>(copy.size()), SECBUFFER_TOKEN, copy.empty() ? nullptr : copy.data()},
                                   {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in_buffers};
        SecBuffer out_buffers[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
        SecBufferDesc out_desc{SECBUFFER_VERSION, 2, out_buffers};
        ULONG attrs = 0;
        TimeStamp expiry{};
        SECURITY_STATUS s;
        if (server_) {
            s = AcceptSecurityContext(&cred_, have_ctx_ ? &ctx_ : nullptr, &in_desc, kServerFlags, 0, &ctx_, &out_desc,
                                      &attrs, &expiry);
        } else {
            s = InitializeSecurityContextW(&cred_, have_ctx_ ? &ctx_ : nullptr, nullptr, kClientFlags, 0, 0,
                                           have_ctx_ ? &in_desc : nullptr, 0, &ctx_, &out_desc, &attrs, &expiry);
        }
        if (s == SEC_I_COMPLETE_NEEDED || s == SEC_I_COMPLETE_AND_CONTINUE) {
            CompleteAuthToken(&ctx_, &out_desc);
            s = s == SEC_I_COMPLETE_NEEDED ? SEC_E_OK : SEC_I_CONTINUE_NEEDED;
        }
        if (!have_ctx_ && SecIsValidHandle(&ctx_)) have_ctx_ = true;  // the first call made the context
        for (SecBuffer& b : out_buffers) {
            if (b.pvBuffer == nullptr) continue;
            // A failure's output is the alert worth sending.
            if (b.cbBuffer > 0 && (b.BufferType == SECBUFFER_TOKEN || b.BufferType == SECBUFFER_ALERT)) {
                const auto* p = static_cast<const uint8_t*>(b.pvBuffer);
                out_.insert(out_.end(), p, p + b.cbBuffer);
            }
            FreeContextBuffer(b.pvBuffer);
        }
        if (handshaking && s != SEC_E_INCOMPLETE_MESSAGE) {
            if (in_buffers[1].BufferType == SECBUFFER_EXTRA && in_buffers[1].cbBuffer > 0 && in_buffers[1].cbBuffer <= n)
                in_.erase(in_.begin(), in_.end() - static_cast<std::ptrdiff_t>(in_buffers[1].cbBuffer));
            else
                in_.clear();
        }
        return s;
    }

    uint32_t finish() {
        SECURITY_STATUS s = QueryContextAttributesW(&ctx_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
        if (s != SEC_E_OK) {
            last_error_ = "QueryContextAttributes(STREAM_SIZES): " + win32::error_text(static_cast<uint32_t>(s));
            return static_cast<uint32_t>(s);
        }
        SecPkgContext_ConnectionInfo info{};
        if (QueryContextAttributesW(&ctx_, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
            if (info.dwProtocol & kTls13Protocols) protocol_ = "TLSv1.3";
            else if (info.dwProtocol & (kTls12Server | kTls12Client)) protocol_ = "TLSv1.2";
            else protocol_ = "TLS";
        } else {
            protocol_ = "TLS";
        }
        PCCERT_CONTEXT peer = nullptr;
        if (QueryContextAttributesW(&ctx_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer) == SEC_E_OK && peer != nullptr) {
            peer_der_ = win32::der_of(peer);
            CertFreeCertificateContext(peer);
        }
        return kSecOk;
    }

    // A record for the session itself (SEC_I_RENEGOTIATE). A TLS 1.3 peer's
    // key update or ticket goes back through the handshake call; a TLS 1.2
    // peer asking to renegotiate is refused.
    uint32_t session_message() {
        if (protocol_ != "TLSv1.3") {
            last_error_ = "renegotiation refused";
            return kSecIllegalMessage;
        }
        const SECURITY_STATUS s = step(in_.empty() ? nullptr : in_.data(), in_.size(), true);
        if (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED) return kSecOk;
        last_error_ = "post-handshake message: " + win32::error_text(static_cast<uint32_t>(s));
        return static_cast<uint32_t>(s);
    }

    bool server_;
    CredHandle cred_;
    CtxtHandle ctx_;
    bool have_cred_ = false;
    bool have_ctx_ = false;
    bool done_ = false;
    SecPkgContext_StreamSizes sizes_{};
    std::vector<uint8_t> in_;     // ciphertext not used yet
    std::vector<uint8_t> out_;    // ciphertext to send
    std::vector<uint8_t> plain_;  // plaintext of the last record not handed out yet
    size_t plain_off_ = 0;
    std::vector<uint8_t> peer_der_;
    std::string protocol_;
    std::string last_error_;
};

std::unique_ptr<ITlsEngine> make_engine(bool server, const TlsCredential* credential, uint32_t& status) {
    const auto* cred = dynamic_cast<const win32::SchannelCredential*>(credential);
    if (credential != nullptr && cred == nullptr) {
        status = kSecNoCredentials;
        return nullptr;
    }
    auto engine = std::make_unique<SchannelEngine>(server);
    status = engine->init(cred);
    if (status != kSecOk) return nullptr;
    return engine;
}

}  // namespace

std::unique_ptr<ITlsEngine> make_tls_server_engine(const TlsCredential* credential, uint32_t& status) {
    if (credential == nullptr) {
        status = kSecNoCredentials;
        return nullptr;
    }
    return make_engine(true, credential, status);
}

std::unique_ptr<ITlsEngine> make_tls_client_engine(const TlsCredential* credential, uint32_t& status) {
    return make_engine(false, credential, status);
}

}  // namespace sorvane::platform
