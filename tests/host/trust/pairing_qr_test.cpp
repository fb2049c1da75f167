#include "host/trust/pairing_qr.h"

#include <gtest/gtest.h>

#include <regex>

#include "platform/qr.h"
#include "tests/support/process.h"
#include "tests/host/trust/svg_qr_reader.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

// A URI at the length limit: host id, port, fingerprint, token, addresses, name.
const std::string kUri213 = [] {
    std::string u = "sorvane://pair?host=0123abcd-0000-4000-8000-00000000000a&port=47000&fp=" +
                    std::string(64, 'f') + "&token=" + std::string(32, 'a') + "&ip=192.168.100.200,10.0.0.1&name=";
    while (u.size() < 213) u += "X";
    return u;
}();

// Reads "M<x>,<y>h<s>v<s>h-<s>z" groups back into a grid of size total.
std::vector<bool> grid_from_path(const std::string& path, int total, int scale) {
    std::vector<bool> grid(static_cast<size_t>(total * total), false);
    const std::regex group("M(\\d+),(\\d+)h(\\d+)v(\\d+)h-(\\d+)z");
    size_t consumed = 0;
    for (auto it = std::sregex_iterator(path.begin(), path.end(), group); it != std::sregex_iterator(); ++it) {
        EXPECT_EQ(static_cast<size_t>(it->position()), consumed) << "stray text in the path";
        consumed += static_cast<size_t>(it->length());
        const int x = std::stoi((*it)[1]);
        const int y = std::stoi((*it)[2]);
        EXPECT_EQ(std::stoi((*it)[3]), scale);
        EXPECT_EQ(x % scale, 0);
        EXPECT_EQ(y % scale, 0);
        grid[static_cast<size_t>((y / scale) * total + x / scale)] = true;
    }
    EXPECT_EQ(consumed, path.size());
    return grid;
}

TEST(PairingQr, PathMatchesTheSymbolAndFitsVersion10) {
    ASSERT_EQ(kUri213.size(), 213u);
    platform::QrSymbol sym;
    ASSERT_TRUE(platform::qr_encode_text(kUri213, sym));
    EXPECT_LE(sym.version, 10);

    const QrPathResult r = qr_path(kUri213, 4);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.total_size, sym.size + 8);
    // The top-left finder pattern starts at module 0,0.
    EXPECT_EQ(r.path.rfind("M4,4h1v1h-1z", 0), 0u);
    const auto grid = grid_from_path(r.path, r.total_size, 1);
    for (int y = 0; y < r.total_size; ++y) {
        for (int x = 0; x < r.total_size; ++x) {
            const bool inside = x >= 4 && y >= 4 && x < 4 + sym.size && y < 4 + sym.size;
            const bool expected = inside && sym.dark(x - 4, y - 4);
            ASSERT_EQ(grid[static_cast<size_t>(y * r.total_size + x)], expected) << x << "," << y;
        }
    }
    // Text that does not fit the largest symbol gives nothing.
    EXPECT_FALSE(qr_path(std::string(8000, 'x'), 4).ok);
}

TEST(PairingQr, SvgFileForm) {
    platform::QrSymbol sym;
    ASSERT_TRUE(platform::qr_encode_text(kUri213, sym));
    const std::string svg = qr_svg_text(kUri213, 8, 4);
    const int d = 8 * (sym.size + 8);
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
                             "viewBox=\"0 0 " + std::to_string(d) + " " + std::to_string(d) + "\" width=\"" +
                             std::to_string(d) + "\" height=\"" + std::to_string(d) +
                             "\">\n  <rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n  <path fill=\"#000000\" d=\"";
    ASSERT_EQ(svg.rfind(head, 0), 0u);
    const std::string tail = "\"/>\n</svg>\n";
    ASSERT_EQ(svg.substr(svg.size() - tail.size()), tail);
    EXPECT_EQ(svg.find('\r'), std::string::npos);
    const std::string path = svg.substr(head.size(), svg.size() - head.size() - tail.size());
    EXPECT_EQ(path.rfind("M32,32h8v8h-8z", 0), 0u);
    grid_from_path(path, sym.size + 8, 8);
    if (sym.size == 57) {
        EXPECT_NE(svg.find("viewBox=\"0 0 520 520\" width=\"520\" height=\"520\""), std::string::npos);
    }

    test::TempDir dir;
    EXPECT_TRUE(qr_svg_file(kUri213, dir.file("pairing.svg"), 8, 4));
    EXPECT_EQ(test::read_all(dir.file("pairing.svg")), svg);
    EXPECT_FALSE(qr_svg_file(kUri213, dir.file("no-such-folder/pairing.svg"), 8, 4));
}

TEST(PairingQr, AQrReaderDecodesTheSvg) {
    if (!test::have_zbarimg()) GTEST_SKIP() << "zbarimg is not installed";
    const std::string uri = "sorvane://pair?host=0123abcd-0000-4000-8000-00000000000a&port=47000&fp=" +
                            std::string(64, 'e') + "&token=" + std::string(32, '1') + "&ip=10.0.0.5&name=PC%20A";
    EXPECT_EQ(test::scan_svg_qr(qr_svg_text(uri, 4, 4)), uri);
    EXPECT_EQ(test::scan_svg_qr(qr_svg_text(kUri213, 8, 4)), kUri213);
}

}  // namespace
}  // namespace sorvane
