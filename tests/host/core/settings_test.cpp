#include "host/core/settings.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "host/core/language.h"
#include "host/core/log.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

using test::read_all;
using test::TempDir;
using test::write_all;

// Points SORVANE_SETTINGS_PATH at a file of a fresh folder for one test.
class SettingsFile {
public:
    explicit SettingsFile(const std::string& relative = "settings.txt") : path_(dir_.file(relative)) {
        setenv(kSettingsPathVariable, path_.c_str(), 1);
    }
    ~SettingsFile() { unsetenv(kSettingsPathVariable); }
    const std::string& path() const { return path_; }

private:
    TempDir dir_;
    std::string path_;
};

TEST(Settings, ParseRulesAndRoundTrip) {
    // CR endings, last duplicate wins, no trimming, lines without "=" or key skipped.
    SettingsMap m = parse_settings("lang=tr\r\ntheme=light\ntheme=dark\n=x\nnoequals\n a = b \nk==v\nlast=1");
    EXPECT_EQ(m, (SettingsMap{{"lang", "tr"}, {"theme", "dark"}, {" a ", " b "}, {"k", "=v"}, {"last", "1"}}));
    EXPECT_EQ(serialize_settings(m), " a = b \nk==v\nlang=tr\nlast=1\ntheme=dark\n");
    EXPECT_EQ(parse_settings(serialize_settings(m)), m);
    // A text cut at the read limit loses its incomplete last line.
    EXPECT_EQ(parse_settings("a=1\nlong=abc", true), (SettingsMap{{"a", "1"}}));
    EXPECT_TRUE(parse_settings("long=abc", true).empty());
    // A CR left in a value would be lost once written back: it reads as "?".
    EXPECT_EQ(parse_settings("k=v\r\r\nm=a\rb\n"), (SettingsMap{{"k", "v?"}, {"m", "a?b"}}));
}

TEST(Settings, GetSetOnTheFile) {
    SettingsFile f("missing/folder/settings.txt");
    EXPECT_FALSE(settings_get("lang"));
    ASSERT_TRUE(settings_set("lang", std::string("tr")));  // creates the folder
    ASSERT_TRUE(settings_set("color_vibrance", std::string("high")));
    ASSERT_TRUE(settings_set("update_check", std::string("")));
    EXPECT_EQ(read_all(f.path()), "color_vibrance=high\nlang=tr\nupdate_check=\n");
    EXPECT_EQ(settings_get("lang"), "tr");
    EXPECT_FALSE(settings_get("update_check"));  // an empty value reads as absent
    ASSERT_TRUE(settings_set("lang", std::nullopt));
    EXPECT_FALSE(settings_get("lang"));
    // A line break in a value cannot plant another key; bad keys are refused.
    ASSERT_TRUE(settings_set("last_device_removed", std::string("x\nlang=tr\r")));
    EXPECT_EQ(settings_get("last_device_removed"), "x?lang=tr?");
    EXPECT_FALSE(settings_get("lang"));
    EXPECT_FALSE(settings_set("a=b", std::string("1")));
    EXPECT_FALSE(settings_set("", std::string("1")));

    write_all(f.path(), "lang=tr\r\n");
    EXPECT_EQ(settings_get("lang"), "tr");
}

TEST(Settings, OnlyTheFirst4095BytesAreRead) {
    SettingsFile f;
    // "a=" + value + "\n" is 4,090 bytes; the next line straddles the limit.
    std::string text = "a=" + std::string(4087, 'v') + "\n" + "straddle=123456789\n" + "late=1\n";
    write_all(f.path(), text);
    EXPECT_EQ(settings_get("a")->size(), 4087u);
    EXPECT_FALSE(settings_get("straddle"));  // not read as "straddle=12"
    EXPECT_FALSE(settings_get("late"));
    ASSERT_TRUE(settings_set("b", std::string("2")));
    EXPECT_EQ(read_all(f.path()), "a=" + std::string(4087, 'v') + "\nb=2\n");
}

