#include "common/text.h"

#include <gtest/gtest.h>

namespace sorvane {
namespace {

TEST(Text, Utf8PrefixNeverSplitsACharacter) {
    const std::string s = "ab\xC3\xA9" "c\xE2\x82\xAC" "d\xF0\x9F\x98\x80";  // a b é c € d 😀
    EXPECT_EQ(utf8_prefix_length(s, 100), s.size());
    EXPECT_EQ(utf8_prefix_length(s, 3), 2u);   // inside é
    EXPECT_EQ(utf8_prefix_length(s, 4), 4u);
    EXPECT_EQ(utf8_prefix_length(s, 6), 5u);   // inside €
    EXPECT_EQ(utf8_prefix_length(s, 7), 5u);
    EXPECT_EQ(utf8_prefix_length(s, 8), 8u);
    EXPECT_EQ(utf8_prefix_length(s, 12), 9u);  // inside the emoji
    // Bytes that are not UTF-8 are cut where asked.
    EXPECT_EQ(utf8_prefix_length("\x80\x80\x80\x80\x80\x80", 3), 3u);
}

TEST(Text, ScrubReplacesControlBytesButKeepsTabAndUtf8) {
    EXPECT_EQ(scrub_control("a\nb\rc\td\x1b[2J\x7f\xC3\xA9"), "a?b?c\td?[2J\x7f\xC3\xA9");
}

TEST(Text, NumbersAndHex) {
    EXPECT_EQ(parse_int_prefix(" \t-12abc"), -12);
    EXPECT_EQ(parse_int_prefix("-99999999999999999999"), INT64_MIN);
    int64_t v = 0;
    EXPECT_TRUE(parse_int_exact("-99999", v));
    EXPECT_EQ(v, -99999);
    EXPECT_FALSE(parse_int_exact("1a", v));
    EXPECT_FALSE(parse_int_exact("", v));
    EXPECT_FALSE(parse_int_exact("-", v));
    EXPECT_FALSE(parse_int_exact(" 1", v));
    EXPECT_FALSE(parse_int_exact("99999999999999999999", v));
    const unsigned char bytes[] = {0x00, 0xAB, 0x7F};
    EXPECT_EQ(to_hex(bytes, 3), "00ab7f");
    unsigned char back[3] = {};
    EXPECT_TRUE(from_hex("00AB7f", back, 3));
    EXPECT_EQ(0, memcmp(back, bytes, 3));
    EXPECT_FALSE(from_hex("00ab7", back, 3));
    EXPECT_FALSE(from_hex("00ab7g", back, 3));
    uint32_t h = 0;
    EXPECT_TRUE(parse_hex_u32("fFfFfFfF", h));
    EXPECT_EQ(h, 0xFFFFFFFFu);
    EXPECT_FALSE(parse_hex_u32("100000000", h));  // nine digits
    EXPECT_FALSE(parse_hex_u32("", h));
    EXPECT_FALSE(parse_hex_u32("0x1", h));
    EXPECT_TRUE(iequals_ascii("MF-Hw", "mf-hW"));
    EXPECT_FALSE(iequals_ascii("\xC4\xB0", "i"));  // no locale folding
}

}  // namespace
}  // namespace sorvane
