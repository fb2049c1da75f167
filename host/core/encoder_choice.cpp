#include "host/core/encoder_choice.h"

#include "common/text.h"

namespace sorvane {

const char* encoder_kind_text(EncoderKind kind) {
    switch (kind) {
        case EncoderKind::auto_select:
            return "auto";
        case EncoderKind::nvenc:
            return "nvenc";
        case EncoderKind::mf_hw:
            return "mf-hw";
        case EncoderKind::mf_sw:
            return "mf-sw";
    }
    return "auto";
}

bool parse_encoder_kind(std::string_view text, EncoderKind& out) {
    struct Name {
        const char* text;
        EncoderKind kind;
    };
    static const Name names[] = {
        {"auto", EncoderKind::auto_select}, {"nvenc", EncoderKind::nvenc},          {"mf-hw", EncoderKind::mf_hw},
        {"mf-sw", EncoderKind::mf_sw},      {"mf-hardware", EncoderKind::mf_hw}, {"mf-software", EncoderKind::mf_sw},
    };
    for (const Name& n : names) {
        if (iequals_ascii(text, n.text)) {
            out = n.kind;
            return true;
        }
    }
    return false;
}

}  // namespace sorvane
