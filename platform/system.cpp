#include "platform/system.h"

namespace sorvane::platform {

std::string expand_environment(const std::string& text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const size_t open = text.find('%', i);
        if (open == std::string::npos) break;
        const size_t close = text.find('%', open + 1);
        if (close == std::string::npos) break;
        out.append(text, i, open - i);
        std::string value;
        const std::string name = text.substr(open + 1, close - open - 1);
        if (!name.empty() && get_env(name.c_str(), value)) {
            out += value;
            i = close + 1;
        } else {
            // Not a variable: the first '%' stays and the second may open one.
            out += '%';
            i = open + 1;
        }
    }
    out.append(text, i, std::string::npos);
    return out;
}

}  // namespace sorvane::platform
