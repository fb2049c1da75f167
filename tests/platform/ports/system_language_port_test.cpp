// What the system says about language and region comes back as clean text
// (no terminating zero or padding carried over) in the forms callers match.
#include "platform/system_language.h"

#include <gtest/gtest.h>

#include <cctype>

namespace sorvane::platform {
namespace {

bool printable(const std::string& s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return !s.empty();
}

TEST(SystemLanguage, AnswersAreCleanText) {
    auto lang = make_system_language();
    ASSERT_TRUE(lang);
    std::string text;
    if (lang->user_default_locale_name(text)) {
        EXPECT_TRUE(printable(text)) << text;
        // "tr-TR", "en", "zh-Hans-CN": a lower-case language first.
        const size_t dash = text.find('-');
        const std::string language = text.substr(0, dash);
        EXPECT_GE(language.size(), 2u) << text;
        for (char c : language) {
            EXPECT_TRUE(std::islower(static_cast<unsigned char>(c))) << text;
        }
    }
    if (lang->user_default_geo_name(text)) {
        EXPECT_TRUE(printable(text)) << text;
        EXPECT_LE(text.size(), 3u) << text;
    }
    if (lang->time_zone_key_name(text)) {
        EXPECT_TRUE(printable(text)) << text;
    }
    const uint16_t id = lang->user_default_ui_language();
    if (id != 0) {
        EXPECT_NE(id & 0x3FF, 0) << id;  // a primary language is named
    }
}

}  // namespace
}  // namespace sorvane::platform
