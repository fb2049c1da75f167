#include "platform/registry.h"
#include "common/text.h"

namespace sorvane::platform {

namespace {

void put_utf16(std::vector<uint8_t>& out, uint32_t cp) {
    auto unit = [&](uint32_t u) {
        out.push_back(static_cast<uint8_t>(u & 0xFF));
        out.push_back(static_cast<uint8_t>(u >> 8));
    };
    if (cp >= 0x10000) {
        cp -= 0x10000;
        unit(0xD800 + (cp >> 10));
        unit(0xDC00 + (cp & 0x3FF));
    } else {
        unit(cp);
    }
}

}  // namespace

std::vector<uint8_t> utf8_to_utf16le(std::string_view s) {
    std::vector<uint8_t> out;
    out.reserve(s.size() * 2);
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        uint32_t cp = 0xFFFD;
        size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            bool ok = i + len <= s.size();
            uint32_t v = c & (0x7F >> len);
            for (size_t k = 1; ok && k < len; ++k) {
                const auto cc = static_cast<unsigned char>(s[i + k]);
                if ((cc & 0xC0) != 0x80) ok = false;
                v = (v << 6) | (cc & 0x3F);
            }
            const uint32_t min = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
            if (ok && v >= min && v <= 0x10FFFF && !(v >= 0xD800 && v < 0xE000)) {
                cp = v;
            } else {
                len = 1;
            }
        }
        put_utf16(out, cp);
        i += len;
    }
    return out;
}

std::string utf16le_to_utf8(const uint8_t* data, size_t n) {
    std::string out;
    const size_t units = n / 2;
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = data[2 * i] | (static_cast<uint32_t>(data[2 * i + 1]) << 8);
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
            const uint32_t lo = data[2 * i + 2] | (static_cast<uint32_t>(data[2 * i + 3]) << 8);
            if (lo >= 0xDC00 && lo < 0xE000) {
                append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u < 0xE000) u = 0xFFFD;
        append_utf8(out, u);
    }
    return out;
}

RegistryValue reg_sz(std::string_view text) {
    RegistryValue v{kRegSz, utf8_to_utf16le(text)};
    v.data.push_back(0);
    v.data.push_back(0);
    return v;
}

RegistryValue reg_multi_sz(const std::vector<std::string>& items) {
    RegistryValue v{kRegMultiSz, {}};
    for (const auto& s : items) {
        const auto u = utf8_to_utf16le(s);
        v.data.insert(v.data.end(), u.begin(), u.end());
        v.data.push_back(0);
        v.data.push_back(0);
    }
    v.data.push_back(0);
    v.data.push_back(0);
    return v;
}

RegistryValue reg_dword(uint32_t d) {
    return RegistryValue{kRegDword,
                         {static_cast<uint8_t>(d), static_cast<uint8_t>(d >> 8), static_cast<uint8_t>(d >> 16),
                          static_cast<uint8_t>(d >> 24)}};
}

bool read_sz(const RegistryValue& v, std::string& out) {
    if (v.type != kRegSz) return false;
    size_t n = 0;
    while (n + 1 < v.data.size() && (v.data[n] != 0 || v.data[n + 1] != 0)) n += 2;
    out = utf16le_to_utf8(v.data.data(), n);
    return true;
}

bool read_multi_sz(const RegistryValue& v, std::vector<std::string>& out) {
    if (v.type != kRegMultiSz) return false;
    out.clear();
    size_t start = 0;
    size_t i = 0;
    while (i + 1 < v.data.size()) {
        if (v.data[i] == 0 && v.data[i + 1] == 0) {
            if (i == start) break;  // the empty string ends the list
            out.push_back(utf16le_to_utf8(v.data.data() + start, i - start));
            start = i + 2;
        }
        i += 2;
    }
    if (i + 1 >= v.data.size() && start + 1 < v.data.size() && start < i)
        out.push_back(utf16le_to_utf8(v.data.data() + start, i - start));  // unterminated last entry
    return true;
}

bool read_dword(const RegistryValue& v, uint32_t& out) {
    if (v.type != kRegDword || v.data.size() < 4) return false;
    out = v.data[0] | (static_cast<uint32_t>(v.data[1]) << 8) | (static_cast<uint32_t>(v.data[2]) << 16) |
          (static_cast<uint32_t>(v.data[3]) << 24);
    return true;
}

bool registry_read_sz(IRegistry& reg, RegistryHive hive, std::string_view key, std::string_view name,
                      std::string& out) {
    RegistryValue v;
    if (reg.get_value(hive, key, name, v) != 0) return false;
    return read_sz(v, out);
}

}  // namespace sorvane::platform
