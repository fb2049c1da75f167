// Building blocks of the viewer wire format shared by the control, input and
// pairing connections: frame limits, big-endian field access, decode results
// and the fixed-capacity list used for touch points.
//
// A frame is a 32-bit big-endian length L (type byte plus payload), the type
// byte, then L - 1 payload bytes. Payloads are fixed fields in a fixed order,
// optionally followed by tail entries {uint8 tag, uint16 size, value}.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

namespace sorvane::proto {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// Largest L (type byte plus payload) either side sends or accepts.
inline constexpr uint32_t kMaxFrameLength = 1'048'576;
// Bytes before the type byte.
inline constexpr size_t kLengthFieldSize = 4;
// Length field plus type byte.
inline constexpr size_t kFrameHeaderSize = 5;
// Longest string body and longest tail value (both carry 16-bit sizes).
inline constexpr size_t kMaxStringBytes = 65'535;
inline constexpr size_t kMaxTailValueBytes = 65'535;
// Tag byte plus 16-bit size.
inline constexpr size_t kTailEntryHeaderSize = 3;
// Tags at or above this are never defined by a message; the tail scan ignores them.
inline constexpr uint8_t kTailTagLimit = 16;

// Outcome of decoding one payload.
enum class DecodeStatus : uint8_t {
    ok,
    unknown,    // the type byte names no message of this connection
    malformed,  // the type is known but the payload breaks its encoding
};

std::string_view decode_status_name(DecodeStatus status);

template <class Message>
struct Decoded {
    DecodeStatus status = DecodeStatus::malformed;
    Message message{};

    bool ok() const { return status == DecodeStatus::ok; }
};

// Big-endian loads and stores on raw bytes; callers check the bounds.
inline uint16_t load_u16(const uint8_t* p) {
    return static_cast<uint16_t>((static_cast<uint16_t>(p[0]) << 8) | p[1]);
}
inline uint32_t load_u32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
inline uint64_t load_u64(const uint8_t* p) {
    return (static_cast<uint64_t>(load_u32(p)) << 32) | load_u32(p + 4);
}
inline void store_u16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void store_u32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline void append_u8(Bytes& out, uint8_t v) { out.push_back(v); }
inline void append_u16(Bytes& out, uint16_t v) {
    const uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    out.insert(out.end(), b, b + 2);
}
inline void append_u32(Bytes& out, uint32_t v) {
    uint8_t b[4];
    store_u32(b, v);
    out.insert(out.end(), b, b + 4);
}
inline void append_u64(Bytes& out, uint64_t v) {
    append_u32(out, static_cast<uint32_t>(v >> 32));
    append_u32(out, static_cast<uint32_t>(v));
}
inline void append_f32(Bytes& out, float v) { append_u32(out, std::bit_cast<uint32_t>(v)); }

// A list carried as a uint8 count followed by that many items, stored inline
// so that decoding never allocates. Capacity is the wire's own maximum.
template <class T, size_t Capacity>
class CountedList {
public:
    static_assert(Capacity <= 255, "the count travels as one byte");

    CountedList() = default;
    CountedList(std::initializer_list<T> items) {
        for (const T& item : items) push_back(item);
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    static constexpr size_t capacity() { return Capacity; }

    // False (and nothing added) when the list is full.
    bool push_back(const T& item) {
        if (size_ >= Capacity) return false;
        items_[size_++] = item;
        return true;
    }
    void clear() { size_ = 0; }

    T& operator[](size_t i) { return items_[i]; }
    const T& operator[](size_t i) const { return items_[i]; }
    T* begin() { return items_.data(); }
    T* end() { return items_.data() + size_; }
    const T* begin() const { return items_.data(); }
    const T* end() const { return items_.data() + size_; }

    friend bool operator==(const CountedList& a, const CountedList& b) {
        return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
    }

private:
    std::array<T, Capacity> items_{};
    size_t size_ = 0;
};

}  // namespace sorvane::proto
