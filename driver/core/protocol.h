// The driver's control protocol "SVC/1": one ASCII request per pipe message,
// one response per request. This is the pure half: the request parser and the
// response formatter, with every size rule of the exchange in one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/core/types.h"

namespace sorvane::vdd {

inline constexpr uint32_t kProtocolVersion = 1;
// Requests are 1 to kMaxRequestBytes bytes; a larger pipe message is answered
// with size_error_response(). Responses never exceed kMaxResponseBytes.
inline constexpr size_t kMaxRequestBytes = 512;
inline constexpr size_t kMaxResponseBytes = 4096;
inline constexpr size_t kMaxTokens = 16;

// Error codes; the number and its name always travel together.
enum ErrorCode : uint32_t {
    kBadRequest = 1,
    kBadArgs = 2,
    kNotReady = 3,
    kLimit = 4,
    kNotFound = 5,
    kBusy = 6,
    kProto = 7,
    kGpuInvalid = 8,
    kIddcx = 9,
    kInternal = 10,
};
// "BAD_REQUEST" ... "INTERNAL", "UNKNOWN" outside 1..10.
const char* error_name(uint32_t code);

using Pair = std::pair<std::string, std::string>;
using Pairs = std::vector<Pair>;

struct ControlRequest {
    uint32_t version = 0;
    uint32_t seq = 0;
    // Set as soon as the sequence number has been read, so whoever answers a
    // failure that happens later can still echo it.
    bool has_seq = false;
    std::string verb;
    std::vector<std::string> positional;
    Pairs named;

    // The value of a named argument, or null.
    const std::string* named_value(std::string_view key) const;
};

struct ParseFailure {
    uint32_t code = kBadRequest;
    // "size", "charset", "spacing", "too_many_tokens", "too_few_tokens",
    // "header", "seq", "verb", "token", "key", "value", "duplicate_key",
    // "positional_after_key".
    const char* detail = "";
    // The request's sequence number once it was read, else 0.
    uint32_t seq = 0;
};

// Parses one request message. On failure fills failure and returns false.
bool parse_request(std::string_view bytes, ControlRequest& out, ParseFailure& failure);

// 1 to 10 decimal digits, no sign, no leading zero (except "0"), at most 4294967295.
bool parse_number(std::string_view text, uint32_t& out);
// "hhhhhhhh:llllllll" in either case, high part first.
bool parse_luid(std::string_view text, Luid& out);

// Every '=' becomes ':', every byte outside 0x21..0x7E becomes '_'.
std::string sanitize(std::string_view text);

// "SVC/1 <seq> OK" and " key=value" per pair. A text that would exceed
// kMaxResponseBytes becomes "ERR 10 INTERNAL msg=response_too_large".
std::string format_ok(uint32_t seq, const Pairs& pairs);
// "SVC/1 <seq> ERR <code> <NAME>", " msg=<msg>" when msg is not empty, then
// the pairs; cut to kMaxResponseBytes.
std::string format_err(uint32_t seq, uint32_t code, std::string_view msg, const Pairs& pairs = {});

// The answer to a pipe message longer than kMaxRequestBytes.
std::string size_error_response();

// The answer to a request whose handling failed outside the dispatcher's own
// guard (a fault caught around it): "ERR 10 INTERNAL msg=<msg>" with the
// request's seq whenever it can be read, else 0. A client that sees a
// different seq than it sent takes the connection for broken and drops it,
// and with it every monitor of that connection.
std::string internal_error_response(std::string_view request, std::string_view msg);

}  // namespace sorvane::vdd
