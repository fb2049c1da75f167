#include "host/report/mask.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "common/text.h"
#include "platform/codepage.h"

namespace sorvane::hostreport {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_hex_letter(char c) { return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_word(char c) { return is_alpha(c) || is_digit(c) || c == '_'; }

// ---- addresses and ids ----

std::string mask_ipv4(std::string_view t) {
    std::string out;
    out.reserve(t.size());
    const size_t n = t.size();
    size_t i = 0;
    while (i < n) {
        // Not inside a dotted number: no digit before it, and no "." that
        // follows a digit (an ellipsis or a word may stand before the address).
        const bool starts = is_digit(t[i]) && (i == 0 || (!is_digit(t[i - 1]) &&
                                                          !(t[i - 1] == '.' && i >= 2 && is_digit(t[i - 2]))));
        if (starts) {
            unsigned groups[4] = {};
            size_t j = i;
            bool ok = true;
            for (int k = 0; k < 4 && ok; ++k) {
                if (k > 0) {
                    if (j < n && t[j] == '.') {
                        ++j;
                    } else {
                        ok = false;
                        break;
                    }
                }
                size_t digits = 0;
                unsigned value = 0;
                while (j < n && is_digit(t[j]) && digits < 3) {
                    value = value * 10 + static_cast<unsigned>(t[j] - '0');
                    ++j;
                    ++digits;
                }
                ok = digits > 0 && value <= 255;
                groups[k] = value;
            }
            if (ok && j < n && is_digit(t[j])) ok = false;
            if (ok && j + 1 < n && t[j] == '.' && is_digit(t[j + 1])) ok = false;
            if (ok) {
                out += std::to_string(groups[0]) + "." + std::to_string(groups[1]) + ".*.*";
                i = j;
                continue;
            }
        }
        out += t[i++];
    }
    return out;
}

std::string mask_ipv6(std::string_view t) {
    std::string out;
    out.reserve(t.size());
    const size_t n = t.size();
    size_t i = 0;
    while (i < n) {
        const char c = t[i];
        if ((is_hex(c) || c == ':') && (i == 0 || !is_word(t[i - 1]))) {
            size_t j = i;
            size_t colons = 0;
            size_t hex = 0;
            bool letter = false;
            bool double_colon = false;
            for (; j < n && (is_hex(t[j]) || t[j] == ':'); ++j) {
                if (t[j] == ':') {
                    ++colons;
                    if (j > i && t[j - 1] == ':') double_colon = true;
                } else {
                    ++hex;
                    letter = letter || is_hex_letter(t[j]);
                }
            }
            if (colons >= 2 && hex >= 2 && (double_colon || (letter && colons >= 4) || colons >= 7)) {
                out += kMaskedIpv6;
            } else {
                // No run that starts inside this one can qualify when it does not.
                out.append(t.substr(i, j - i));
            }
            i = j;
            continue;
        }
        out += t[i++];
    }
    return out;
}

// Six pairs of hex digits joined by one separator, "-" or ":".
bool mac_at(std::string_view t, size_t i) {
    if (t.size() - i < 17) return false;
    const char sep = t[i + 2];
    if (sep != '-' && sep != ':') return false;
    for (size_t k = 0; k < 17; ++k) {
        if (k % 3 == 2 ? t[i + k] != sep : !is_hex(t[i + k])) return false;
    }
    return true;
}

// 8-4-4-4-12 hex digits, not inside a longer hex run.
bool uuid_at(std::string_view t, size_t i) {
    if (t.size() - i < 36 || (i > 0 && is_hex(t[i - 1]))) return false;
    for (size_t k = 0; k < 36; ++k) {
        const bool dash = k == 8 || k == 13 || k == 18 || k == 23;
        if (dash ? t[i + k] != '-' : !is_hex(t[i + k])) return false;
    }
    return i + 36 == t.size() || !is_hex(t[i + 36]);
}

std::string mask_ids(std::string_view t) {
    std::string out;
    out.reserve(t.size());
    const size_t n = t.size();
    size_t i = 0;
    while (i < n) {
        if (mac_at(t, i)) {
            out += kMaskedMac;
            i += 17;
            continue;
        }
        if (uuid_at(t, i)) {
            out += kMaskedId;
            i += 36;
            continue;
        }
        if (is_hex(t[i])) {
            size_t j = i;
            while (j < n && is_hex(t[j])) ++j;
            const size_t run = j - i;
            if (run == 64) out += kMaskedFingerprint;
            else if (run == 32) out += kMaskedToken;
            else if (run > 32) out += kMaskedHex;
            else out.append(t.substr(i, run));
            i = j;
            continue;
        }
        out += t[i++];
    }
    return out;
}

// ---- names ----

uint32_t lower_cp(uint32_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
    if (c == 0x130) return 'i';
    if (c == 0x178) return 0xFF;
    if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return c | 1;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c + 1 : c;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
    if (c >= 0x410 && c <= 0x42F) return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

uint32_t upper_cp(uint32_t c, bool turkish) {
    if (c < 0x80) {
        if (turkish && c == 'i') return 0x130;
        return (c >= 'a' && c <= 'z') ? c - 32 : c;
    }
    if (c == 0x131) return 'I';
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
    if (c == 0xFF) return 0x178;
    if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return c & ~1u;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c : c - 1;
    if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return c - 32;
    if (c >= 0x430 && c <= 0x44F) return c - 32;
    if (c >= 0x450 && c <= 0x45F) return c - 80;
    return c;
}

// Case folding for comparison: dotted and dotless i meet at "i".
uint32_t fold_cp(uint32_t c) {
    c = lower_cp(c);
    if (c == 0x131) return 'i';
    if (c == 0x17F) return 's';
    if (c == 0x3C2) return 0x3C3;
    return c;
}

template <class F>
std::string map_code_points(std::string_view s, F&& f) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        const size_t n = utf8_sequence_length(s.substr(i), &cp);
        if (n == 0) {
            out += s[i++];
            continue;
        }
        append_utf8(out, f(cp));
        i += n;
    }
    return out;
}

std::string percent_encoded(std::string_view s) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (is_alpha(ch) || is_digit(ch) || ch == '-' || ch == '.' || ch == '_' || ch == '~') {
            out += ch;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0x0F];
        }
    }
    return out;
}

