#include "viewer/window/decode_path.h"

#include "viewer/media/picture.h"

namespace sorvane::viewer {

DecodePath::DecodePath(platform::IClock& clock, PictureMailbox& mailbox, uint32_t format,
                       std::function<void()> picture_ready, std::function<void()> need_keyframe)
    : clock_(clock),
      mailbox_(mailbox),
      converter_(format),
      picture_ready_(std::move(picture_ready)),
      need_keyframe_(std::move(need_keyframe)) {}

bool DecodePath::open(std::string& error) {
    if (decoder_.open()) return true;
    error = decoder_.last_error();
    return false;
}

void DecodePath::on_frame(const ReceivedFrame& frame) {
    // Frame numbers grow by one per frame; "older" is modulo 2^32.
    if (have_last_ && static_cast<int32_t>(frame.frame_seq - last_seq_) <= 0) {
        ++late_;
        // Its successor was decoded without it: the picture may be wrong until a key frame.
        if (need_keyframe_) need_keyframe_();
        return;
    }
    if (have_last_ && frame.frame_seq != last_seq_ + 1 && !frame.keyframe) {
        ++gaps_;
        if (need_keyframe_) need_keyframe_();
    }
    have_last_ = true;
    last_seq_ = frame.frame_seq;
    DecodedPicture decoded;
    YuvPlanes planes;
    Picture& out = mailbox_.back();
    if (!decoder_.decode(frame.data.data(), frame.data.size(), decoded) || !decoder_.last_planes(planes) ||
        !converter_.convert(planes, out)) {
        ++failures_;
        if (need_keyframe_) need_keyframe_();
        return;
    }
    ++decoded_;
    out.frame_seq = frame.frame_seq;
    out.frame_time_ms = read_frame_time(planes.y, planes.y_pitch, planes.width, planes.height);
    out.decoded_ms = clock_.now_ms();
    if (mailbox_.publish()) ++superseded_;
    if (picture_ready_) picture_ready_();
}

DecodeStats DecodePath::stats() const {
    return {decoded_.load(), failures_.load(), late_.load(), gaps_.load(), superseded_.load()};
}

}  // namespace sorvane::viewer
