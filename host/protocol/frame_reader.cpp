#include "host/protocol/frame_reader.h"

namespace sorvane::proto {

void FrameReader::append(ByteView bytes) {
    if (invalid_) return;
    if (read_ == buffer_.size()) {
        buffer_.clear();
        read_ = 0;
    } else if (read_ >= kCompactThreshold) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(read_));
        read_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

FrameReader::Result FrameReader::next() {
    Result result;
    if (invalid_) {
        result.status = Status::invalid;
        return result;
    }
    const size_t available = buffer_.size() - read_;
    if (available < kLengthFieldSize) return result;
    const uint32_t length = load_u32(buffer_.data() + read_);
    if (length == 0 || length > kMaxFrameLength) {
        invalid_ = true;
        invalid_length_ = length;
        buffer_.clear();
        buffer_.shrink_to_fit();
        read_ = 0;
        result.status = Status::invalid;
        return result;
    }
    if (available - kLengthFieldSize < length) return result;
    const uint8_t* frame = buffer_.data() + read_ + kLengthFieldSize;
    result.status = Status::frame;
    result.type = frame[0];
    result.payload = ByteView(frame + 1, length - 1);
    read_ += kLengthFieldSize + length;
    return result;
}

}  // namespace sorvane::proto