size_t unit_length(std::string_view t, size_t i) {
    const size_t n = utf8_sequence_length(t.substr(i));
    return n == 0 ? 1 : n;
}

// Whether end is where a UTF-8 sequence (or a stray byte) of t ends, walking from i.
bool unit_boundary(std::string_view t, size_t i, size_t end) {
    while (i < end) i += unit_length(t, i);
    return i == end;
}

bool iequal_ascii_at(std::string_view t, size_t i, std::string_view form) {
    if (t.size() - i < form.size()) return false;
    for (size_t k = 0; k < form.size(); ++k) {
        if (ascii_lower(t[i + k]) != ascii_lower(form[k])) return false;
    }
    return true;
}

// One name in every form it is looked for.
struct Pattern {
    std::vector<uint32_t> folded;    // the UTF-8 form, compared folded
    std::vector<std::string> bytes;  // byte forms, compared with ASCII case folding
    const char* replacement = "";
};

size_t characters(std::string_view s) {
    size_t count = 0;
    for (size_t i = 0; i < s.size(); ++count) i += unit_length(s, i);
    return count;
}

void add_form(Pattern& p, std::string form) {
    if (form.empty()) return;
    const std::string lowered = ascii_lower(form);
    for (const auto& f : p.bytes)
        if (ascii_lower(f) == lowered) return;
    p.bytes.push_back(std::move(form));
}

Pattern name_pattern(std::string_view name, const char* replacement) {
    Pattern p;
    p.replacement = replacement;
    for (size_t i = 0; i < name.size();) {
        uint32_t cp = 0;
        const size_t n = utf8_sequence_length(name.substr(i), &cp);
        if (n == 0) {  // not UTF-8: the bytes as they are
            p.folded.clear();
            break;
        }
        p.folded.push_back(fold_cp(cp));
        i += n;
    }
    const std::string spellings[] = {
        std::string(name),
        map_code_points(name, lower_cp),
        map_code_points(name, [](uint32_t c) { return upper_cp(c, false); }),
        map_code_points(name, [](uint32_t c) { return upper_cp(c, true); }),
    };
    const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    for (const std::string& s : spellings) {
        if (p.folded.empty()) add_form(p, s);  // not UTF-8: only byte compares can find it
        if (!ascii) {
            for (const uint32_t cp : {1252u, 1254u, 437u, 850u, 857u}) {
                const std::string encoded = platform::utf8_to_oem(s, cp);
                // A character the code page lacks became "?": that form never appears.
                if (std::count(encoded.begin(), encoded.end(), '?') == std::count(s.begin(), s.end(), '?'))
                    add_form(p, encoded);
            }
        }
        const std::string uri = percent_encoded(s);
        if (uri != s) add_form(p, uri);
    }
    return p;
}

