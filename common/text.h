// Small text helpers shared by every deliverable: locale-independent ASCII
// case folding, number parsing, hexadecimal, control-byte scrubbing and
// UTF-8-safe cutting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sorvane {

char ascii_lower(char c);
std::string ascii_lower(std::string_view s);
bool iequals_ascii(std::string_view a, std::string_view b);

// Reads optional leading blanks, an optional sign and the decimal digits up to
// the first other character, as atoi does, but saturating at the 64-bit limits
// instead of overflowing. Text that is not a number gives 0.
int64_t parse_int_prefix(std::string_view s);

// Parses the whole text as a decimal number (optional sign, at least one digit,
// nothing else). False on anything else or overflow.
bool parse_int_exact(std::string_view s, int64_t& out);

// Lowercase hexadecimal of bytes.
std::string to_hex(const void* data, size_t n);
// Parses exactly 2*n hexadecimal digits (either case) into out.
bool from_hex(std::string_view hex, void* out, size_t n);
// Parses 1 to 8 hexadecimal digits (either case, no prefix) as a 32-bit number.
bool parse_hex_u32(std::string_view digits, uint32_t& out);

// Replaces every byte below 0x20 except tab with '?', so text from a peer can
// never start a new line or move the cursor of whoever reads it.
std::string scrub_control(std::string_view s);
void scrub_control_in_place(char* s, size_t n);

// Replaces, with '?', every byte below 0x20 except tab, DEL (0x7F) and every
// byte that is not part of a well-formed UTF-8 sequence (overlong forms,
// surrogates and values above U+10FFFF included): what is left is one line of
// valid UTF-8 with the same number of bytes.
std::string scrub_text(std::string_view s);

// How much of a peer's text a log line carries.
inline constexpr size_t kPeerTextMax = 128;

// A peer's text (a name, a client id) for a log line: scrubbed as scrub_text
// does, and when longer than max bytes cut at a character boundary and marked
// "...(+N bytes)" with the number of bytes left out, so the fields that follow
// it in the line are never pushed past the end of the line.
std::string peer_text(std::string_view s, size_t max = kPeerTextMax);

// The length of s without a UTF-8 sequence cut short at its end.
size_t utf8_complete_length(std::string_view s);

// The longest prefix of s not longer than max bytes that does not end in the
// middle of a UTF-8 sequence.
size_t utf8_prefix_length(std::string_view s, size_t max);

// The length of the well-formed UTF-8 sequence at the start of s (1 to 4;
// overlong forms, surrogates and values above U+10FFFF are not well formed),
// 0 when s is empty or starts with none; cp (when given) receives its code point.
size_t utf8_sequence_length(std::string_view s, uint32_t* cp = nullptr);

// Whether all of s is well-formed UTF-8.
bool is_valid_utf8(std::string_view s);

// Appends the UTF-8 form of code point cp (at most U+10FFFF; the caller
// replaces surrogates and larger values).
void append_utf8(std::string& out, uint32_t cp);

}  // namespace sorvane
