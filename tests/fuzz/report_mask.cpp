// The report's masking of any text with any names: valid UTF-8 stays valid,
// no address or id pattern survives (masking the result again changes
// nothing), and a name of 3 or more letters and digits is gone.
#include <algorithm>

#include "common/text.h"
#include "host/report/mask.h"
#include "tests/fuzz/fuzz_input.h"

using namespace sorvane;

namespace {

bool letters_and_digits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x80 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

// Whether the name is part of a replacement text (then it stays, inside it).
bool in_replacements(std::string_view name) {
    const std::string lowered = ascii_lower(name);
    for (const char* r : {hostreport::kMaskedComputer, hostreport::kMaskedUser, hostreport::kMaskedIpv6,
                          hostreport::kMaskedMac, hostreport::kMaskedId, hostreport::kMaskedFingerprint,
                          hostreport::kMaskedToken, hostreport::kMaskedHex, hostreport::kMaskedClient,
                          hostreport::kMaskedDevice}) {
        if (std::string_view(r).find(lowered) != std::string_view::npos) return true;
    }
    return false;
}

// Characters of valid UTF-8 text: the bytes that do not continue a sequence.
size_t characters(std::string_view s) {
    return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const std::string computer(in.bytes(in.u8() % 24));
    const std::string user(in.bytes(in.u8() % 24));
    const std::string text(in.rest());
    const std::string masked = hostreport::mask_report_text(text, computer, user);

    if (is_valid_utf8(text) && is_valid_utf8(computer) && is_valid_utf8(user)) {
        fuzz::check(is_valid_utf8(masked), "valid UTF-8 became invalid");
    }
    fuzz::check(hostreport::mask_addresses(masked) == masked, "an address or id survived the masking");
    for (const std::string* name : {&computer, &user}) {
        if (!is_valid_utf8(*name) || characters(*name) < 3 || !letters_and_digits(*name) || in_replacements(*name)) continue;
        fuzz::check(masked.find(*name) == std::string::npos, "a name survived the masking");
    }
    return 0;
}
