// A peer's text on its way into a log line: whatever the bytes, the result
// is one line of valid UTF-8 without control bytes, its length bounded, and
// the log's own scrub keeps the length of what it is given.
#include "common/text.h"
#include "tests/fuzz/fuzz_input.h"

using namespace sorvane;

namespace {

// Every byte printable or tab, and the whole text well-formed UTF-8 (checked
// by decoding it here independently of the code under test).
bool clean_line(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
            ++i;
            continue;
        }
        size_t n = 0;
        uint32_t cp = 0;
        if ((c & 0xE0) == 0xC0) { n = 2; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { n = 3; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { n = 4; cp = c & 0x07; }
        else return false;
        if (i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = cp << 6 | (d & 0x3F);
        }
        const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t max = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string scrubbed = scrub_text(text);
    fuzz::check(scrubbed.size() == text.size() && clean_line(scrubbed), "scrubbed text is not a clean line");
    const std::string shown = peer_text(text, max);
    fuzz::check(clean_line(shown), "peer text is not a clean line");
    if (text.size() <= max) {
        fuzz::check(shown == scrubbed, "short text changed beyond the scrub");
    } else {
        fuzz::check(shown.size() <= max + 32 && shown.find("...(+") != std::string::npos, "long text not cut and marked");
    }
    return 0;
}
