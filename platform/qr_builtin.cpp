// A QR Code encoder for builds without the QR library: the same choices as
// the library's text encoding (one numeric, alphanumeric or byte segment for
// the whole text, the smallest version that fits, the correction level
// boosted as far as that version allows, the mask of the lowest penalty), so
// both give the same symbol module for module.
#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/qr.h"

namespace sorvane::platform {

namespace {

// Error correction levels in the order of the tables: low, medium, quartile, high.
constexpr int kEccMedium = 1;
constexpr int kEccHigh = 3;
constexpr int kFormatBits[4] = {1, 0, 3, 2};

constexpr int8_t kEccCodewordsPerBlock[4][41] = {
    {-1, 7, 10, 15, 20, 26, 18, 20, 24, 30, 18, 20, 24, 26, 30, 22, 24, 28, 30, 28, 28,
     28, 28, 30, 30, 26, 28, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30},
    {-1, 10, 16, 26, 18, 24, 16, 18, 22, 22, 26, 30, 22, 22, 24, 24, 28, 28, 26, 26, 26,
     26, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28},
    {-1, 13, 22, 18, 26, 18, 24, 18, 22, 20, 24, 28, 26, 24, 20, 30, 24, 28, 28, 26, 30,
     28, 30, 30, 30, 30, 28, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30},
    {-1, 17, 28, 22, 16, 22, 28, 26, 26, 24, 28, 24, 28, 22, 24, 24, 30, 28, 28, 26, 28,
     30, 24, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30},
};

constexpr int8_t kErrorCorrectionBlocks[4][41] = {
    {-1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 4, 4, 4, 4, 4, 6, 6, 6, 6, 7, 8,
     8, 9, 9, 10, 12, 12, 12, 13, 14, 15, 16, 17, 18, 19, 19, 20, 21, 22, 24, 25},
    {-1, 1, 1, 1, 2, 2, 4, 4, 4, 5, 5, 5, 8, 9, 9, 10, 10, 11, 13, 14, 16,
     17, 17, 18, 20, 21, 23, 25, 26, 28, 29, 31, 33, 35, 37, 38, 40, 43, 45, 47, 49},
    {-1, 1, 1, 2, 2, 4, 4, 6, 6, 8, 8, 8, 10, 12, 16, 12, 17, 16, 18, 21, 20,
     23, 23, 25, 27, 29, 34, 34, 35, 38, 40, 43, 45, 48, 51, 53, 56, 59, 62, 65, 68},
    {-1, 1, 1, 2, 4, 4, 4, 5, 6, 8, 8, 11, 11, 16, 16, 18, 16, 19, 21, 25, 25,
     25, 34, 30, 32, 35, 37, 40, 42, 45, 48, 51, 54, 57, 60, 63, 66, 70, 74, 77, 81},
};

constexpr char kAlphanumeric[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ $%*+-./:";

enum class Mode { numeric = 1, alphanumeric = 2, byte = 4 };

int raw_data_modules(int ver) {
    int result = (16 * ver + 128) * ver + 64;
    if (ver >= 2) {
        const int align = ver / 7 + 2;
        result -= (25 * align - 10) * align - 55;
        if (ver >= 7) result -= 36;
    }
    return result;
}

int data_codewords(int ver, int ecl) {
    return raw_data_modules(ver) / 8 - kEccCodewordsPerBlock[ecl][ver] * kErrorCorrectionBlocks[ecl][ver];
}

int char_count_bits(Mode mode, int ver) {
    const int band = ver <= 9 ? 0 : ver <= 26 ? 1 : 2;
    switch (mode) {
        case Mode::numeric: return std::array{10, 12, 14}[static_cast<size_t>(band)];
        case Mode::alphanumeric: return std::array{9, 11, 13}[static_cast<size_t>(band)];
        default: return std::array{8, 16, 16}[static_cast<size_t>(band)];
    }
}

uint8_t gf_multiply(uint8_t x, uint8_t y) {
    int z = 0;
    for (int i = 7; i >= 0; --i) {
        z = (z << 1) ^ ((z >> 7) * 0x11D);
        z ^= ((y >> i) & 1) * x;
    }
    return static_cast<uint8_t>(z);
}

// The generator of degree n (at most 30, the most correction codewords of a block).
struct Divisor {
    std::array<uint8_t, 30> c{};
    size_t n = 0;
};

Divisor rs_divisor(int degree) {
    Divisor d;
    d.n = static_cast<size_t>(degree);
    d.c[d.n - 1] = 1;
    uint8_t root = 1;
    for (int i = 0; i < degree; ++i) {
        for (size_t j = 0; j < d.n; ++j) {
            d.c[j] = gf_multiply(d.c[j], root);
            if (j + 1 < d.n) d.c[j] ^= d.c[j + 1];
        }
        root = gf_multiply(root, 0x02);
    }
    return d;
}

// Appends the remainder of data divided by the generator to out.
void rs_remainder(const uint8_t* data, size_t n, const Divisor& d, std::vector<uint8_t>& out) {
    std::array<uint8_t, 30> r{};
    for (size_t k = 0; k < n; ++k) {
        const uint8_t factor = data[k] ^ r[0];
        std::copy(r.begin() + 1, r.begin() + static_cast<std::ptrdiff_t>(d.n), r.begin());
        r[d.n - 1] = 0;
        for (size_t i = 0; i < d.n; ++i) r[i] ^= gf_multiply(d.c[i], factor);
    }
    out.insert(out.end(), r.begin(), r.begin() + static_cast<std::ptrdiff_t>(d.n));
}

class Symbol {
public:
    Symbol(int ver, int ecl)
        : ver_(ver), ecl_(ecl), size_(ver * 4 + 17), dark_(static_cast<size_t>(size_ * size_), false),
          function_(dark_.size(), false) {}

    void draw(const std::vector<uint8_t>& data_codewords_in) {
        draw_function_patterns();
        draw_codewords(add_ecc_and_interleave(data_codewords_in));
        long best_penalty = LONG_MAX;
        int best = 0;
        for (int mask = 0; mask < 8; ++mask) {
            apply_mask(mask);
            draw_format_bits(mask);
            const long penalty = penalty_score();
            if (penalty < best_penalty) {
                best = mask;
                best_penalty = penalty;
            }
            apply_mask(mask);  // undoes it
        }
        apply_mask(best);
        draw_format_bits(best);
    }

    void take(QrSymbol& out) {
        out.version = ver_;
        out.size = size_;
        out.modules = std::move(dark_);
    }

private:
    size_t at(int x, int y) const { return static_cast<size_t>(y) * static_cast<size_t>(size_) + static_cast<size_t>(x); }
    bool module(int x, int y) const { return dark_[at(x, y)]; }
    void set_function(int x, int y, bool dark) {
        dark_[at(x, y)] = dark;
        function_[at(x, y)] = true;
    }

    void draw_function_patterns() {
        for (int i = 0; i < size_; ++i) {
            set_function(6, i, i % 2 == 0);
            set_function(i, 6, i % 2 == 0);
        }
        draw_finder(3, 3);
        draw_finder(size_ - 4, 3);
        draw_finder(3, size_ - 4);
        const std::vector<int> pos = alignment_positions();
        const size_t n = pos.size();
        for (size_t i = 0; i < n; ++i) {
            for (size_t j = 0; j < n; ++j) {
                if ((i == 0 && j == 0) || (i == 0 && j == n - 1) || (i == n - 1 && j == 0)) continue;
                draw_alignment(pos[i], pos[j]);
            }
        }
        draw_format_bits(0);  // reserves the area; the real bits come with the mask
        draw_version();
    }

    void draw_finder(int x, int y) {
        for (int dy = -4; dy <= 4; ++dy) {
            for (int dx = -4; dx <= 4; ++dx) {
                const int dist = std::max(std::abs(dx), std::abs(dy));
                const int xx = x + dx, yy = y + dy;
                if (0 <= xx && xx < size_ && 0 <= yy && yy < size_) set_function(xx, yy, dist != 2 && dist != 4);
            }
        }
    }

    void draw_alignment(int x, int y) {
        for (int dy = -2; dy <= 2; ++dy)
            for (int dx = -2; dx <= 2; ++dx) set_function(x + dx, y + dy, std::max(std::abs(dx), std::abs(dy)) != 1);
    }

    std::vector<int> alignment_positions() const {
        if (ver_ == 1) return {};
        const int n = ver_ / 7 + 2;
        const int step = (ver_ * 8 + n * 3 + 5) / (n * 4 - 4) * 2;
        std::vector<int> result(static_cast<size_t>(n), 6);
        for (int i = n - 1, pos = size_ - 7; i >= 1; --i, pos -= step) result[static_cast<size_t>(i)] = pos;
        return result;
    }

    static bool bit(long x, int i) { return ((x >> i) & 1) != 0; }

    void draw_format_bits(int mask) {
        const int data = kFormatBits[ecl_] << 3 | mask;
        int rem = data;
        for (int i = 0; i < 10; ++i) rem = (rem << 1) ^ ((rem >> 9) * 0x537);
        const int bits = (data << 10 | rem) ^ 0x5412;
        for (int i = 0; i <= 5; ++i) set_function(8, i, bit(bits, i));
        set_function(8, 7, bit(bits, 6));
        set_function(8, 8, bit(bits, 7));
        set_function(7, 8, bit(bits, 8));
        for (int i = 9; i < 15; ++i) set_function(14 - i, 8, bit(bits, i));
        for (int i = 0; i < 8; ++i) set_function(size_ - 1 - i, 8, bit(bits, i));
        for (int i = 8; i < 15; ++i) set_function(8, size_ - 15 + i, bit(bits, i));
        set_function(8, size_ - 8, true);
    }

    void draw_version() {
        if (ver_ < 7) return;
        int rem = ver_;
        for (int i = 0; i < 12; ++i) rem = (rem << 1) ^ ((rem >> 11) * 0x1F25);
        const long bits = static_cast<long>(ver_) << 12 | rem;
        for (int i = 0; i < 18; ++i) {
            const bool b = bit(bits, i);
            const int a = size_ - 11 + i % 3;
            const int c = i / 3;
            set_function(a, c, b);
            set_function(c, a, b);
        }
    }

    std::vector<uint8_t> add_ecc_and_interleave(const std::vector<uint8_t>& data) const {
        const int blocks = kErrorCorrectionBlocks[ecl_][ver_];
        const int ecc_len = kEccCodewordsPerBlock[ecl_][ver_];
        const int raw = raw_data_modules(ver_) / 8;
        const int short_blocks = blocks - raw % blocks;
        const int short_len = raw / blocks;
        const Divisor divisor = rs_divisor(ecc_len);
        std::vector<std::vector<uint8_t>> all;
        size_t k = 0;
        for (int i = 0; i < blocks; ++i) {
            const size_t len = static_cast<size_t>(short_len - ecc_len + (i < short_blocks ? 0 : 1));
            std::vector<uint8_t> block(data.begin() + static_cast<std::ptrdiff_t>(k),
                                       data.begin() + static_cast<std::ptrdiff_t>(k + len));
            if (i < short_blocks) block.push_back(0);
            rs_remainder(data.data() + k, len, divisor, block);
            k += len;
            all.push_back(std::move(block));
        }
        std::vector<uint8_t> result;
        const size_t block_size = static_cast<size_t>(short_len + 1);  // every block once padded
        for (size_t i = 0; i < block_size; ++i)
            for (size_t j = 0; j < all.size(); ++j)
                if (i != static_cast<size_t>(short_len - ecc_len) || j >= static_cast<size_t>(short_blocks))
                    result.push_back(all[j][i]);
        return result;
    }

    void draw_codewords(const std::vector<uint8_t>& data) {
        size_t i = 0;
        for (int right = size_ - 1; right >= 1; right -= 2) {
            if (right == 6) right = 5;
            for (int vert = 0; vert < size_; ++vert) {
                for (int j = 0; j < 2; ++j) {
                    const int x = right - j;
                    const bool upward = ((right + 1) & 2) == 0;
                    const int y = upward ? size_ - 1 - vert : vert;
                    if (!function_[at(x, y)] && i < data.size() * 8) {
                        dark_[at(x, y)] = ((data[i >> 3] >> (7 - (i & 7))) & 1) != 0;
                        ++i;
                    }
                }
            }
        }
    }

    void apply_mask(int mask) {
        for (int y = 0; y < size_; ++y) {
            for (int x = 0; x < size_; ++x) {
                bool invert = false;
                switch (mask) {
                    case 0: invert = (x + y) % 2 == 0; break;
                    case 1: invert = y % 2 == 0; break;
                    case 2: invert = x % 3 == 0; break;
                    case 3: invert = (x + y) % 3 == 0; break;
                    case 4: invert = (x / 3 + y / 2) % 2 == 0; break;
                    case 5: invert = x * y % 2 + x * y % 3 == 0; break;
                    case 6: invert = (x * y % 2 + x * y % 3) % 2 == 0; break;
                    default: invert = ((x + y) % 2 + x * y % 3) % 2 == 0; break;
                }
                if (invert && !function_[at(x, y)]) dark_[at(x, y)] = !dark_[at(x, y)];
            }
        }
    }

    using History = std::array<int, 7>;

    int count_finder_patterns(const History& h) const {
        const int n = h[1];
        const bool core = n > 0 && h[2] == n && h[3] == n * 3 && h[4] == n && h[5] == n;
        return (core && h[0] >= n * 4 && h[6] >= n ? 1 : 0) + (core && h[6] >= n * 4 && h[0] >= n ? 1 : 0);
    }

    void add_history(int run, History& h) const {
        if (h[0] == 0) run += size_;  // the light border before the first run
        std::copy_backward(h.begin(), h.end() - 1, h.end());
        h[0] = run;
    }

    int terminate_and_count(bool run_dark, int run, History& h) const {
        if (run_dark) {
            add_history(run, h);
            run = 0;
        }
        run += size_;  // the light border after the last run
        add_history(run, h);
        return count_finder_patterns(h);
    }

    long penalty_score() const {
        long result = 0;
        for (int pass = 0; pass < 2; ++pass) {  // rows, then columns
            for (int a = 0; a < size_; ++a) {
                bool run_dark = false;
                int run = 0;
                History h{};
                for (int b = 0; b < size_; ++b) {
                    const bool m = pass == 0 ? module(b, a) : module(a, b);
                    if (m == run_dark) {
                        ++run;
                        if (run == 5) result += 3;
                        else if (run > 5) ++result;
                    } else {
                        add_history(run, h);
                        if (!run_dark) result += count_finder_patterns(h) * 40;
                        run_dark = m;
                        run = 1;
                    }
                }
                result += terminate_and_count(run_dark, run, h) * 40;
            }
        }
        for (int y = 0; y < size_ - 1; ++y) {
            for (int x = 0; x < size_ - 1; ++x) {
                const bool c = module(x, y);
                if (c == module(x + 1, y) && c == module(x, y + 1) && c == module(x + 1, y + 1)) result += 3;
            }
        }
        const long dark = static_cast<long>(std::count(dark_.begin(), dark_.end(), true));
        const long total = static_cast<long>(size_) * size_;
        const long k = (std::labs(dark * 20 - total * 10) + total - 1) / total - 1;
        return result + k * 10;
    }

    int ver_;
    int ecl_;
    int size_;
    std::vector<bool> dark_;
    std::vector<bool> function_;
};

class BitBuffer {
public:
    void append(uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) bits_.push_back(((value >> i) & 1) != 0);
    }
    size_t size() const { return bits_.size(); }
    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> out((bits_.size() + 7) / 8, 0);
        for (size_t i = 0; i < bits_.size(); ++i)
            if (bits_[i]) out[i >> 3] |= static_cast<uint8_t>(0x80 >> (i & 7));
        return out;
    }

private:
    std::vector<bool> bits_;
};

}  // namespace

