// The two datagram formats of the video port: VideoHello (viewer to host,
// authenticated by a GMAC under the session key) and the sealed video
// fragment (host to viewer: a 23-byte header, the encrypted bytes of one
// piece of an access unit, and the tag). All integers big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "host/net/video_cipher.h"
#include "host/protocol/wire.h"

namespace sorvane {

inline constexpr uint8_t kVideoFragmentType = 0x01;
inline constexpr uint8_t kVideoHelloType = 0x02;
inline constexpr uint8_t kVideoFormat = 1;
inline constexpr size_t kVideoFragmentHeaderSize = 23;
inline constexpr size_t kMaxFragmentPayload = 1361;
// Header, largest piece and tag.
inline constexpr size_t kMaxVideoDatagram = kVideoFragmentHeaderSize + kMaxFragmentPayload + kVideoTagSize;
inline constexpr uint32_t kMaxFragmentsPerFrame = 65535;
// type, session_id, counter.
inline constexpr size_t kVideoHelloHeaderSize = 9;
inline constexpr size_t kMaxVideoHello = 1400;

struct VideoFragmentHeader {
    uint32_t session_id = 0;
    uint32_t frame_seq = 0;
    uint64_t capture_ms = 0;
    uint8_t format = kVideoFormat;
    bool keyframe = false;
    uint16_t fragment_index = 0;
    uint16_t fragment_count = 0;
};

// Writes the 23 header bytes to out. False when fragment_count is 0 or
// fragment_index is not below it.
bool encode_fragment_header(const VideoFragmentHeader& header, uint8_t* out);

// How many fragments a frame of frame_size bytes needs: max(1, ceil(S/1361)).
// 0 when it would need more than 65,535.
uint32_t fragment_count_for(size_t frame_size);

// Seals one fragment into datagram (header, ciphertext, tag: 39 + n bytes).
// datagram is resized in place, so a buffer that has held a full datagram is
// reused without allocating. False when the piece is longer than 1,361 bytes,
// the header is invalid or sealing failed; datagram is then cleared.
bool build_fragment(VideoCipher& cipher, const VideoFragmentHeader& header, proto::ByteView fragment,
                    proto::Bytes& datagram);

struct HelloHeader {
    enum class Status : uint8_t { ok, not_hello, malformed };
    Status status = Status::not_hello;
    uint32_t session_id = 0;
    uint32_t counter = 0;
};

// The header of a VideoHello: not_hello for an empty datagram or another
// type byte; malformed when longer than 1,400 bytes or shorter than 9.
HelloHeader decode_hello_header(proto::ByteView datagram);

// Takes one datagram and sends it; true when it went out.
using VideoSender = std::function<bool(proto::ByteView datagram)>;
// Sends count datagrams in order; sent[i] tells whether datagram i went out.
using VideoBatchSender = std::function<void(const proto::ByteView* datagrams, size_t count, bool* sent)>;

// Cuts access units into fragments, seals them and hands each datagram to a
// sender, through one buffer that is allocated once.
class FrameSealer {
public:
    enum class Result : uint8_t { sent, too_large, seal_failed, send_failed };

    FrameSealer() { datagram_.reserve(kMaxVideoDatagram); }

    // Sends every fragment of frame in order; stops at the first fragment
    // that cannot be sealed or sent (the frame is lost to the viewer then).
    // fragments: how many datagrams went out.
    Result send_frame(VideoCipher& cipher, uint32_t session_id, uint32_t frame_seq, uint64_t capture_ms,
                      bool keyframe, proto::ByteView frame, const VideoSender& send, uint32_t& fragments);

private:
    proto::Bytes datagram_;
};

}  // namespace sorvane
