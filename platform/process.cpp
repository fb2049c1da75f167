#include "platform/process.h"

namespace sorvane::platform {

std::vector<std::string> split_command_line(std::string_view s) {
    std::vector<std::string> out;
    size_t i = 0;
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (i < s.size() && blank(s[i])) ++i;
    if (i >= s.size()) return out;
    // The program name: no escapes.
    std::string prog;
    if (s[i] == '"') {
        ++i;
        while (i < s.size() && s[i] != '"') prog += s[i++];
        if (i < s.size()) ++i;
    } else {
        while (i < s.size() && !blank(s[i])) prog += s[i++];
    }
    out.push_back(prog);
    for (;;) {
        while (i < s.size() && blank(s[i])) ++i;
        if (i >= s.size()) break;
        std::string arg;
        bool quoted = false;
        while (i < s.size()) {
            const char c = s[i];
            if (c == '\\') {
                size_t n = 0;
                while (i < s.size() && s[i] == '\\') {
                    ++n;
                    ++i;
                }
                if (i < s.size() && s[i] == '"') {
                    arg.append(n / 2, '\\');
                    if (n % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(n, '\\');
                }
                continue;
            }
            if (c == '"') {
                if (quoted && i + 1 < s.size() && s[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            if (blank(c) && !quoted) break;
            arg += c;
            ++i;
        }
        out.push_back(std::move(arg));
    }
    return out;
}

std::string quote_argument(std::string_view arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string_view::npos) return std::string(arg);
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
            out += '"';
        } else {
            out.append(backslashes, '\\');
            out += c;
        }
        backslashes = 0;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

}  // namespace sorvane::platform
