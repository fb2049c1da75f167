// TLS port: a TLS engine that works buffer in, buffer out (the host is the
// server of every connection; the client side serves tools and tests). The
// caller moves the bytes: it hands ciphertext received from the socket to the
// engine and sends the ciphertext the engine produces. The engine never touches
// a socket and is not thread-safe: one thread at a time (the caller locks).
//
// Results are the Windows security status values as plain integers, so the
// logic that branches on them and the lines that print them are the same on
// every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sorvane::platform {

inline constexpr uint32_t kSecOk = 0x00000000;
inline constexpr uint32_t kSecContinueNeeded = 0x00090312;     // handshake output to send, then more input
inline constexpr uint32_t kSecContextExpired = 0x00090317;     // the peer ended the TLS session
inline constexpr uint32_t kSecIncompleteMessage = 0x80090318;  // more input needed, nothing to send
inline constexpr uint32_t kSecUnsupportedFunction = 0x80090302;
inline constexpr uint32_t kSecInternalError = 0x80090304;
inline constexpr uint32_t kSecNoCredentials = 0x8009030E;
inline constexpr uint32_t kSecMessageAltered = 0x8009030F;
inline constexpr uint32_t kSecIllegalMessage = 0x80090326;
inline constexpr uint32_t kSecDecryptFailure = 0x80090330;
inline constexpr uint32_t kSecAlgorithmMismatch = 0x80090331;

// Largest plaintext one record carries.
inline constexpr size_t kTlsMaxRecordPlaintext = 16384;

// A certificate together with its private key, as the platform's TLS engine
// uses it. Made by the certificate store (platform/cert_store.h). Immutable;
// shared by every connection made with it.
class TlsCredential {
public:
    virtual ~TlsCredential() = default;
    virtual const std::vector<uint8_t>& certificate_der() const = 0;
};

class ITlsEngine {
public:
    virtual ~ITlsEngine() = default;

    // Hands ciphertext from the peer to the engine, which keeps what it has
    // not used yet. False only when it cannot take the bytes (memory).
    virtual bool put_input(const uint8_t* data, size_t n) = 0;
    // Bytes handed in and not used yet.
    virtual size_t input_pending() const = 0;

    // Advances the handshake as far as the input allows:
    // kSecOk when complete; kSecContinueNeeded when there is output to send
    // before more input; kSecIncompleteMessage when only more input helps;
    // anything else is a failure (any output is an alert worth sending).
    virtual uint32_t handshake() = 0;

    // After the handshake: decrypts the next plaintext into out (at most cap
    // bytes). kSecOk with got > 0; kSecIncompleteMessage when a whole record
    // is not there yet; kSecContextExpired when the peer ended the session;
    // anything else is a failure. Records the peer sends for the session
    // itself (key updates, refused renegotiation) are handled here and may
    // leave output to send.
    virtual uint32_t decrypt(uint8_t* out, size_t cap, size_t& got) = 0;

    // Encrypts n bytes (at most max_message()) into output.
    virtual uint32_t encrypt(const uint8_t* data, size_t n) = 0;

    // Ciphertext waiting to be sent, and taking it out (at most cap bytes).
    virtual size_t output_pending() const = 0;
    virtual size_t take_output(uint8_t* buf, size_t cap) = 0;

    // The DER of the certificate the peer presented; false when none.
    virtual bool peer_certificate(std::vector<uint8_t>& der) const = 0;
    // Largest plaintext one encrypt call takes.
    virtual size_t max_message() const = 0;
    // The negotiated protocol ("TLSv1.2", "TLSv1.3"); empty before the handshake.
    virtual std::string protocol() const = 0;
    // The engine's own text for its last failure (diagnostics only).
    virtual std::string last_error() const = 0;
};

// A server engine presenting credential. It asks for a client certificate but
// does not require one, accepts any certificate (the caller checks
// fingerprints), negotiates TLS 1.2 or newer, keeps no sessions for resumption
// (every connection presents its certificate again) and refuses
// renegotiation. Null with status set when the credentials cannot be used
// (kSecNoCredentials when credential is null).
std::unique_ptr<ITlsEngine> make_tls_server_engine(const TlsCredential* credential, uint32_t& status);

// A client engine, presenting credential when the server asks for a
// certificate (none when null). It accepts any server certificate (the
// caller checks fingerprints) and negotiates TLS 1.2 or newer. Its first
// handshake() call gives the client's first flight (kSecContinueNeeded).
std::unique_ptr<ITlsEngine> make_tls_client_engine(const TlsCredential* credential, uint32_t& status);

}  // namespace sorvane::platform
