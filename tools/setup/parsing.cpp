#include <array>
#include <cstdio>

#include "common/text.h"
#include "tools/setup/setup.h"

namespace sorvane::setup {

std::vector<DriverPackage> parse_driver_packages(std::string_view output) {
    std::vector<DriverPackage> out;
    DriverPackage rec;
    auto finish = [&] {
        if (!rec.published_name.empty() && iequals_ascii(rec.inf_name, kInfName) && rec.provider == kProvider)
            out.push_back(rec);
        rec = DriverPackage{};
    };
    size_t start = 0;
    while (start <= output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string_view::npos) end = output.size();
        std::string_view line = output.substr(start, end - start);
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        start = end + 1;
        if (line.empty()) {
            finish();
            if (end == output.size()) break;
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view v = line.substr(colon + 1);
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
        const std::string lower = ascii_lower(v);
        if (v.size() >= 8 && lower.compare(0, 3, "oem") == 0 && lower.find(".inf") != std::string::npos &&
            rec.published_name.empty()) {
            rec.published_name = std::string(v);
        } else if (iequals_ascii(v, kInfName)) {
            rec.inf_name = std::string(v);
        } else if (v == kProvider) {
            rec.provider = std::string(v);
        } else if (rec.version.empty()) {
            const size_t slash = v.find('/');
            if (slash != std::string_view::npos && v.find('.', slash) != std::string_view::npos) rec.version = std::string(v);
        }
        if (end == output.size()) break;
    }
    finish();
    return out;
}

bool device_started(std::string_view output) {
    // pnputil ends its lines with CR LF: the carriage returns go first, so
    // the block ends at the first empty line.
    std::string text;
    text.reserve(output.size());
    for (char c : output)
        if (c != '\r') text += c;
    const size_t at = text.find(kDeviceDescription);
    if (at == std::string::npos) return false;
    const size_t end = text.find("\n\n", at);
    const std::string block = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    return block.find("Started") != std::string::npos || block.find("Başlatıldı") != std::string::npos ||
           block.find("Baslat") != std::string::npos;
}

int compare_versions(std::string_view a, std::string_view b) {
    auto parts = [](std::string_view s) {
        uint64_t p[3] = {0, 0, 0};
        size_t i = 0;
        for (int k = 0; k < 3; ++k) {
            if (i >= s.size() || s[i] < '0' || s[i] > '9') break;
            uint64_t v = 0;
            while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
                v = v * 10 + static_cast<uint64_t>(s[i] - '0');
                if (v > 0xFFFFFFFFull) v = 0xFFFFFFFFull;
                ++i;
            }
            p[k] = v;
            if (i >= s.size() || s[i] != '.') break;
            ++i;
        }
        return std::array<uint64_t, 3>{p[0], p[1], p[2]};
    };
    const auto x = parts(a);
    const auto y = parts(b);
    for (int k = 0; k < 3; ++k) {
        if (x[k] != y[k]) return x[k] < y[k] ? -1 : 1;
    }
    return 0;
}

platform::CivilTime ten_years_after(const platform::CivilTime& t) {
    platform::CivilTime r = t;
    r.year += 10;
    if (r.month == 2 && r.day == 29) r.day = 28;
    return r;
}

}  // namespace sorvane::setup
