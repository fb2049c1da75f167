// Reading structured values out of a fuzzer's bytes: every read succeeds
// (zeros once the input is used up), so a harness never has to bail out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace sorvane::fuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }
    size_t left() const { return size_ - at_; }

    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() << 8 | u8()); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) << 16 | u16(); }
    uint64_t u64() { return static_cast<uint64_t>(u32()) << 32 | u32(); }

    // Up to n bytes (fewer at the end of the input).
    std::string_view bytes(size_t n) {
        const size_t take = n < left() ? n : left();
        const std::string_view out(reinterpret_cast<const char*>(data_ + at_), take);
        at_ += take;
        return out;
    }
    std::string_view rest() { return bytes(left()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// A property of the code under test does not hold: stop here so the fuzzer
// keeps the input.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz property failed: %s\n", what);
    std::abort();
}

inline void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

}  // namespace sorvane::fuzz
