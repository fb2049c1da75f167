// Bit-level reading and writing of H.264 syntax: fixed-width fields,
// Exp-Golomb codes, emulation prevention, Annex-B and length-prefixed NAL units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sorvane::h264 {

class BitReader {
public:
    explicit BitReader(std::span<const uint8_t> data) : data_(data) {}
    // Reading past the end returns zeros and sets failed().
    uint32_t bits(unsigned n);  // n <= 32
    bool flag() { return bits(1) != 0; }
    uint32_t ue();
    int32_t se();
    size_t position() const { return pos_; }
    size_t size_bits() const { return data_.size() * 8; }
    bool bit_at(size_t index) const { return (data_[index >> 3] >> (7 - (index & 7))) & 1u; }
    bool failed() const { return failed_; }

private:
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
    bool failed_ = false;
};

class BitWriter {
public:
    void bits(unsigned n, uint32_t value);  // n <= 32, most significant first
    void flag(bool v) { bits(1, v ? 1u : 0u); }
    void ue(uint32_t value);
    void se(int32_t value);
    // rbsp_trailing_bits: a one, then zeros to the byte boundary.
    void trailing_bits();
    size_t position() const { return bytes_.size() * 8 - (used_ == 0 ? 0 : 8 - used_); }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    unsigned used_ = 0;  // bits used in the last byte (0: none open)
};

// Removes emulation-prevention bytes (the 03 of 00 00 03).
std::vector<uint8_t> unescape(std::span<const uint8_t> nal);
// Inserts 03 after two zeros that precede a byte of 00 to 03.
std::vector<uint8_t> escape(std::span<const uint8_t> rbsp);

// NAL units of an Annex-B stream (3- or 4-byte start codes; the zero bytes
// before a start code are not part of the previous unit).
std::vector<std::span<const uint8_t>> split_annexb(std::span<const uint8_t> data);
// NAL units with 4-byte big-endian length prefixes; false on a length that
// runs past the end.
bool split_length_prefixed(std::span<const uint8_t> data, std::vector<std::span<const uint8_t>>& out);
bool is_annexb(std::span<const uint8_t> data);

}  // namespace sorvane::h264