bool qr_encode_text_builtin(std::string_view text, QrSymbol& out) {
    if (text.find('\0') != std::string_view::npos) return false;
    Mode mode = Mode::byte;
    if (!text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        mode = Mode::numeric;
    else if (!text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
                 return c != '\0' && std::string_view(kAlphanumeric).find(c) != std::string_view::npos;
             }))
        mode = Mode::alphanumeric;

    // The segment's data bits.
    BitBuffer data;
    if (mode == Mode::numeric) {
        for (size_t i = 0; i < text.size(); i += 3) {
            const size_t n = std::min<size_t>(3, text.size() - i);
            const uint32_t v = static_cast<uint32_t>(std::stoul(std::string(text.substr(i, n))));
            data.append(v, static_cast<int>(n * 3 + 1));
        }
    } else if (mode == Mode::alphanumeric) {
        const std::string_view chars(kAlphanumeric);
        size_t i = 0;
        for (; i + 2 <= text.size(); i += 2)
            data.append(static_cast<uint32_t>(chars.find(text[i]) * 45 + chars.find(text[i + 1])), 11);
        if (i < text.size()) data.append(static_cast<uint32_t>(chars.find(text[i])), 6);
    } else {
        for (char c : text) data.append(static_cast<uint8_t>(c), 8);
    }
    const bool has_segment = !text.empty();

    // The smallest version that holds it at medium correction.
    int ver = 1;
    long used = 0;
    for (;; ++ver) {
        const int cc_bits = char_count_bits(mode, ver);
        used = has_segment ? 4 + cc_bits + static_cast<long>(data.size()) : 0;
        const bool count_fits = !has_segment || text.size() < (size_t{1} << cc_bits);
        if (count_fits && used <= INT16_MAX && used <= data_codewords(ver, kEccMedium) * 8L) break;
        if (ver >= 40) return false;
    }
    int ecl = kEccMedium;
    for (int e = kEccMedium + 1; e <= kEccHigh; ++e)
        if (used <= data_codewords(ver, e) * 8L) ecl = e;

    BitBuffer bb;
    if (has_segment) {
        bb.append(static_cast<uint32_t>(mode), 4);
        bb.append(static_cast<uint32_t>(text.size()), char_count_bits(mode, ver));
        const std::vector<uint8_t> d = data.bytes();
        for (size_t i = 0; i < data.size(); ++i) bb.append((d[i >> 3] >> (7 - (i & 7))) & 1, 1);
    }
    const size_t capacity = static_cast<size_t>(data_codewords(ver, ecl)) * 8;
    bb.append(0, static_cast<int>(std::min<size_t>(4, capacity - bb.size())));
    bb.append(0, static_cast<int>((8 - bb.size() % 8) % 8));
    for (uint32_t pad = 0xEC; bb.size() < capacity; pad ^= 0xEC ^ 0x11) bb.append(pad, 8);

    Symbol symbol(ver, ecl);
    symbol.draw(bb.bytes());
    symbol.take(out);
    return true;
}

}  // namespace sorvane::platform
