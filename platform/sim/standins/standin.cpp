#include "platform/sim/standins/standin.h"

#include <cstdio>
#include <cstdlib>

#include "platform/codepage.h"
#include "platform/files.h"

namespace sorvane::sim::standin {

namespace {

size_t display_width(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

}  // namespace

void Console::line(const std::string& text) {
    const std::string bytes = platform::utf8_to_oem(text, cp_) + "\r\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void Console::field(const std::string& label, const std::string& value, size_t width) {
    std::string l = label;
    const size_t w = display_width(l);
    l.append(w < width ? width - w : 1, ' ');
    line(l + value);
}

void exit_with(uint32_t code) {
    std::fflush(stdout);
    if (code > 255) {
        const char* path = std::getenv("SORVANE_EXIT_CODE_PATH");
        if (path != nullptr && *path != '\0') platform::write_file_atomic(path, std::to_string(code));
    }
    std::exit(code <= 255 ? static_cast<int>(code) : ((code & 0xFF) != 0 ? static_cast<int>(code & 0xFF) : 1));
}

}  // namespace sorvane::sim::standin
