// What happens to every reassembled frame on the video thread: decoding in
// order, conversion to the window's format and hand-over to the window as the
// newest picture. A frame older than one already decoded is dropped (never
// shown late), and a gap or a refused frame asks the host for a key frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "viewer/media/h264_decoder.h"
#include "viewer/net/frame_assembler.h"
#include "viewer/window/picture_converter.h"
#include "viewer/window/picture_mailbox.h"

namespace sorvane::viewer {

struct DecodeStats {
    uint64_t decoded = 0;
    uint64_t failures = 0;    // access units the decoder or the converter refused
    uint64_t late = 0;        // frames older than one already decoded: dropped
    uint64_t gaps = 0;        // frame numbers skipped before a frame that needed them
    uint64_t superseded = 0;  // pictures replaced by a newer one before the window took them
};

class DecodePath {
public:
    // picture_ready runs after each published picture, need_keyframe after a
    // gap or a refused frame; both on the video thread.
    DecodePath(platform::IClock& clock, PictureMailbox& mailbox, uint32_t format, std::function<void()> picture_ready,
               std::function<void()> need_keyframe);

    bool open(std::string& error);
    // Frame numbers start again (a new session); call while no frame arrives.
    void new_session() { have_last_ = false; }
    void on_frame(const ReceivedFrame& frame);

    DecodeStats stats() const;

private:
    platform::IClock& clock_;
    PictureMailbox& mailbox_;
    H264Decoder decoder_;
    PictureConverter converter_;
    std::function<void()> picture_ready_;
    std::function<void()> need_keyframe_;
    bool have_last_ = false;
    uint32_t last_seq_ = 0;
    std::atomic<uint64_t> decoded_{0}, failures_{0}, late_{0}, gaps_{0}, superseded_{0};
};

}  // namespace sorvane::viewer
