#include "host/app/command_line.h"

#include <cstdio>
#include <limits>

#include "common/text.h"

namespace sorvane {

const char kUsageText[] =
    "usage: sorvane-host [--bind IP] [--control-port N] [--video-port N] [--input-port N] [--grace-seconds N]\n"
    "            [--allow-ip IP] [--run-seconds N] [--console] [--pair]\n"
    "       sorvane-host --set-autostart on|off\n"
    "       sorvane-host --quit | --purge-user-data | --report\n";

namespace {

// Ports keep the low 16 bits of the (saturated) number, as the options have always done.
uint16_t port_value(std::string_view text) { return static_cast<uint16_t>(static_cast<uint64_t>(parse_int_prefix(text))); }

// Second counts are clamped into 0 .. 2^32-1: a negative count is 0.
uint32_t seconds_value(std::string_view text) {
    const int64_t v = parse_int_prefix(text);
    if (v < 0) return 0;
    if (v > static_cast<int64_t>(std::numeric_limits<uint32_t>::max())) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(v);
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

bool parse_allow_ip(std::string_view text, uint32_t& out) {
    uint32_t value = 0;
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
        // Each number may be preceded by blanks and a plus sign, like %u reads it.
        while (i < text.size() && is_blank(text[i])) ++i;
        if (i < text.size() && text[i] == '+') ++i;
        uint32_t n = 0;
        size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            if (n <= 255) n = n * 10 + static_cast<uint32_t>(text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || n > 255) return false;
        value = value << 8 | n;
    }
    if (i != text.size()) return false;
    out = value;
    return true;
}

ParseOutcome parse_options(const std::vector<std::string>& args, HostOptions& options, RunSettings& run) {
    ParseOutcome outcome;
    auto fail = [&](std::string message) {
        outcome.ok = false;
        outcome.message = std::move(message);
        return outcome;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool takes_value = a == "--bind" || a == "--control-port" || a == "--video-port" ||
                                 a == "--input-port" || a == "--grace-seconds" || a == "--run-seconds" ||
                                 a == "--allow-ip" || a == "--encoder" || a == "--mf-adapter";
        if (takes_value) {
            if (i + 1 >= args.size()) return fail("missing value for " + a + "\n");
            const std::string& v = args[++i];
            if (a == "--bind") {
                options.bind_address = v;
                run.bind_given = true;
            } else if (a == "--control-port") {
                options.control_port = port_value(v);
            } else if (a == "--video-port") {
                options.video_port = port_value(v);
            } else if (a == "--input-port") {
                options.input_port = port_value(v);
            } else if (a == "--grace-seconds") {
                run.grace_seconds = seconds_value(v);
            } else if (a == "--run-seconds") {
                run.run_seconds = seconds_value(v);
            } else if (a == "--allow-ip") {
                if (!parse_allow_ip(v, options.allowed_ip)) return fail("bad --allow-ip\n");
            } else if (a == "--encoder") {
                if (!parse_encoder_kind(v, options.encoder.kind)) return fail("--encoder: auto|nvenc|mf-hw|mf-sw\n");
            } else {
                options.encoder.mf_adapter = v;
            }
        } else if (a == "--pair") {
            run.pair_at_start = true;
        } else if (a == "--console") {
            run.console = true;
        } else if (a == "--gpu-pref-restarted") {
            outcome.gpu_pref_restarted = true;
        } else if (a == "--no-gpu-pref") {
            outcome.no_gpu_pref = true;
        } else {
            return fail("unknown argument " + a + "\n");
        }
    }
    return outcome;
}

}  // namespace sorvane
