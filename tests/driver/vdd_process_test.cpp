// The sorvane-vdd program's diagnostic commands, run as a child process, with
// edid-decode as an independent reader of the EDIDs it writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "driver/core/edid.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace sorvane::vdd {
namespace {

using sorvane::test::bin_path;
using sorvane::test::run;

constexpr char kEdidDecode[] = "/usr/bin/edid-decode";

std::string decode(const std::string& edid) {
    sorvane::test::TempDir dir;
    const std::string path = dir.file("edid.bin");
    sorvane::test::write_all(path, edid);
    const auto r = run(kEdidDecode, {path});
    // edid-decode exits non-zero for conformity remarks; what matters here is
    // that it read the structure and found the checksums right.
    EXPECT_TRUE(r.out.find("Block 0, Base EDID:") != std::string::npos) << r.out << r.err;
    EXPECT_EQ(r.out.find("should be"), std::string::npos) << r.out;
    return r.out;
}

void expect_contains(const std::string& text, const std::string& what) {
    EXPECT_NE(text.find(what), std::string::npos) << "missing \"" << what << "\" in\n" << text;
}

TEST(VddEdidCommand, WritesTheMonitorsEdid) {
    const auto r = run(bin_path("sorvane-vdd"), {"edid", "1920x1080@60", "--serial", "12345678"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::string detail;
    const auto expected = build_edid({"SVN", 1, 0x12345678, "Sorvane", 1920, 1080, 60, 0, 0}, detail);
    EXPECT_EQ(r.out, std::string(expected.begin(), expected.end()));
    EXPECT_EQ(r.out.size(), 256u);
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST(VddEdidCommand, EdidDecodeReadsWhatItWrites) {
    if (!std::filesystem::exists(kEdidDecode)) GTEST_SKIP() << "edid-decode is not installed";
    auto r = run(bin_path("sorvane-vdd"), {"edid", "1920x1080@60", "--serial", "0x12345678"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::string out = decode(r.out);
    expect_contains(out, "Manufacturer: SVN");
    expect_contains(out, "Model: 1");
    expect_contains(out, "Serial Number: 305419896");
    expect_contains(out, "EDID Structure Version & Revision: 1.3");
    expect_contains(out, "Maximum image size: 44 cm x 25 cm");
    expect_contains(out, "DTD 1:  1920x1080");
    expect_contains(out, "138.500000 MHz (443 mm x 249 mm)");
    expect_contains(out, "Hfront   48 Hsync  32 Hback   80 Hpol P");
    expect_contains(out, "Vfront    3 Vsync   5 Vback   23 Vpol N");
    expect_contains(out, "10-60 Hz V, 15-68 kHz H, max dotclock 140 MHz");
    expect_contains(out, "Display Product Serial Number: 'SV12345678'");
    expect_contains(out, "Display Product Name: 'Sorvane'");
    expect_contains(out, "Extension blocks: 1");
    expect_contains(out, "Block 1, CTA-861 Extension Block:");
    expect_contains(out, "Checksum: 0xbc");
    expect_contains(out, "Checksum: 0x8c");

    r = run(bin_path("sorvane-vdd"), {"edid", "3840x2160@60", "--mm", "600x340", "--serial", "DE0001"});
    ASSERT_EQ(r.code, 0) << r.err;
    out = decode(r.out);
    expect_contains(out, "DTD 1:  3840x2160");
    expect_contains(out, "533.250000 MHz (600 mm x 340 mm)");
    expect_contains(out, "Vsync   5 Vback   54");
    expect_contains(out, "Maximum image size: 60 cm x 34 cm");
    expect_contains(out, "Display Product Serial Number: 'SV00DE0001'");

    r = run(bin_path("sorvane-vdd"), {"edid", "2560x1600@120"});
    ASSERT_EQ(r.code, 0) << r.err;
    out = decode(r.out);
    expect_contains(out, "DTD 1:  2560x1600");
    expect_contains(out, "Vfront    3 Vsync   6");
    expect_contains(out, "Display Product Serial Number: 'SV00DE0000'");
}

TEST(VddEdidCommand, BadArgumentsGetUsage) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"bogus"},
        {"edid"},
        {"edid", "1920x1080"},
        {"edid", "1920x1080@60x"},
        {"edid", "1921x1080@60"},
        {"edid", "1920x1080@300"},
        {"edid", "3840x2160@120"},
        {"edid", "1920x1080@60", "--serial"},
        {"edid", "1920x1080@60", "--serial", "123456789"},
        {"edid", "1920x1080@60", "--serial", "xyz"},
        {"edid", "1920x1080@60", "--mm", "0x100"},
        {"edid", "1920x1080@60", "--mm", "300"},
        {"edid", "1920x1080@60", "--size", "300x200"},
    };
    for (const auto& args : bad) {
        const auto r = run(bin_path("sorvane-vdd"), args);
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_EQ(r.code, 2) << joined;
        EXPECT_TRUE(r.out.empty()) << joined;
        expect_contains(r.err, "usage: sorvane-vdd edid <width>x<height>@<hz>");
    }
    const auto help = run(bin_path("sorvane-vdd"), {"--help"});
    EXPECT_EQ(help.code, 0);
    expect_contains(help.out, "usage: sorvane-vdd edid");
}

}  // namespace
}  // namespace sorvane::vdd
