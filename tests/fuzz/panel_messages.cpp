// The panel's messages on any bytes: a command's members never hold a quote
// (the page's values are plain words), and a state built from any peer text
// is one valid JSON object of valid UTF-8 whose texts read back as the peer
// sent them, with carriage returns dropped and broken UTF-8 replaced.
#include "common/text.h"
#include "host/ui/panel_command.h"
#include "host/ui/panel_state.h"
#include "platform/sim/json.h"
#include "tests/fuzz/fuzz_input.h"

using namespace sorvane;

namespace {

bool valid_utf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8_sequence_length(s.substr(i));
        if (n == 0) return false;
        i += n;
    }
    return true;
}

// What the page must read back for a peer's text.
std::string expected_text(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8_sequence_length(s.substr(i));
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (s[i] != '\r') out.append(s.substr(i, n));
        i += n;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const std::string_view a = in.bytes(in.u8());
    const std::string_view b = in.rest();

    const PanelCommand c = parse_panel_command(b);
    for (const std::string* v : {&c.cmd, &c.client_id, &c.lang, &c.theme, &c.level}) {
        fuzz::check(v->find('"') == std::string::npos, "a command member holds a quote");
    }

    PanelState s;
    s.connected = PanelConnected{std::string(a), std::string(b), 1, 2, 3, true};
    s.paired.push_back({std::string(b), std::string(a), true, std::string(a), "phone"});
    s.report.error = std::string(b);
    s.settings.host_name = std::string(a);
    s.net = PanelNetWarning{true, std::string(a)};
    const std::string json = panel_state_json(s);
    fuzz::check(valid_utf8(json), "the state is not UTF-8");
    sim::Json parsed;
    std::string error;
    fuzz::check(sim::Json::parse(json, parsed, error), "the state is not JSON");
    fuzz::check(parsed.get("connected").get("name").as_string() == expected_text(b), "a name read back differently");
    fuzz::check(parsed.get("connected").get("client_id").as_string() == expected_text(a), "an id read back differently");
    fuzz::check(parsed.get("paired").items().size() == 1 &&
                    parsed.get("paired").items()[0].get("name").as_string() == expected_text(a),
                "a paired device read back differently");
    fuzz::check(parsed.get("report").get("error").as_string() == expected_text(b), "an error read back differently");
    if (!a.empty()) {
        fuzz::check(parsed.get("net").get("blocked_at").as_string() == expected_text(a), "a time read back differently");
    }
    fuzz::check(parsed.get("view").as_string() == "tray", "the members after the texts were lost");
    return 0;
}
