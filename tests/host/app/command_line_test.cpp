#include "host/app/command_line.h"

#include <gtest/gtest.h>

#include "host/app/entry.h"

namespace sorvane {
namespace {

struct Parsed {
    ParseOutcome outcome;
    HostOptions options;
    RunSettings run;
};

Parsed parse(std::vector<std::string> args) {
    Parsed p;
    p.outcome = parse_options(args, p.options, p.run);
    return p;
}

TEST(CommandLine, DefaultsMatchTheRecord) {
    const Parsed p = parse({});
    ASSERT_TRUE(p.outcome.ok);
    EXPECT_EQ(p.options.bind_address, "127.0.0.1");
    EXPECT_EQ(p.options.control_port, 47000);
    EXPECT_EQ(p.options.video_port, 47001);
    EXPECT_EQ(p.options.input_port, 47002);
    EXPECT_EQ(p.options.udp_send_buffer, 4'194'304u);
    EXPECT_EQ(p.options.allowed_ip, 0u);
    EXPECT_EQ(p.options.stream_fps, 60);
    EXPECT_EQ(p.options.bitrate, 20'000'000u);
    EXPECT_EQ(p.options.encoder.kind, EncoderKind::auto_select);
    EXPECT_EQ(p.options.max_sessions, 4u);
    EXPECT_EQ(p.options.max_devices, 1u);
    EXPECT_EQ(p.options.protocol_version, 0x0100);
    EXPECT_EQ(p.options.min_protocol_version, 0x0100);
    EXPECT_FALSE(p.options.monitor.by_target);
    EXPECT_EQ(p.options.monitor.device_id, "SVN0001");
    EXPECT_EQ(p.run.run_seconds, 0u);
    EXPECT_EQ(p.run.grace_seconds, 30u);
    EXPECT_FALSE(p.run.console);
    EXPECT_FALSE(p.run.pair_at_start);
    EXPECT_FALSE(p.run.bind_given);
    EXPECT_EQ(protocol_text(), "1.0 (0x0100)");
}

TEST(CommandLine, OptionsSetTheirFieldsAndLaterOnesWin) {
    const Parsed p = parse({"--bind", "0.0.0.0", "--control-port", "1", "--control-port", "5000", "--video-port",
                            "5001", "--input-port", "5002", "--grace-seconds", "7", "--run-seconds", "3",
                            "--allow-ip", "192.168.1.20", "--pair", "--console", "--encoder", "MF-Hardware",
                            "--mf-adapter", "Intel", "--no-gpu-pref", "--gpu-pref-restarted"});
    ASSERT_TRUE(p.outcome.ok) << p.outcome.message;
    EXPECT_EQ(p.options.bind_address, "0.0.0.0");
    EXPECT_TRUE(p.run.bind_given);
    EXPECT_EQ(p.options.control_port, 5000);
    EXPECT_EQ(p.options.video_port, 5001);
    EXPECT_EQ(p.options.input_port, 5002);
    EXPECT_EQ(p.run.grace_seconds, 7u);
    EXPECT_EQ(p.run.run_seconds, 3u);
    EXPECT_EQ(p.options.allowed_ip, 0xC0A80114u);
    EXPECT_TRUE(p.run.pair_at_start);
    EXPECT_TRUE(p.run.console);
    EXPECT_EQ(p.options.encoder.kind, EncoderKind::mf_hw);
    EXPECT_EQ(p.options.encoder.mf_adapter, "Intel");
    EXPECT_TRUE(p.outcome.no_gpu_pref);
    EXPECT_TRUE(p.outcome.gpu_pref_restarted);
}

TEST(CommandLine, NumbersReadLikeAtoiWithoutOverflow) {
    struct Case {
        const char* text;
        uint16_t port;
        uint32_t seconds;
    };
    const Case cases[] = {
        {"70000", 4464, 70000},          // ports keep the low 16 bits
        {"  42xyz", 42, 42},             // leading blanks, stops at the first other character
        {"abc", 0, 0},                   // not a number
        {"+8", 8, 8},
        {"-1", 65535, 0},                // a negative count of seconds is no count
        {"99999999999999999999999", 65535, 4294967295u},  // saturates instead of wrapping
        {"4294967296", 0, 4294967295u},
    };
    for (const Case& c : cases) {
        const Parsed p = parse({"--control-port", c.text, "--grace-seconds", c.text});
        ASSERT_TRUE(p.outcome.ok);
        EXPECT_EQ(p.options.control_port, c.port) << c.text;
        EXPECT_EQ(p.run.grace_seconds, c.seconds) << c.text;
    }
}

TEST(CommandLine, ErrorsGiveTheirOneLineMessage) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"--bogus"}, "unknown argument --bogus\n"},
        {{"--console", "extra"}, "unknown argument extra\n"},
        {{"--control-port"}, "missing value for --control-port\n"},
        {{"--console", "--bind"}, "missing value for --bind\n"},
        {{"--allow-ip", "10.0.0.256"}, "bad --allow-ip\n"},
        {{"--allow-ip", "10.0.0.1x"}, "bad --allow-ip\n"},
        {{"--allow-ip", "10.0.0"}, "bad --allow-ip\n"},
        {{"--allow-ip", "10.0.0.1."}, "bad --allow-ip\n"},
        {{"--allow-ip", "-1.0.0.1"}, "bad --allow-ip\n"},
        {{"--encoder", "x264"}, "--encoder: auto|nvenc|mf-hw|mf-sw\n"},
        // Without its word, --set-autostart is just an unknown option.
        {{"--set-autostart"}, "unknown argument --set-autostart\n"},
        // One-shot commands count only as the first argument.
        {{"--console", "--quit"}, "unknown argument --quit\n"},
    };
    for (const Case& c : cases) {
        const Parsed p = parse(c.args);
        EXPECT_FALSE(p.outcome.ok) << c.message;
        EXPECT_EQ(p.outcome.message, c.message);
    }
}

TEST(CommandLine, AllowIpAcceptsWhatScanfWould) {
    uint32_t ip = 0;
    EXPECT_TRUE(parse_allow_ip("255.255.255.255", ip));
    EXPECT_EQ(ip, 0xFFFFFFFFu);
    EXPECT_TRUE(parse_allow_ip("10.0.0.1", ip));
    EXPECT_EQ(ip, 0x0A000001u);
    EXPECT_TRUE(parse_allow_ip("10.+0.0.010", ip));
    EXPECT_EQ(ip, 0x0A00000Au);
    EXPECT_FALSE(parse_allow_ip("", ip));
    EXPECT_FALSE(parse_allow_ip("1..2.3", ip));
    EXPECT_FALSE(parse_allow_ip("1.2.3.4 ", ip));
    EXPECT_FALSE(parse_allow_ip("1.2.3.99999999999", ip));
    EXPECT_EQ(ipv4_text(0xC0A80114u), "192.168.1.20");
}

TEST(CommandLine, OneShotTableNamesEveryCommand) {
    std::vector<std::string> names;
    for (const auto& c : one_shot_commands()) names.push_back(c.name);
    EXPECT_EQ(names, (std::vector<std::string>{"--set-autostart", "--quit", "--purge-user-data", "--report",
                                               "--gpu-pref-check"}));
}

}  // namespace
}  // namespace sorvane
