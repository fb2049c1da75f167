// The encoder policy the user chooses on the command line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sorvane {

enum class EncoderKind : uint8_t { auto_select = 0, nvenc = 1, mf_hw = 2, mf_sw = 3 };

struct EncoderChoice {
    EncoderKind kind = EncoderKind::auto_select;
    std::string mf_adapter;  // --mf-adapter filter; empty = any adapter
};

// "auto", "nvenc", "mf-hw", "mf-sw".
const char* encoder_kind_text(EncoderKind kind);

// Accepts the four texts plus "mf-hardware" and "mf-software", in any case.
bool parse_encoder_kind(std::string_view text, EncoderKind& out);

}  // namespace sorvane
