// The per-session AES-256-GCM key of the video datagrams: sealing of video
// fragments (host to viewer) and checking of VideoHello tags (viewer to
// host), with nonces that keep the two directions apart.
//
// Threads: the frame thread seals while the UDP thread checks hellos; the two
// operations use separate cipher contexts, so they never wait for each other.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "host/protocol/wire.h"
#include "platform/crypto.h"

namespace sorvane {

inline constexpr size_t kVideoKeySize = 32;
inline constexpr size_t kVideoNonceSize = 12;
inline constexpr size_t kVideoTagSize = 16;

// Fragment nonce: 0x00, frame_seq, fragment_index, then zeros.
void video_fragment_nonce(uint32_t frame_seq, uint16_t fragment_index, uint8_t* nonce);
// VideoHello nonce: 0x01, counter, then zeros.
void video_hello_nonce(uint32_t counter, uint8_t* nonce);

class VideoCipher {
public:
    // A cipher under 32 key bytes; null when the platform refuses the key.
    static std::unique_ptr<VideoCipher> create(const uint8_t* key);

    // Encrypts n bytes of plain into out (n bytes) with aad authenticated and
    // writes the 16-byte tag. A nonce is used once: a (frame_seq,
    // fragment_index) that is not beyond every one sealed before is refused,
    // so a repeated or rewound frame number can never reuse a nonce. False
    // on that refusal or when the platform call fails.
    bool encrypt_fragment(uint32_t frame_seq, uint16_t fragment_index, proto::ByteView aad, const uint8_t* plain,
                          size_t n, uint8_t* out, uint8_t* tag);

    // True only when tag is the GCM tag of an empty plaintext under the
    // hello nonce of counter with aad.
    bool verify_hello(uint32_t counter, proto::ByteView aad, const uint8_t* tag);

    // Seals refused because their nonce was not new.
    uint64_t refused_reuse() const { return refused_reuse_.load(); }

private:
    explicit VideoCipher(std::unique_ptr<platform::IAesGcm> aes) : aes_(std::move(aes)) {}

    std::unique_ptr<platform::IAesGcm> aes_;
    // The lowest (frame_seq << 16 | fragment_index) still unused.
    std::atomic<uint64_t> next_position_{0};
    std::atomic<uint64_t> refused_reuse_{0};
};

}  // namespace sorvane
