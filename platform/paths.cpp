#include "platform/paths.h"

namespace sorvane::platform {

namespace {
bool is_separator(char c) { return c == '/' || c == '\\'; }
}  // namespace

char path_separator() {
#ifdef _WIN32
    return '\\';
#else
    return '/';
#endif
}

std::string join_path(std::string_view a, std::string_view b) {
    std::string out(a);
    if (b.empty()) return out;
    if (out.empty()) return std::string(b);
    if (!is_separator(out.back())) out.push_back(path_separator());
    out.append(b);
    return out;
}

std::string directory_part(std::string_view path) {
    const size_t pos = path.find_last_of("/\\");
    if (pos == std::string_view::npos) return {};
    return std::string(path.substr(0, pos + 1));
}

std::string parent_of(std::string_view path) {
    const size_t pos = path.find_last_of("/\\");
    if (pos == std::string_view::npos) return {};
    return std::string(path.substr(0, pos));
}

}  // namespace sorvane::platform
