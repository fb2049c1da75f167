#include "host/net/video_cipher.h"

#include <cstring>

namespace sorvane {

void video_fragment_nonce(uint32_t frame_seq, uint16_t fragment_index, uint8_t* nonce) {
    std::memset(nonce, 0, kVideoNonceSize);
    nonce[0] = 0x00;
    proto::store_u32(nonce + 1, frame_seq);
    proto::store_u16(nonce + 5, fragment_index);
}

void video_hello_nonce(uint32_t counter, uint8_t* nonce) {
    std::memset(nonce, 0, kVideoNonceSize);
    nonce[0] = 0x01;
    proto::store_u32(nonce + 1, counter);
}

std::unique_ptr<VideoCipher> VideoCipher::create(const uint8_t* key) {
    if (key == nullptr) return nullptr;
    // The platform cipher keeps separate contexts for sealing and opening.
    auto aes = platform::make_aes_gcm(key);
    if (!aes) return nullptr;
    return std::unique_ptr<VideoCipher>(new VideoCipher(std::move(aes)));
}

bool VideoCipher::encrypt_fragment(uint32_t frame_seq, uint16_t fragment_index, proto::ByteView aad,
                                   const uint8_t* plain, size_t n, uint8_t* out, uint8_t* tag) {
    // Claim the nonce before using it: whatever the callers do, no position
    // is sealed twice under this key.
    const uint64_t position = (static_cast<uint64_t>(frame_seq) << 16) | fragment_index;
    uint64_t floor = next_position_.load();
    do {
        if (position < floor) {
            refused_reuse_.fetch_add(1);
            return false;
        }
    } while (!next_position_.compare_exchange_weak(floor, position + 1));
    uint8_t nonce[kVideoNonceSize];
    video_fragment_nonce(frame_seq, fragment_index, nonce);
    return aes_->seal(nonce, aad.data(), aad.size(), plain, n, out, tag);
}

bool VideoCipher::verify_hello(uint32_t counter, proto::ByteView aad, const uint8_t* tag) {
    uint8_t nonce[kVideoNonceSize];
    video_hello_nonce(counter, nonce);
    return aes_->open(nonce, aad.data(), aad.size(), nullptr, 0, tag, nullptr);
}

}  // namespace sorvane
