// Crypto port: SHA-256 and AES-256-GCM. Random bytes come from
// platform/random.h (secure_random).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace sorvane::platform {

inline constexpr size_t kSha256Size = 32;
using Sha256Digest = std::array<uint8_t, kSha256Size>;

// SHA-256 of n bytes. False only when the platform's hash failed; out is then
// all zero.
bool sha256(const void* data, size_t n, Sha256Digest& out);

inline constexpr size_t kAesGcmKeySize = 32;
inline constexpr size_t kAesGcmNonceSize = 12;
inline constexpr size_t kAesGcmTagSize = 16;

// AES-256 in Galois/Counter Mode with 12-byte nonces and 16-byte tags, under a
// key given once. Each call takes its own nonce; the caller keeps nonces unique
// per key. Calls allocate nothing.
//
// seal and open may run at the same time on different threads (a sender seals
// while a receiver checks); calls of the same operation are serialised inside.
class IAesGcm {
public:
    virtual ~IAesGcm() = default;

    // Encrypts n bytes of plain into out (n bytes; out may equal plain) and
    // writes the tag. aad (aad_n bytes) is authenticated, not encrypted; either
    // n or aad_n may be 0 (with n = 0 the tag is a GMAC over aad).
    virtual bool seal(const uint8_t* nonce, const void* aad, size_t aad_n, const void* plain, size_t n, void* out,
                      uint8_t* tag) = 0;

    // Checks the tag and decrypts n bytes of cipher into out (out may equal
    // cipher). False when the tag does not match (out must then be ignored) or
    // the platform failed.
    virtual bool open(const uint8_t* nonce, const void* aad, size_t aad_n, const void* cipher, size_t n,
                      const uint8_t* tag, void* out) = 0;
};

// A cipher under the 32 key bytes; null when the platform refuses the key.
std::unique_ptr<IAesGcm> make_aes_gcm(const uint8_t* key);

}  // namespace sorvane::platform
