#include "host/trust/pairing_qr.h"

#include "platform/files.h"
#include "platform/qr.h"

namespace sorvane {

namespace {

void append_int(std::string& out, long long v) { out += std::to_string(v); }

}  // namespace

QrPathResult qr_path(std::string_view text, int border) {
    QrPathResult r;
    platform::QrSymbol sym;
    if (!platform::qr_encode_text(text, sym)) return r;
    r.total_size = sym.size + 2 * border;
    r.path.reserve(static_cast<size_t>(sym.size) * static_cast<size_t>(sym.size) * 8);
    for (int y = 0; y < sym.size; ++y) {
        for (int x = 0; x < sym.size; ++x) {
            if (!sym.dark(x, y)) continue;
            r.path += 'M';
            append_int(r.path, x + border);
            r.path += ',';
            append_int(r.path, y + border);
            r.path += "h1v1h-1z";
        }
    }
    r.ok = true;
    return r;
}

std::string qr_svg_text(std::string_view text, int scale, int border) {
    platform::QrSymbol sym;
    if (!platform::qr_encode_text(text, sym)) return {};
    const long long s = scale;
    const long long d = s * (sym.size + 2LL * border);
    const std::string ds = std::to_string(d);
    const std::string ss = std::to_string(s);
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + ds + " " + ds + "\" width=\"" + ds +
           "\" height=\"" + ds + "\">\n";
    out += "  <rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    out += "  <path fill=\"#000000\" d=\"";
    for (int y = 0; y < sym.size; ++y) {
        for (int x = 0; x < sym.size; ++x) {
            if (!sym.dark(x, y)) continue;
            out += 'M';
            append_int(out, s * (x + border));
            out += ',';
            append_int(out, s * (y + border));
            out += 'h' + ss + 'v' + ss + "h-" + ss + 'z';
        }
    }
    out += "\"/>\n</svg>\n";
    return out;
}

std::string qr_terminal_text(std::string_view text, int border) {
    platform::QrSymbol sym;
    if (!platform::qr_encode_text(text, sym)) return {};
    const int total = sym.size + 2 * border;
    auto light = [&](int x, int y) {
        x -= border;
        y -= border;
        if (x < 0 || y < 0 || x >= sym.size || y >= sym.size) return true;
        return !sym.dark(x, y);
    };
    std::string out;
    for (int y = 0; y < total; y += 2) {
        for (int x = 0; x < total; ++x) {
            const bool top = light(x, y);
            const bool bottom = y + 1 < total ? light(x, y + 1) : false;
            if (top && bottom) {
                out += "\xE2\x96\x88";  // full block
            } else if (top) {
                out += "\xE2\x96\x80";  // upper half
            } else if (bottom) {
                out += "\xE2\x96\x84";  // lower half
            } else {
                out += ' ';
            }
        }
        out += '\n';
    }
    return out;
}

bool qr_svg_file(std::string_view text, const std::string& path, int scale, int border) {
    const std::string svg = qr_svg_text(text, scale, border);
    if (svg.empty()) return false;
    return platform::write_file_atomic(path, svg).ok();
}

}  // namespace sorvane
