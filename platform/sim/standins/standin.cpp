#include "platform/sim/standins/standin.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

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

std::string canonical_path(const std::string& path) {
    if (path.empty()) return {};
    std::string whole = path;
    if (whole[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) == nullptr) return {};
        whole = std::string(cwd) + "/" + whole;
    }
    // "." and ".." go by the name alone, as Windows reads a path, before the
    // object it names is looked up.
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= whole.size()) {
        size_t end = whole.find('/', start);
        if (end == std::string::npos) end = whole.size();
        const std::string part = whole.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string lexical;
    for (const auto& p : parts) lexical += "/" + p;
    char buf[PATH_MAX];
    return ::realpath(lexical.empty() ? "/" : lexical.c_str(), buf) == nullptr ? std::string() : std::string(buf);
}

std::string file_id(const std::string& path) {
    // File systems hand a freed inode number out again at once; the birth
    // time (where the file system keeps one) tells the new folder from the old.
    struct statx st {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_INO | STATX_BTIME, &st) != 0) return {};
    std::string id = std::to_string(st.stx_dev_major) + "." + std::to_string(st.stx_dev_minor) + ":" +
                     std::to_string(static_cast<uint64_t>(st.stx_ino));
    if (st.stx_mask & STATX_BTIME) {
        id += ":" + std::to_string(static_cast<int64_t>(st.stx_btime.tv_sec)) + "." +
              std::to_string(st.stx_btime.tv_nsec);
    }
    return id;
}

bool needs_elevation(const Machine& machine, const std::string& canonical) {
    const std::string drive = canonical_path(machine.folder());
    return !drive.empty() && (canonical == drive || canonical.rfind(drive + "/", 0) == 0);
}

}  // namespace sorvane::sim::standin
