// The viewer's side of the video datagrams, written apart from the host's
// code on purpose (it is the independent check of the host's sealing):
// building VideoHello datagrams and opening sealed fragments, with OpenSSL's
// AES-256-GCM directly.
#pragma once

#include <openssl/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sorvane::viewer {

using VideoKey = std::array<uint8_t, 32>;

inline constexpr size_t kFragmentHeaderBytes = 23;
inline constexpr size_t kGcmTagBytes = 16;
inline constexpr size_t kLargestPiece = 1361;
inline constexpr size_t kHelloBytes = 9 + kGcmTagBytes;

// The fields of a fragment's header as read from the wire.
struct FragmentHeader {
    uint8_t type = 0;
    uint32_t session_id = 0;
    uint32_t frame_seq = 0;
    uint64_t capture_ms = 0;
    uint8_t format = 0;
    uint8_t keyframe = 0;
    uint16_t index = 0;
    uint16_t count = 0;
};

// Reads the 23 header bytes; false when the datagram is shorter than a
// header and a tag.
bool read_fragment_header(const uint8_t* data, size_t n, FragmentHeader& out);

class VideoCrypto {
public:
    // Null with error when OpenSSL refuses the key.
    static std::unique_ptr<VideoCrypto> create(const VideoKey& key, std::string& error);
    ~VideoCrypto();
    VideoCrypto(const VideoCrypto&) = delete;
    VideoCrypto& operator=(const VideoCrypto&) = delete;

    // A VideoHello: type 2, session_id, counter, and the GMAC tag over them.
    bool hello(uint32_t session_id, uint32_t counter, std::vector<uint8_t>& datagram);

    // Checks the tag of a fragment datagram (header as associated data) and
    // writes its plaintext (datagram size - 39 bytes) to out. False when the
    // tag does not match; out must then be ignored.
    bool open_fragment(const uint8_t* datagram, size_t n, const FragmentHeader& header, uint8_t* out);

private:
    VideoCrypto() = default;
    EVP_CIPHER_CTX* seal_ = nullptr;  // the hello sender's thread
    EVP_CIPHER_CTX* open_ = nullptr;  // the receiver's thread
};

}  // namespace sorvane::viewer
