// The newest decoded picture, handed from the decoding thread to the
// window's: three buffers and no queue. The decoder fills one, publishing it
// replaces the picture waiting to be shown (that one came too late: a newer
// one is there), and the window takes whatever is newest when it draws.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace sorvane::viewer {

// A picture converted to the window's pixel format.
struct Picture {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t pitch = 0;  // bytes per row
    std::vector<uint8_t> pixels;
    uint32_t frame_seq = 0;
    std::optional<uint64_t> frame_time_ms;  // the test card's barcode, when it has one
    uint64_t decoded_ms = 0;                // when decoding ended (local clock)
};

class PictureMailbox {
public:
    // The decoding thread's buffer to fill (only that thread touches it).
    Picture& back() { return slots_[back_]; }
    // Hands the filled buffer over; true when it replaced a picture that was
    // never taken.
    bool publish() {
        std::lock_guard<std::mutex> g(mutex_);
        std::swap(back_, middle_);
        const bool replaced = fresh_;
        fresh_ = true;
        return replaced;
    }
    // The window's side: the newest picture, or null when nothing new came
    // since the last take. It stays valid until the next take.
    const Picture* take() {
        std::lock_guard<std::mutex> g(mutex_);
        if (!fresh_) return nullptr;
        std::swap(front_, middle_);
        fresh_ = false;
        return &slots_[front_];
    }

private:
    Picture slots_[3];
    std::mutex mutex_;
    int back_ = 0, middle_ = 1, front_ = 2;
    bool fresh_ = false;
};

}  // namespace sorvane::viewer
