#include "host/media/h264_bits.h"

namespace sorvane::h264 {

uint32_t BitReader::bits(unsigned n) {
    uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i) {
        v <<= 1;
        if (pos_ >= data_.size() * 8) {
            failed_ = true;
            continue;
        }
        v |= bit_at(pos_) ? 1u : 0u;
        ++pos_;
    }
    return v;
}

uint32_t BitReader::ue() {
    unsigned zeros = 0;
    while (!failed_ && bits(1) == 0) {
        if (++zeros > 31) {
            failed_ = true;
            return 0;
        }
    }
    if (failed_) return 0;
    if (zeros == 0) return 0;
    uint64_t v = (1ull << zeros) - 1 + bits(zeros);
    if (v > 0xFFFFFFFEull) {
        failed_ = true;
        return 0;
    }
    return static_cast<uint32_t>(v);
}

int32_t BitReader::se() {
    uint32_t k = ue();
    if (k & 1u) return static_cast<int32_t>((k + 1) / 2);
    return -static_cast<int32_t>(k / 2);
}

void BitWriter::bits(unsigned n, uint32_t value) {
    for (unsigned i = n; i-- > 0;) {
        if (used_ == 0) bytes_.push_back(0);
        if ((value >> i) & 1u) bytes_.back() |= static_cast<uint8_t>(0x80u >> used_);
        used_ = (used_ + 1) & 7u;
    }
}

void BitWriter::ue(uint32_t value) {
    uint64_t v = static_cast<uint64_t>(value) + 1;
    unsigned len = 0;
    while ((v >> len) > 1) ++len;
    bits(len, 0);
    // len + 1 bits of v, written in two parts to stay within 32 bits.
    bits(1, 1);
    if (len > 0) bits(len, static_cast<uint32_t>(v & ((1ull << len) - 1)));
}

void BitWriter::se(int32_t value) {
    if (value > 0) {
        ue(static_cast<uint32_t>(value) * 2 - 1);
    } else {
        ue(static_cast<uint32_t>(-static_cast<int64_t>(value)) * 2);
    }
}

void BitWriter::trailing_bits() {
    bits(1, 1);
    while (used_ != 0) bits(1, 0);
}

std::vector<uint8_t> unescape(std::span<const uint8_t> nal) {
    std::vector<uint8_t> out;
    out.reserve(nal.size());
    unsigned zeros = 0;
    for (uint8_t b : nal) {
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out.push_back(b);
    }
    return out;
}

std::vector<uint8_t> escape(std::span<const uint8_t> rbsp) {
    std::vector<uint8_t> out;
    out.reserve(rbsp.size() + rbsp.size() / 64 + 4);
    unsigned zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out.push_back(b);
    }
    return out;
}

bool is_annexb(std::span<const uint8_t> d) {
    if (d.size() >= 3 && d[0] == 0 && d[1] == 0 && d[2] == 1) return true;
    return d.size() >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1;
}

std::vector<std::span<const uint8_t>> split_annexb(std::span<const uint8_t> d) {
    std::vector<std::span<const uint8_t>> out;
    size_t i = 0, n = d.size();
    size_t start = SIZE_MAX;
    auto finish = [&](size_t end) {
        if (start == SIZE_MAX) return;
        while (end > start && d[end - 1] == 0) --end;
        if (end > start) out.push_back(d.subspan(start, end - start));
    };
    while (i + 2 < n) {
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            finish(i);
            i += 3;
            start = i;
            continue;
        }
        ++i;
    }
    finish(n);
    return out;
}

bool split_length_prefixed(std::span<const uint8_t> d, std::vector<std::span<const uint8_t>>& out) {
    out.clear();
    size_t i = 0;
    while (i < d.size()) {
        if (d.size() - i < 4) return false;
        uint32_t len = (uint32_t{d[i]} << 24) | (uint32_t{d[i + 1]} << 16) | (uint32_t{d[i + 2]} << 8) | d[i + 3];
        i += 4;
        if (len > d.size() - i) return false;
        if (len > 0) out.push_back(d.subspan(i, len));
        i += len;
    }
    return true;
}

}  // namespace sorvane::h264
