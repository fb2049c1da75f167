// Reads a pairing SVG back the way a phone would: its path is drawn into a
// bitmap (independently of the code that wrote it) and scanned by zbarimg.
#pragma once

#include <regex>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace sorvane::test {

inline bool have_zbarimg() { return run("/bin/sh", {"-c", "command -v zbarimg"}).code == 0; }

// The text the QR code in svg holds; empty when it cannot be read.
inline std::string scan_svg_qr(const std::string& svg) {
    const std::regex size_re("width=\"(\\d+)\"");
    std::smatch m;
    if (!std::regex_search(svg, m, size_re)) return {};
    const int d = std::stoi(m[1]);
    const size_t p0 = svg.find(" d=\"");
    if (p0 == std::string::npos) return {};
    const std::string path = svg.substr(p0 + 4, svg.find('"', p0 + 4) - p0 - 4);
    std::vector<unsigned char> pixels(static_cast<size_t>(d) * static_cast<size_t>(d), 255);
    const std::regex group("M(\\d+),(\\d+)h(\\d+)v(\\d+)h-(\\d+)z");
    for (auto it = std::sregex_iterator(path.begin(), path.end(), group); it != std::sregex_iterator(); ++it) {
        const int x = std::stoi((*it)[1]);
        const int y = std::stoi((*it)[2]);
        const int w = std::stoi((*it)[3]);
        const int h = std::stoi((*it)[4]);
        for (int yy = y; yy < y + h && yy < d; ++yy) {
            for (int xx = x; xx < x + w && xx < d; ++xx) pixels[static_cast<size_t>(yy * d + xx)] = 0;
        }
    }
    TempDir dir;
    std::string pgm = "P5\n" + std::to_string(d) + " " + std::to_string(d) + "\n255\n";
    pgm.append(reinterpret_cast<const char*>(pixels.data()), pixels.size());
    write_all(dir.file("qr.pgm"), pgm);
    const RunResult r = run("/usr/bin/zbarimg", {"--quiet", "--raw", dir.file("qr.pgm")});
    if (r.code != 0 || r.out.empty()) return {};
    return r.out.substr(0, r.out.size() - 1);  // zbarimg ends the text with a line feed
}

}  // namespace sorvane::test
