#include "host/net/video_datagram.h"

#include <algorithm>

namespace sorvane {

bool encode_fragment_header(const VideoFragmentHeader& header, uint8_t* out) {
    if (header.fragment_count == 0 || header.fragment_index >= header.fragment_count) return false;
    out[0] = kVideoFragmentType;
    proto::store_u32(out + 1, header.session_id);
    proto::store_u32(out + 5, header.frame_seq);
    proto::store_u32(out + 9, static_cast<uint32_t>(header.capture_ms >> 32));
    proto::store_u32(out + 13, static_cast<uint32_t>(header.capture_ms));
    out[17] = header.format;
    out[18] = header.keyframe ? 1 : 0;
    proto::store_u16(out + 19, header.fragment_index);
    proto::store_u16(out + 21, header.fragment_count);
    return true;
}

uint32_t fragment_count_for(size_t frame_size) {
    const size_t count = std::max<size_t>(1, (frame_size + kMaxFragmentPayload - 1) / kMaxFragmentPayload);
    return count > kMaxFragmentsPerFrame ? 0 : static_cast<uint32_t>(count);
}

bool build_fragment(VideoCipher& cipher, const VideoFragmentHeader& header, proto::ByteView fragment,
                    proto::Bytes& datagram) {
    const size_t n = fragment.size();
    if (n > kMaxFragmentPayload) {
        datagram.clear();
        return false;
    }
    datagram.resize(kVideoFragmentHeaderSize + n + kVideoTagSize);
    uint8_t* out = datagram.data();
    if (!encode_fragment_header(header, out) ||
        !cipher.encrypt_fragment(header.frame_seq, header.fragment_index,
                                 proto::ByteView(out, kVideoFragmentHeaderSize), fragment.data(), n,
                                 out + kVideoFragmentHeaderSize, out + kVideoFragmentHeaderSize + n)) {
        datagram.clear();
        return false;
    }
    return true;
}

HelloHeader decode_hello_header(proto::ByteView datagram) {
    HelloHeader h;
    if (datagram.empty() || datagram[0] != kVideoHelloType) {
        h.status = HelloHeader::Status::not_hello;
        return h;
    }
    if (datagram.size() > kMaxVideoHello || datagram.size() < kVideoHelloHeaderSize) {
        h.status = HelloHeader::Status::malformed;
        return h;
    }
    h.status = HelloHeader::Status::ok;
    h.session_id = proto::load_u32(datagram.data() + 1);
    h.counter = proto::load_u32(datagram.data() + 5);
    return h;
}

FrameSealer::Result FrameSealer::send_frame(VideoCipher& cipher, uint32_t session_id, uint32_t frame_seq,
                                            uint64_t capture_ms, bool keyframe, proto::ByteView frame,
                                            const VideoSender& send, uint32_t& fragments) {
    fragments = 0;
    const uint32_t count = fragment_count_for(frame.size());
    if (count == 0) return Result::too_large;
    VideoFragmentHeader header;
    header.session_id = session_id;
    header.frame_seq = frame_seq;
    header.capture_ms = capture_ms;
    header.keyframe = keyframe;
    header.fragment_count = static_cast<uint16_t>(count);
    for (uint32_t i = 0; i < count; ++i) {
        header.fragment_index = static_cast<uint16_t>(i);
        const size_t begin = static_cast<size_t>(i) * kMaxFragmentPayload;
        const size_t end = std::min(frame.size(), begin + kMaxFragmentPayload);
        if (!build_fragment(cipher, header, frame.subspan(begin, end - begin), datagram_)) return Result::seal_failed;
        if (!send(proto::ByteView(datagram_.data(), datagram_.size()))) return Result::send_failed;
        ++fragments;
    }
    return Result::sent;
}

}  // namespace sorvane
