// The driver's replies as the host reads them, on any message: a reply that
// parses is made of printable tokens, says the same when rebuilt from what
// was kept, and its description is one printable line; every value and the
// message itself go through the monitor summary reader too.
#include <string>

#include "host/monitors/driver_control_client.h"
#include "tests/fuzz/fuzz_input.h"

using namespace sorvane;

namespace {

bool printable(const std::string& s) {
    for (char c : s)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

bool same(const ControlReply& a, const ControlReply& b) {
    return a.ok == b.ok && a.version == b.version && a.seq == b.seq && a.code == b.code && a.name == b.name &&
           a.pairs == b.pairs;
}

void summary(std::string_view text) {
    DriverMonitorState m;
    if (!parse_monitor_summary(text, m)) return;
    fuzz::check(driver_luid_text(m.os_luid).size() == 17, "LUID text of another length");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    summary(text);

    ControlReply reply;
    if (!parse_control_reply(text, reply)) return 0;
    std::string rebuilt = "SVC/" + std::to_string(reply.version) + " " + std::to_string(reply.seq);
    rebuilt += reply.ok ? " OK" : " ERR " + std::to_string(reply.code) + " " + reply.name;
    for (const auto& [key, value] : reply.pairs) {
        fuzz::check(!key.empty() && key.find_first_of(" =") == std::string::npos, "key with a separator");
        fuzz::check(value.find(' ') == std::string::npos && printable(key + value), "value outside its token");
        rebuilt += " " + key + "=" + value;
        summary(value);
    }
    ControlReply again;
    fuzz::check(parse_control_reply(rebuilt, again) && same(reply, again), "reply reads back differently");
    fuzz::check(printable(DriverControlClient::describe(reply)), "description not one printable line");
    return 0;
}
