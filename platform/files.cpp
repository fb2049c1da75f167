#include <algorithm>

#include "platform/crash.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace sorvane::platform {

size_t remove_stale_temporaries(const std::string& path) {
    // write_file_atomic names its temporary files <name>.tmp<pid>.<counter>.
    const size_t slash = path.find_last_of(path_separator() == '\\' ? "\\/" : "/");
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp";
    const auto digits = [](const std::string& t) {
        return !t.empty() && t.size() <= 10 && std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    std::vector<std::string> names;
    if (!list_directory(dir, names).ok()) return 0;
    size_t removed = 0;
    for (const std::string& name : names) {
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string rest = name.substr(prefix.size());
        const size_t dot = rest.find('.');
        if (dot == std::string::npos) continue;
        const std::string pid = rest.substr(0, dot);
        if (!digits(pid) || !digits(rest.substr(dot + 1))) continue;
        if (std::stoull(pid) == crash_process_id()) continue;
        if (remove_file(join_path(dir, name)).ok()) ++removed;
    }
    return removed;
}

}  // namespace sorvane::platform