TEST(Settings, ConcurrentWritersLoseNothing) {
    SettingsFile f;
    constexpr int kEach = 40;
    // Two threads of this process.
    auto writer = [](char prefix) {
        for (int i = 0; i < kEach; ++i) settings_set(std::string(1, prefix) + std::to_string(i), std::string("v"));
    };
    std::thread t1(writer, 'a'), t2(writer, 'b');
    t1.join();
    t2.join();
    // Two processes.
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            for (int i = 0; i < kEach; ++i) settings_set(std::string(1, 'p' + c) + std::to_string(i), std::string("v"));
            _exit(0);
        }
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    SettingsMap m = parse_settings(read_all(f.path()));
    EXPECT_EQ(m.size(), 4u * kEach);
}

class FakeLanguage final : public platform::ISystemLanguage {
public:
    uint16_t ui = 0x0409;
    std::string geo = "US", locale = "en-US", tz = "Pacific Standard Time";
    bool tz_known = true;
    uint16_t user_default_ui_language() override { return ui; }
    bool user_default_geo_name(std::string& out) override { out = geo; return !geo.empty(); }
    bool user_default_locale_name(std::string& out) override { out = locale; return !locale.empty(); }
    bool time_zone_key_name(std::string& out) override { out = tz; return tz_known; }
};

TEST(Language, DecisionTable) {
    struct Case {
        std::optional<std::string> pref;
        uint16_t ui;
        const char* geo;
        const char* locale;
        const char* tz;
        bool turkish;
        const char* line;
    } cases[] = {
        {"tr", 0x0409, "US", "en-US", "x", true, "[lang] karar: kullanici tercihi (tr)"},
        {"en", 0x041F, "TR", "tr-TR", "Turkey Standard Time", false, "[lang] karar: kullanici tercihi (en)"},
        {std::nullopt, 0x041F, "US", "en-US", "x", true, "[lang] karar: Windows arayuz dili (tr)"},
        {std::nullopt, 0x0409, "tr", "en-US", "x", true, "[lang] karar: ulke/bolge (GetUserDefaultGeoName=TR)"},
        {std::nullopt, 0x0409, "US", "tr-TR", "x", true, "[lang] karar: bolge bicimi (locale=tr-TR)"},
        {std::nullopt, 0x0409, "US", "tr", "x", true, "[lang] karar: bolge bicimi (locale=tr)"},
        {std::nullopt, 0x0409, "US", "trk-X", "x", false, "[lang] karar: varsayilan (en)"},
        {std::nullopt, 0x0409, "US", "en-US", "Turkey Standard Time", true,
         "[lang] karar: saat dilimi (Turkey Standard Time)"},
        {std::nullopt, 0x0409, "US", "en-US", "", false, "[lang] karar: varsayilan (en)"},
    };
    for (const Case& c : cases) {
        FakeLanguage sys;
        sys.ui = c.ui;
        sys.geo = c.geo;
        sys.locale = c.locale;
        sys.tz = c.tz;
        sys.tz_known = *c.tz != '\0';
        LanguageDecision d = decide_language(c.pref, sys);
        EXPECT_EQ(d.turkish, c.turkish) << c.line;
        EXPECT_EQ(d.log_line, c.line);
    }
}

TEST(Language, DecidedOncePerPreferenceChange) {
    SettingsFile f;
    std::string captured;
    process_log().set_echo_sink([&](std::string_view s) { captured.append(s); });
    process_log().open(true, "");
    auto sys = std::make_unique<FakeLanguage>();
    sys->geo = "TR";
    set_system_language_source(std::move(sys));
    auto decisions = [&] {
        size_t n = 0;
        for (size_t p = captured.find("[lang] karar"); p != std::string::npos; p = captured.find("[lang] karar", p + 1)) ++n;
        return n;
    };
    EXPECT_STREQ(ui_text(UiText::add_device), "Cihaz ekle");
    EXPECT_EQ(ui_text_devices_connected(2), "2 cihaz bağlı");
    EXPECT_EQ(decisions(), 1u);
    set_language_preference(std::string("en"));
    EXPECT_NE(captured.find("[lang] kullanici tercihi degisti: en"), std::string::npos);
    EXPECT_EQ(ui_text_connected("Tab"), "Tab connected");
    EXPECT_STREQ(ui_text(UiText::exit), "Exit");
    EXPECT_EQ(decisions(), 2u);
    EXPECT_EQ(language_preference(), "en");
    settings_set("theme", std::string("Dark"));
    EXPECT_FALSE(theme_preference());
    set_language_preference(std::nullopt);
    set_system_language_source(nullptr);
    process_log().set_echo_sink(nullptr);
}

}  // namespace
}  // namespace sorvane
