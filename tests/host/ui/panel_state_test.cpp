#include "host/ui/panel_state.h"

#include <gtest/gtest.h>

#include "host/ui/panel_command.h"

namespace sorvane {
namespace {

PanelSettings settings_of(std::string host = "SIMPC") {
    PanelSettings s;
    s.host_name = std::move(host);
    s.version = "0.1.14";
    return s;
}

TEST(PanelState, GoldenMessages) {
    struct Case {
        const char* name;
        PanelState state;
        const char* json;
    };
    PanelState idle;
    idle.settings = settings_of();

    PanelState viewers;
    viewers.settings = settings_of();
    viewers.connected = PanelConnected{"tab-1", "Tab \"A\"\nB\rC", 2560, 1600, 60, true};
    viewers.paired = {{"tab-1", "Tab \"A\"\nB\rC", true, "2025-12-06T10:00:00Z", "tablet"},
                      {"ph-2", "ph-2", false, "", ""}};
    viewers.encoder = PanelEncoder{"mf-sw", "H264 Encoder MFT", "Basic Render"};
    viewers.report = {"error", 0, "Masaustu klasoru bulunamadi"};

    PanelState pairing;
    pairing.settings = settings_of();
    pairing.settings.lang_override = "tr";
    pairing.settings.theme_override = "dark";
    pairing.settings.autostart = true;
    pairing.settings.update_check = false;
    pairing.settings.vibrance = "medium";
    pairing.settings.ip = "192.168.1.20";
    pairing.turkish = true;
    pairing.dark = true;
    pairing.view = PanelView::pairqr;
    pairing.pairing = PanelPairing{"sorvane://pair?host=h&token=t", 33, "M4,4h1v1h-1z", 117, 120, true, "1A2B-3C4D"};
    pairing.net = PanelNetWarning{false, ""};
    pairing.update = "0.2.0";
    pairing.data = PanelDataEvents{true, false, true};
    pairing.driver_problem = "driver adapter is not ready (adapter=0)";
    pairing.report = {"done", 7, ""};

    const Case cases[] = {
        {"nothing connected, no pairing", idle,
         R"({"type":"state","connected":null,"paired":[],"pairing":null,"lang":"en",)"
         R"("settings":{"lang_override":"auto","theme_override":"auto","autostart":false,"update_check":true,)"
         R"("vibrance":"off","host_name":"SIMPC","ip":"","version":"0.1.14"},)"
         R"("report":{"state":"idle","files":0,"error":""},"view":"tray","theme":"light"})"},
        {"a viewer whose name has a quote, a line feed and a carriage return", viewers,
         R"({"type":"state","connected":{"client_id":"tab-1","name":"Tab \"A\"\nBC","width":2560,"height":1600,)"
         R"("fps":60,"usb":true},"paired":[{"client_id":"tab-1","name":"Tab \"A\"\nBC","connected":true,)"
         R"("last_seen_at":"2025-12-06T10:00:00Z","kind":"tablet"},{"client_id":"ph-2","name":"ph-2",)"
         R"("connected":false,"last_seen_at":"","kind":""}],"pairing":null,"lang":"en",)"
         R"("settings":{"lang_override":"auto","theme_override":"auto","autostart":false,"update_check":true,)"
         R"("vibrance":"off","host_name":"SIMPC","ip":"","version":"0.1.14"},)"
         R"("encoder":{"kind":"mf-sw","name":"H264 Encoder MFT","adapter":"Basic Render"},)"
         R"("report":{"state":"error","files":0,"error":"Masaustu klasoru bulunamadi"},"view":"tray","theme":"light"})"},
        {"pairing shown, update known, network warning, every optional member", pairing,
         R"({"type":"state","connected":null,"paired":[],"pairing":{"uri":"sorvane://pair?host=h&token=t",)"
         R"("qr_size":33,"qr_path":"M4,4h1v1h-1z","remaining_s":117,"total_s":120,"big":true,)"
         R"("verify_code":"1A2B-3C4D"},"lang":"tr","settings":{"lang_override":"tr","theme_override":"dark",)"
         R"("autostart":true,"update_check":false,"vibrance":"medium","host_name":"SIMPC","ip":"192.168.1.20",)"
         R"("version":"0.1.14"},"net":{"warn":true,"wifi":false},"update":{"version":"0.2.0"},)"
         R"("data":{"pairings_unreadable":true,"tls_renewed":false,"pairings_unsaved":true},)"
         R"x("driver":{"ok":false,"detail":"driver adapter is not ready (adapter=0)"},)x"
         R"("report":{"state":"done","files":7,"error":""},"view":"pairqr","theme":"dark"})"},
    };
    for (const Case& c : cases) EXPECT_EQ(panel_state_json(c.state), c.json) << c.name;
}

TEST(PanelState, TextValuesAreValidJsonStrings) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"a\\b\"c", "a\\\\b\\\"c"},
        {std::string("t\tz\x01\x1f\x7f\0", 7), "t\\u0009z\\u0001\\u001f\x7f\\u0000"},
        {"Çıkış bağlı", "Çıkış bağlı"},
        {"\xF0\x9F\x93\xB1 tel", "\xF0\x9F\x93\xB1 tel"},
        // A peer's broken UTF-8: stray bytes, a cut sequence, an overlong
        // form and a surrogate each become U+FFFD.
        {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},
        {"cut\xC3", "cut\xEF\xBF\xBD"},
        {"\xC0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xED\xA0\x80!", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD!"},
    };
    for (const auto& c : cases) EXPECT_EQ(panel_json_text(c.in), c.out) << c.in;
}

TEST(PanelCommand, MembersAreFoundByName) {
    const struct {
        const char* message;
        PanelCommand expected;
    } cases[] = {
        {R"({"cmd":"set_lang","lang":"tr"})", {"set_lang", "", "tr", "", ""}},
        {R"({ "cmd" : "remove_device", "client_id" : "telefon-ş-1" })", {"remove_device", "telefon-ş-1", "", "", ""}},
        {R"({"level":"high","cmd":"set_vibrance"})", {"set_vibrance", "", "", "", "high"}},
        {R"({"cmd":"set_theme"})", {"set_theme", "", "", "", ""}},
        // An escaped quote ends the value where it stands.
        {R"({"cmd":"rea\"dy"})", {"rea\\", "", "", "", ""}},
        {R"({"cmd":)", {"", "", "", "", ""}},
        {"not json", {"", "", "", "", ""}},
    };
    for (const auto& c : cases) {
        const PanelCommand got = parse_panel_command(c.message);
        EXPECT_EQ(got.cmd, c.expected.cmd) << c.message;
        EXPECT_EQ(got.client_id, c.expected.client_id) << c.message;
        EXPECT_EQ(got.lang, c.expected.lang) << c.message;
        EXPECT_EQ(got.theme, c.expected.theme) << c.message;
        EXPECT_EQ(got.level, c.expected.level) << c.message;
    }
}

}  // namespace
}  // namespace sorvane
