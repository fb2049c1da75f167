// Splits a received byte stream into frames, whatever the sizes of the pieces
// the stream arrives in. One reader per connection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/protocol/wire.h"

namespace sorvane::proto {

class FrameReader {
public:
    enum class Status : uint8_t { frame, need_more, invalid };

    struct Result {
        Status status = Status::need_more;
        uint8_t type = 0;
        // Points into the reader's buffer: valid until the next append.
        ByteView payload;
    };

    // Adds received bytes. Ignored once the stream is invalid.
    void append(ByteView bytes);

    // The next complete frame, need-more, or invalid. A length of 0 or above
    // 1,048,576 makes the stream invalid for good: every later call says so.
    Result next();

    bool invalid() const { return invalid_; }
    // The length field that made the stream invalid (0 while it is valid).
    uint32_t invalid_length() const { return invalid_length_; }
    // Received bytes not yet returned in a frame.
    size_t buffered() const { return buffer_.size() - read_; }

private:
    // Consumed bytes at the front are moved out once there are this many.
    static constexpr size_t kCompactThreshold = 4'097;

    Bytes buffer_;
    size_t read_ = 0;
    bool invalid_ = false;
    uint32_t invalid_length_ = 0;
};

}  // namespace sorvane::proto
