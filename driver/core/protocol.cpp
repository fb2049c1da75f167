#include "driver/core/protocol.h"

#include <algorithm>
#include <array>

namespace sorvane::vdd {

namespace {

constexpr std::string_view kHeaderPrefix = "SVC/";
constexpr size_t kMaxHeaderBytes = 16;
constexpr size_t kMaxSeqBytes = 16;
constexpr size_t kMaxVerbBytes = 24;
constexpr size_t kMaxNamedTokenBytes = 81;
constexpr size_t kMaxPositionalBytes = 64;
constexpr size_t kMaxKeyBytes = 16;
constexpr size_t kMaxValueBytes = 64;

bool is_key_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_hex8(std::string_view s, uint32_t& out) {
    uint32_t v = 0;
    for (const char c : s) {
        const int d = hex_value(c);
        if (d < 0) return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    out = v;
    return true;
}

char sanitized(char c) {
    if (c == '=') return ':';
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x21 && u <= 0x7E ? c : '_';
}

void append_sanitized(std::string& out, std::string_view text) {
    for (const char c : text) out.push_back(sanitized(c));
}

void append_head(std::string& out, uint32_t seq) {
    out.append("SVC/1 ");
    out.append(std::to_string(seq));
}

void append_pairs(std::string& out, const Pairs& pairs) {
    for (const auto& [key, value] : pairs) {
        out.push_back(' ');
        append_sanitized(out, key);
        out.push_back('=');
        append_sanitized(out, value);
    }
}

}  // namespace

const char* error_name(uint32_t code) {
    switch (code) {
        case kBadRequest: return "BAD_REQUEST";
        case kBadArgs: return "BAD_ARGS";
        case kNotReady: return "NOT_READY";
        case kLimit: return "LIMIT";
        case kNotFound: return "NOT_FOUND";
        case kBusy: return "BUSY";
        case kProto: return "PROTO";
        case kGpuInvalid: return "GPU_INVALID";
        case kIddcx: return "IDDCX";
        case kInternal: return "INTERNAL";
        default: return "UNKNOWN";
    }
}

const std::string* ControlRequest::named_value(std::string_view key) const {
    for (const auto& [k, v] : named) {
        if (k == key) return &v;
    }
    return nullptr;
}

bool parse_number(std::string_view text, uint32_t& out) {
    if (text.empty() || text.size() > 10) return false;
    if (text.size() > 1 && text[0] == '0') return false;
    uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool parse_luid(std::string_view text, Luid& out) {
    if (text.size() != 17 || text[8] != ':') return false;
    Luid l;
    if (!parse_hex8(text.substr(0, 8), l.high) || !parse_hex8(text.substr(9, 8), l.low)) return false;
    out = l;
    return true;
}

bool parse_request(std::string_view b, ControlRequest& out, ParseFailure& failure) {
    const auto fail = [&](const char* detail) {
        failure.code = kBadRequest;
        failure.detail = detail;
        failure.seq = out.has_seq ? out.seq : 0;
        return false;
    };
    if (b.empty() || b.size() > kMaxRequestBytes) return fail("size");
    for (const char c : b) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7E) return fail("charset");
    }
    if (b.front() == ' ' || b.back() == ' ' || b.find("  ") != std::string_view::npos) return fail("spacing");
    const size_t spaces = static_cast<size_t>(std::count(b.begin(), b.end(), ' '));
    if (spaces + 1 > kMaxTokens) return fail("too_many_tokens");

    std::array<std::string_view, kMaxTokens> tokens;
    size_t count = 0;
    for (size_t start = 0;;) {
        const size_t space = b.find(' ', start);
        tokens[count++] = b.substr(start, space == std::string_view::npos ? std::string_view::npos : space - start);
        if (space == std::string_view::npos) break;
        start = space + 1;
    }
    if (count < 3) return fail("too_few_tokens");

    const std::string_view header = tokens[0];
    if (header.size() < kHeaderPrefix.size() || header.size() > kMaxHeaderBytes ||
        header.substr(0, kHeaderPrefix.size()) != kHeaderPrefix ||
        !parse_number(header.substr(kHeaderPrefix.size()), out.version)) {
        return fail("header");
    }
    if (tokens[1].size() > kMaxSeqBytes || !parse_number(tokens[1], out.seq)) return fail("seq");
    out.has_seq = true;

    const std::string_view verb = tokens[2];
    if (verb.empty() || verb.size() > kMaxVerbBytes ||
        !std::all_of(verb.begin(), verb.end(), [](char c) { return (c >= 'A' && c <= 'Z') || c == '_'; })) {
        return fail("verb");
    }
    out.verb.assign(verb);

    for (size_t i = 3; i < count; ++i) {
        const std::string_view t = tokens[i];
        if (t.size() > kMaxNamedTokenBytes) return fail("token");
        const size_t eq = t.find('=');
        if (eq != std::string_view::npos) {
            const std::string_view key = t.substr(0, eq);
            const std::string_view value = t.substr(eq + 1);
            if (key.empty() || key.size() > kMaxKeyBytes || !std::all_of(key.begin(), key.end(), is_key_char)) {
                return fail("key");
            }
            if (value.empty() || value.size() > kMaxValueBytes || value.find('=') != std::string_view::npos) {
                return fail("value");
            }
            if (out.named_value(key) != nullptr) return fail("duplicate_key");
            out.named.emplace_back(std::string(key), std::string(value));
        } else {
            if (t.size() > kMaxPositionalBytes) return fail("token");
            if (!out.named.empty()) return fail("positional_after_key");
            out.positional.emplace_back(t);
        }
    }
    return true;
}

std::string sanitize(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    append_sanitized(out, text);
    return out;
}

std::string format_ok(uint32_t seq, const Pairs& pairs) {
    std::string out;
    out.reserve(64);
    append_head(out, seq);
    out.append(" OK");
    append_pairs(out, pairs);
    if (out.size() > kMaxResponseBytes) return format_err(seq, kInternal, "response_too_large");
    return out;
}

std::string format_err(uint32_t seq, uint32_t code, std::string_view msg, const Pairs& pairs) {
    std::string out;
    out.reserve(64);
    append_head(out, seq);
    out.append(" ERR ");
    out.append(std::to_string(code));
    out.push_back(' ');
    out.append(error_name(code));
    if (!msg.empty()) {
        out.append(" msg=");
        append_sanitized(out, msg);
    }
    append_pairs(out, pairs);
    if (out.size() > kMaxResponseBytes) out.resize(kMaxResponseBytes);
    return out;
}

std::string size_error_response() { return format_err(0, kBadRequest, "size"); }

std::string internal_error_response(std::string_view request, std::string_view msg) {
    ControlRequest parsed;
    ParseFailure failure;
    parse_request(request, parsed, failure);
    return format_err(parsed.has_seq ? parsed.seq : 0, kInternal, msg);
}

}  // namespace sorvane::vdd
