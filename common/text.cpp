#include "common/text.h"

#include <limits>

namespace sorvane {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = ascii_lower(c);
    return out;
}

bool iequals_ascii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return true;
}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Accumulates digits from s[i]; saturates. Returns the number of digits read.
size_t read_digits(std::string_view s, size_t& i, bool negative, int64_t& value) {
    constexpr int64_t max = std::numeric_limits<int64_t>::max();
    constexpr int64_t min = std::numeric_limits<int64_t>::min();
    size_t digits = 0;
    value = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++digits) {
        const int d = s[i] - '0';
        if (!negative) {
            value = (value > (max - d) / 10) ? max : value * 10 + d;
        } else {
            value = (value < (min + d) / 10) ? min : value * 10 - d;
        }
    }
    return digits;
}

}  // namespace

int64_t parse_int_prefix(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && is_blank(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    int64_t value = 0;
    read_digits(s, i, negative, value);
    return value;
}

bool parse_int_exact(std::string_view s, int64_t& out) {
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    int64_t value = 0;
    const size_t digits = read_digits(s, i, negative, value);
    if (digits == 0 || i != s.size()) return false;
    if (value == std::numeric_limits<int64_t>::max() || value == std::numeric_limits<int64_t>::min()) {
        return false;  // saturated: out of range
    }
    out = value;
    return true;
}

std::string to_hex(const void* data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    const auto* p = static_cast<const unsigned char*>(data);
    std::string out;
    out.resize(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = digits[p[i] >> 4];
        out[2 * i + 1] = digits[p[i] & 0x0F];
    }
    return out;
}

namespace {
int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

bool from_hex(std::string_view hex, void* out, size_t n) {
    if (hex.size() != n * 2) return false;
    auto* p = static_cast<unsigned char*>(out);
    for (size_t i = 0; i < n; ++i) {
        const int hi = hex_value(hex[2 * i]);
        const int lo = hex_value(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        p[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return true;
}

bool parse_hex_u32(std::string_view digits, uint32_t& out) {
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t v = 0;
    for (const char c : digits) {
        const int d = hex_value(c);
        if (d < 0) return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    out = v;
    return true;
}

void scrub_control_in_place(char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 && c != '\t') s[i] = '?';
    }
}

std::string scrub_control(std::string_view s) {
    std::string out(s);
    scrub_control_in_place(out.data(), out.size());
    return out;
}

size_t utf8_sequence_length(std::string_view s, uint32_t* cp) {
    if (s.empty()) return 0;
    const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = b(0);
    if (lead < 0x80) {
        if (cp != nullptr) *cp = lead;
        return 1;
    }
    size_t need = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    uint32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // no overlong forms
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (s.size() < need || b(1) < low || b(1) > high) return 0;
    for (size_t i = 2; i < need; ++i) {
        if ((b(i) & 0xC0) != 0x80) return 0;
    }
    for (size_t i = 1; i < need; ++i) value = value << 6 | (b(i) & 0x3F);
    if (cp != nullptr) *cp = value;
    return need;
}

bool is_valid_utf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8_sequence_length(s.substr(i));
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string scrub_text(std::string_view s) {
    std::string out(s);
    for (size_t i = 0; i < out.size();) {
        const auto c = static_cast<unsigned char>(out[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            out[i++] = '?';
            continue;
        }
        const size_t n = utf8_sequence_length(std::string_view(out).substr(i));
        if (n == 0) {
            out[i++] = '?';
        } else {
            i += n;
        }
    }
    return out;
}

std::string peer_text(std::string_view s, size_t max) {
    if (s.size() <= max) return scrub_text(s);
    const size_t keep = utf8_prefix_length(s, max);
    std::string out = scrub_text(s.substr(0, keep));
    out += "...(+" + std::to_string(s.size() - keep) + " bytes)";
    return out;
}

size_t utf8_complete_length(std::string_view s) {
    // Find the lead byte of the last sequence (at most three continuation
    // bytes back) and drop the sequence when it is shorter than it announces.
    size_t i = s.size();
    size_t continuation = 0;
    while (i > 0 && continuation < 4 && (static_cast<unsigned char>(s[i - 1]) & 0xC0) == 0x80) {
        --i;
        ++continuation;
    }
    if (i == 0 || continuation >= 4) return s.size();  // not UTF-8: leave it alone
    const auto lead = static_cast<unsigned char>(s[i - 1]);
    size_t need = 1;
    if ((lead & 0xE0) == 0xC0) need = 2;
    else if ((lead & 0xF0) == 0xE0) need = 3;
    else if ((lead & 0xF8) == 0xF0) need = 4;
    else return s.size();  // ASCII or stray byte: nothing to complete
    return continuation + 1 < need ? i - 1 : s.size();
}

size_t utf8_prefix_length(std::string_view s, size_t max) {
    if (s.size() <= max) return s.size();
    return utf8_complete_length(s.substr(0, max));
}

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace sorvane