Pattern literal_pattern(std::string_view text, const char* replacement) {
    Pattern p;
    p.replacement = replacement;
    add_form(p, std::string(text));
    // The forms a log line gives a peer's text: scrubbed, and cut when long.
    add_form(p, scrub_text(text));
    if (text.size() > kPeerTextMax) add_form(p, scrub_text(text.substr(0, utf8_prefix_length(text, kPeerTextMax))));
    return p;
}

// The length of the longest form of p at t[i], 0 when none starts there.
size_t match_at(std::string_view t, size_t i, const Pattern& p) {
    size_t best = 0;
    if (!p.folded.empty()) {
        size_t j = i;
        size_t k = 0;
        while (k < p.folded.size() && j < t.size()) {
            uint32_t cp = 0;
            const size_t n = utf8_sequence_length(t.substr(j), &cp);
            if (n == 0 || fold_cp(cp) != p.folded[k]) break;
            j += n;
            ++k;
        }
        if (k == p.folded.size()) best = j - i;
    }
    for (const std::string& form : p.bytes) {
        if (form.size() > best && iequal_ascii_at(t, i, form) && unit_boundary(t, i, i + form.size()))
            best = form.size();
    }
    return best;
}

// The bytes any form of the patterns can start with.
std::array<bool, 256> first_bytes(const std::vector<Pattern>& patterns) {
    std::array<bool, 256> can{};
    const auto mark = [&](unsigned char b) {
        can[b] = true;
        can[static_cast<unsigned char>(ascii_lower(static_cast<char>(b)))] = true;
        if (b >= 'a' && b <= 'z') can[b - 32] = true;
    };
    for (const Pattern& p : patterns) {
        for (const auto& form : p.bytes) mark(static_cast<unsigned char>(form[0]));
        if (p.folded.empty()) continue;
        // Every code point that folds to the first one (the folds stay below U+0500).
        for (uint32_t cp = 0; cp < 0x500; ++cp) {
            if (fold_cp(cp) != p.folded[0] && cp != p.folded[0]) continue;
            std::string utf8;
            append_utf8(utf8, cp);
            mark(static_cast<unsigned char>(utf8[0]));
        }
        if (p.folded[0] >= 0x500) {
            std::string utf8;
            append_utf8(utf8, p.folded[0]);
            mark(static_cast<unsigned char>(utf8[0]));
        }
    }
    return can;
}

std::string replace_patterns(std::string_view t, const std::vector<Pattern>& patterns) {
    if (patterns.empty()) return std::string(t);
    const std::array<bool, 256> can_start = first_bytes(patterns);
    std::string out;
    out.reserve(t.size());
    size_t i = 0;
    while (i < t.size()) {
        if (can_start[static_cast<unsigned char>(t[i])]) {
            size_t best = 0;
            const Pattern* hit = nullptr;
            for (const Pattern& p : patterns) {
                const size_t len = match_at(t, i, p);
                if (len > best) {
                    best = len;
                    hit = &p;
                }
            }
            if (hit != nullptr) {
                out += hit->replacement;
                i += best;
                continue;
            }
        }
        const size_t n = unit_length(t, i);
        out.append(t.substr(i, n));
        i += n;
    }
    return out;
}

}  // namespace

std::string mask_addresses(std::string_view text) {
    // A replacement can free a pattern its neighbour shielded ("1.2.3.4." before
    // a token): again until nothing changes.
    std::string out(text);
    for (int round = 0; round < 9; ++round) {
        std::string again = mask_ids(mask_ipv6(mask_ipv4(out)));
        if (again == out) break;
        out = std::move(again);
    }
    return out;
}

std::string mask_report_text(std::string_view text, const MaskIdentities& who) {
    std::vector<Pattern> clients;
    for (const auto& id : who.client_ids)
        if (id.size() > 2) clients.push_back(literal_pattern(id, kMaskedClient));
    std::vector<Pattern> names;
    for (const auto& computer : who.computers)
        if (characters(computer) > 2) names.push_back(name_pattern(computer, kMaskedComputer));
    for (const auto& user : who.users)
        if (characters(user) > 2) names.push_back(name_pattern(user, kMaskedUser));
    for (const auto& device : who.device_names)
        if (characters(device) > 3) names.push_back(name_pattern(device, kMaskedDevice));

    std::string out = mask_addresses(replace_patterns(text, clients));
    std::string named = replace_patterns(out, names);
    if (named == out) return out;
    return mask_addresses(named);
}

std::string mask_report_text(std::string_view text, std::string_view computer, std::string_view user) {
    MaskIdentities who;
    who.computers.emplace_back(computer);
    who.users.emplace_back(user);
    return mask_report_text(text, who);
}

}  // namespace sorvane::hostreport
