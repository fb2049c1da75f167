// QR symbols: the build's encoder against symbols made by the QR library
// (kept as hashes of their modules), and on Linux the built-in encoder of the
// Windows build against the library, text for text.
#include "platform/qr.h"

#include <gtest/gtest.h>

#include <string>

namespace sorvane::platform {
namespace {

uint64_t fnv1a(const QrSymbol& s) {
    uint64_t h = 1469598103934665603ull;
    for (bool m : s.modules) h = (h ^ (m ? 1u : 0u)) * 1099511628211ull;
    return h;
}

std::string repeat(const std::string& unit, size_t n) {
    std::string s;
    while (s.size() < n) s += unit;
    return s.substr(0, n);
}

struct Golden {
    std::string text;
    int version;
    uint64_t hash;
};

// One symbol per mode, and two large enough to carry version information.
const Golden kGoldens[] = {
    {"", 1, 0x8609e59b99700de1ull},
    {"12345", 1, 0x3470e5f1ab42c2b3ull},
    {"HELLO WORLD", 1, 0x75ecdf3fc8c2d27bull},
    {"sorvane://pair?h=abc&p=47000", 3, 0xa4be0d8f203a7d7cull},
    {repeat("https://a.b/?x=1&y=z", 300), 13, 0x1689b1be02deeeffull},
    {repeat("0123456789", 3000), 29, 0x23aedd9245d92328ull},
};

TEST(Qr, SymbolsAreTheLibrarys) {
    for (const Golden& g : kGoldens) {
        QrSymbol s;
        ASSERT_TRUE(qr_encode_text(g.text, s)) << g.text;
        EXPECT_EQ(s.version, g.version) << g.text;
        EXPECT_EQ(fnv1a(s), g.hash) << g.text;
    }
}

#ifndef _WIN32
TEST(Qr, BuiltInEncoderMakesTheLibrarysSymbols) {
    std::vector<std::string> texts = {"", "0", "12345", "HELLO WORLD", "hello", "sorvane://pair?h=abc&p=47000",
                                      "\xC3\xA7\xC4\x9F\xC4\xB1"};
    // Every mode at the lengths where versions and count widths change.
    for (size_t n : {1u, 2u, 3u, 16u, 17u, 41u, 155u, 700u, 1800u, 2331u, 2332u, 4000u, 7089u, 7090u})
        for (const std::string& unit : {std::string("0123456789"), std::string("ABC $%*+-./:"),
                                        std::string("https://a.b/?x=1&y=z")})
            texts.push_back(repeat(unit, n));
    for (const std::string& t : texts) {
        QrSymbol lib, mine;
        const bool lib_ok = qr_encode_text(t, lib);
        ASSERT_EQ(qr_encode_text_builtin(t, mine), lib_ok) << t.size();
        if (!lib_ok) continue;
        EXPECT_EQ(mine.version, lib.version) << t.size();
        EXPECT_EQ(mine.modules, lib.modules) << t.size() << " " << t.substr(0, 20);
    }
}

#endif

}  // namespace
}  // namespace sorvane::platform
