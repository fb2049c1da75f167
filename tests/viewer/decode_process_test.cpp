// sorvane-viewer as a process: golden frames on standard input, JSON lines out.

#include <gtest/gtest.h>

#include "tests/host/protocol/wire_test_util.h"
#include "tests/support/process.h"

namespace sorvane::test {
namespace {

std::string bytes_text(const proto::Bytes& b) { return std::string(b.begin(), b.end()); }

RunResult decode(const std::vector<std::string>& options, const proto::Bytes& input) {
    std::vector<std::string> args{"decode"};
    args.insert(args.end(), options.begin(), options.end());
    const std::string in = bytes_text(input);
    return run(bin_path("sorvane-viewer"), args, {}, {}, &in);
}

TEST(ViewerDecodeProcess, ControlFramesBecomeJsonLines) {
    const proto::Bytes in = hex(
        // SessionOpen with a 4-byte key
        "00 00 00 1d 03 00 00 00 01 b7 99 b7 9a 00 04 48 32 36 34 07 80 04 38 3c 01 00 06 00 04 de ad be ef"
        // SessionOpenAck with ready = 2
        "00 00 00 06 04 00 00 00 01 02"
        // Heartbeat with 4 extra bytes
        "00 00 00 11 07 00 00 00 01 00 00 00 00 00 00 00 2a ff ff ff ff"
        // type 14
        "00 00 00 01 0e"
        // Handshake: caps ["H264"], an unknown tag 42, client_id with a quote and a newline
        "00 00 00 16 01 01 00 00 03 61 22 0a 02 00 08 00 01 00 04 48 32 36 34 2a 00 00");
    const RunResult r = decode({}, in);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"type\":\"SessionOpen\",\"session_id\":1,\"video_port\":47001,\"input_port\":47002,"
              "\"codec\":\"H264\",\"width\":1920,\"height\":1080,\"fps\":60,\"video_key\":\"deadbeef\"}\n"
              "{\"error\":\"malformed\",\"type\":\"SessionOpenAck\",\"type_byte\":4}\n"
              "{\"type\":\"Heartbeat\",\"session_id\":1,\"timestamp_ms\":42}\n"
              "{\"error\":\"unknown_type\",\"type_byte\":14}\n"
              "{\"type\":\"Handshake\",\"protocol\":256,\"client_id\":\"a\\\"\\n\",\"caps\":[\"H264\"]}\n");
}

TEST(ViewerDecodeProcess, InputAndPairingConnections) {
    const proto::Bytes touch = hex(
        "00 00 00 22 06 00 00 00 01 00 00 00 00 00 00 03 e8 02"
        "00 00 3f 00 00 00 3e 80 00 00 01 01 3f 80 00 00 00 00 00 00");
    RunResult r = decode({"--input"}, touch);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"type\":\"TouchFrame\",\"session_id\":1,\"time\":1000,\"count\":2,\"points\":["
              "{\"pointer_id\":0,\"phase\":0,\"x\":0.5,\"y\":0.25},{\"pointer_id\":1,\"phase\":1,\"x\":1,\"y\":0}]}\n");

    const proto::Bytes pair = hex(
        "00 00 00 15 01 00 02 63 31 00 04 61 62 63 64 01 00 07 00 05 50 68 6f 6e 65"
        "00 00 00 0d 02 00 00 02 68 31 01 00 04 00 02 6e 6f");
    r = decode({"--pairing"}, pair);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"type\":\"PairRequest\",\"client_id\":\"c1\",\"token\":\"abcd\",\"client_name\":\"Phone\"}\n"
              "{\"type\":\"PairResult\",\"ok\":false,\"host_id\":\"h1\",\"reason\":\"no\"}\n");
}

TEST(ViewerDecodeProcess, InvalidOrCutStreamsFail) {
    // One good frame, then a length above the limit: the line before is kept.
    RunResult r = decode({}, hex("00 00 00 0d 07 00 00 00 01 00 00 00 00 00 00 00 01  00 10 00 01 07"));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "{\"type\":\"Heartbeat\",\"session_id\":1,\"timestamp_ms\":1}\n");
    EXPECT_NE(r.err.find("invalid stream"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("1048577"), std::string::npos) << r.err;

    r = decode({}, hex("00 00 00 00"));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("invalid stream"), std::string::npos);

    r = decode({}, hex("00 00 00 0d 07 00 00"));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("ends inside a frame"), std::string::npos) << r.err;

    r = decode({}, {});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
}

TEST(ViewerDecodeProcess, CommandLine) {
    RunResult r = run(bin_path("sorvane-viewer"), {"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("decode"), std::string::npos);
    EXPECT_NE(r.out.find("--pairing"), std::string::npos);
    r = run(bin_path("sorvane-viewer"), {"version"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("protocol 0x0100"), std::string::npos);
    EXPECT_EQ(run(bin_path("sorvane-viewer"), {"fly"}).code, 2);
    EXPECT_EQ(run(bin_path("sorvane-viewer"), {}).code, 2);
    EXPECT_EQ(run(bin_path("sorvane-viewer"), {"decode", "--bogus"}).code, 2);
}

}  // namespace
}  // namespace sorvane::test
