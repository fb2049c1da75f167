// settings.txt on any content, read whole or cut at the read limit: what the
// reader keeps, the writer writes back and reading that again gives the same
// entries; no key or value can start another line.
#include "host/core/settings.h"
#include "tests/fuzz/fuzz_input.h"

using namespace sorvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const bool truncated : {false, true}) {
        const SettingsMap values = parse_settings(text, truncated);
        for (const auto& [key, value] : values) {
            fuzz::check(!key.empty() && key.find_first_of("=\n") == std::string::npos, "key that splits its line");
            fuzz::check(value.find_first_of("\r\n") == std::string::npos, "value that cannot be written back");
        }
        fuzz::check(parse_settings(serialize_settings(values)) == values, "settings read back differently");
    }
    // A text that ends at a line's end has no cut line to drop.
    if (!text.empty() && text.back() == '\n')
        fuzz::check(parse_settings(text, true) == parse_settings(text, false), "a whole last line was dropped");
    return 0;
}
