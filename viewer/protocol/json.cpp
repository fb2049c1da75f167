#include "viewer/protocol/json.h"

#include <charconv>
#include <cmath>

#include "common/text.h"

namespace sorvane::viewer {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when the bytes there are
// not one (overlong forms, surrogates and code points above U+10FFFF included).
size_t utf8_sequence_length(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    const size_t left = s.size() - i;
    const auto cont = [&](size_t k) { return (b(k) & 0xC0) == 0x80; };
    if (c >= 0xC2 && c <= 0xDF) return (left >= 2 && cont(i + 1)) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (left < 3 || !cont(i + 1) || !cont(i + 2)) return 0;
        if (c == 0xE0 && b(i + 1) < 0xA0) return 0;  // overlong
        if (c == 0xED && b(i + 1) >= 0xA0) return 0;  // surrogate
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (left < 4 || !cont(i + 1) || !cont(i + 2) || !cont(i + 3)) return 0;
        if (c == 0xF0 && b(i + 1) < 0x90) return 0;  // overlong
        if (c == 0xF4 && b(i + 1) >= 0x90) return 0;  // above U+10FFFF
        return 4;
    }
    return 0;
}

}  // namespace

void append_json_string(std::string& out, std::string_view s) {
    static const char digits[] = "0123456789abcdef";
    out.push_back('"');
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            switch (c) {
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                default:
                    if (c < 0x20 || c == 0x7F) {
                        out += "\\u00";
                        out.push_back(digits[c >> 4]);
                        out.push_back(digits[c & 0x0F]);
                    } else {
                        out.push_back(static_cast<char>(c));
                    }
            }
            ++i;
            continue;
        }
        const size_t n = utf8_sequence_length(s, i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        // U+2028 and U+2029 are valid JSON but end lines in some readers.
        if (n == 3 && c == 0xE2 && static_cast<unsigned char>(s[i + 1]) == 0x80 &&
            (static_cast<unsigned char>(s[i + 2]) & 0xFE) == 0xA8) {
            out += (static_cast<unsigned char>(s[i + 2]) == 0xA8) ? "\\u2028" : "\\u2029";
        } else {
            out.append(s.substr(i, n));
        }
        i += n;
    }
    out.push_back('"');
}

void append_json_float(std::string& out, float value) {
    if (std::isnan(value)) {
        out += "\"NaN\"";
        return;
    }
    if (std::isinf(value)) {
        out += value > 0 ? "\"Infinity\"" : "\"-Infinity\"";
        return;
    }
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof(buf), value);
    out.append(buf, r.ptr);
}

void JsonObject::key(std::string_view k) {
    if (!first_) out_.push_back(',');
    first_ = false;
    append_json_string(out_, k);
    out_.push_back(':');
}

JsonObject& JsonObject::string(std::string_view k, std::string_view value) {
    key(k);
    append_json_string(out_, value);
    return *this;
}

JsonObject& JsonObject::hex(std::string_view k, std::string_view bytes) {
    key(k);
    out_.push_back('"');
    out_ += to_hex(bytes.data(), bytes.size());
    out_.push_back('"');
    return *this;
}

JsonObject& JsonObject::number(std::string_view k, uint64_t value) {
    key(k);
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof(buf), value);
    out_.append(buf, r.ptr);
    return *this;
}

JsonObject& JsonObject::number(std::string_view k, int64_t value) {
    key(k);
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof(buf), value);
    out_.append(buf, r.ptr);
    return *this;
}

JsonObject& JsonObject::number(std::string_view k, float value) {
    key(k);
    append_json_float(out_, value);
    return *this;
}

JsonObject& JsonObject::boolean(std::string_view k, bool value) {
    key(k);
    out_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::raw(std::string_view k, std::string_view json) {
    key(k);
    out_.append(json);
    return *this;
}

std::string JsonObject::finish() {
    out_.push_back('}');
    return std::move(out_);
}

}  // namespace sorvane::viewer
