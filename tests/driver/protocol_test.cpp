#include "driver/core/protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace sorvane::vdd {
namespace {

struct ParseCase {
    std::string request;
    const char* detail;  // "" = parses
    uint32_t seq;
};

// "SVC/1 7 PING" followed by positional arguments that make it n bytes.
std::string request_of_size(size_t n) {
    std::string r = "SVC/1 7 PING";
    while (r.size() < n) r += " " + std::string(std::min<size_t>(64, n - r.size() - 1), 'p');
    return r;
}

std::string tokens(int n) {
    std::string r = "SVC/1 3 PING";
    for (int i = 3; i < n; ++i) r += " a" + std::to_string(i) + "=1";
    return r;
}

TEST(ParseRequest, EveryDetailWordAndItsBoundaries) {
    const std::string k16(16, 'k');
    const std::string v64(64, 'v');
    const std::vector<ParseCase> cases = {
        {"", "size", 0},
        {std::string(513, 'A'), "size", 0},
        {"SVC/1 5 PING\t" + std::string(500, 'x'), "size", 0},  // 513 bytes with a tab: size first
        {"SVC/1 5 PI\tNG", "charset", 0},
        {"SVC/1 5 PING \x7f", "charset", 0},
        {std::string("SVC/1 5 PING \x80"), "charset", 0},
        {" SVC/1 5 PING", "spacing", 0},
        {"SVC/1 5 PING ", "spacing", 0},
        {"SVC/1  5 PING", "spacing", 0},
        {tokens(17), "too_many_tokens", 0},
        {tokens(16), "", 3},
        {"SVC/1 5", "too_few_tokens", 0},
        {"SVC/01 9 PING", "header", 0},
        {"SVC/ 9 PING", "header", 0},
        {"SVX/1 9 PING", "header", 0},
        {"SVC/-1 9 PING", "header", 0},
        {"SVC/4294967296 9 PING", "header", 0},
        {"SVC/000000000001 9 PING", "header", 0},
        {"SVC/1 09 PING", "seq", 0},
        {"SVC/1 4294967296 PING", "seq", 0},
        {"SVC/1 +9 PING", "seq", 0},
        {"SVC/1 4294967295 PING", "", 4294967295u},
        {"SVC/1 0 PING", "", 0},
        {"SVC/1 9 Ping", "verb", 9},
        {"SVC/1 9 " + std::string(25, 'A'), "verb", 9},
        {"SVC/1 9 " + std::string(24, 'A'), "", 9},
        {"SVC/1 9 PING " + k16 + "=" + v64, "", 9},                       // 81 bytes
        {"SVC/1 9 PING " + k16 + "=" + v64 + "v", "token", 9},            // 82 bytes
        {"SVC/1 9 PING " + std::string(64, 'p'), "", 9},
        {"SVC/1 9 PING " + std::string(65, 'p'), "token", 9},
        {"SVC/1 9 PING k-y=1", "key", 9},
        {"SVC/1 9 PING =1", "key", 9},
        {"SVC/1 9 PING " + k16 + "k=1", "key", 9},
        {"SVC/1 9 PING k=", "value", 9},
        {"SVC/1 9 PING k=a=b", "value", 9},
        {"SVC/1 9 PING k=" + v64 + "v", "value", 9},
        {"SVC/1 9 PING k=1 k=2", "duplicate_key", 9},
        {"SVC/1 9 PING K=1 k=2", "", 9},  // keys are case-sensitive
        {"SVC/1 9 PING a=1 b", "positional_after_key", 9},
        {"SVC/2 9 PING", "", 9},  // the version is the dispatcher's business
    };
    for (const auto& c : cases) {
        ControlRequest req;
        ParseFailure failure;
        const bool ok = parse_request(c.request, req, failure);
        if (*c.detail == '\0') {
            EXPECT_TRUE(ok) << c.request << " failed with " << failure.detail;
            EXPECT_EQ(req.seq, c.seq) << c.request;
        } else {
            EXPECT_FALSE(ok) << c.request;
            EXPECT_STREQ(failure.detail, c.detail) << c.request;
            EXPECT_EQ(failure.seq, c.seq) << c.request;
            EXPECT_EQ(failure.code, 1u);
        }
    }
}

TEST(ParseRequest, SizeBoundary) {
    const std::string at_limit = request_of_size(512);
    ASSERT_EQ(at_limit.size(), 512u);
    ControlRequest req;
    ParseFailure failure;
    EXPECT_TRUE(parse_request(at_limit, req, failure)) << failure.detail;
    const std::string over = at_limit + "v";
    ControlRequest req2;
    EXPECT_FALSE(parse_request(over, req2, failure));
    EXPECT_STREQ(failure.detail, "size");
}

TEST(ParseRequest, FieldsInOrder) {
    ControlRequest req;
    ParseFailure failure;
    ASSERT_TRUE(parse_request("SVC/1 17 MONITOR_ADD 2560 1600 60 key=3f9a mmw=340 mmh=212", req, failure));
    EXPECT_EQ(req.version, 1u);
    EXPECT_EQ(req.seq, 17u);
    EXPECT_TRUE(req.has_seq);
    EXPECT_EQ(req.verb, "MONITOR_ADD");
    EXPECT_EQ(req.positional, (std::vector<std::string>{"2560", "1600", "60"}));
    EXPECT_EQ(req.named, (Pairs{{"key", "3f9a"}, {"mmw", "340"}, {"mmh", "212"}}));
    ASSERT_NE(req.named_value("mmh"), nullptr);
    EXPECT_EQ(*req.named_value("mmh"), "212");
    EXPECT_EQ(req.named_value("MMH"), nullptr);
}

TEST(Numbers, NumberAndLuidRules) {
    uint32_t v = 1;
    EXPECT_TRUE(parse_number("0", v));
    EXPECT_EQ(v, 0u);
    EXPECT_TRUE(parse_number("4294967295", v));
    EXPECT_EQ(v, 4294967295u);
    for (const char* bad : {"", "00", "01", "4294967296", "99999999999", "-1", "+1", "1 ", "1a", "0x10"}) {
        EXPECT_FALSE(parse_number(bad, v)) << bad;
    }
    Luid l;
    EXPECT_TRUE(parse_luid("0000ABCD:0001a2b3", l));
    EXPECT_EQ(l, (Luid{0xABCD, 0x1A2B3}));
    EXPECT_EQ(luid_text(l), "0000abcd:0001a2b3");
    EXPECT_EQ(luid_or_none(Luid{}), "none");
    for (const char* bad : {"0000abcd-0001a2b3", "0000abcd:0001a2b", "0000abcd:0001a2b3f", "0000abcg:0001a2b3",
                            "none", ""}) {
        EXPECT_FALSE(parse_luid(bad, l)) << bad;
    }
}

TEST(Format, ResponsesAndSanitising) {
    EXPECT_EQ(format_ok(5, {{"proto", "1.1"}, {"driver", "SorvaneVDD-0.1.3"}}),
              "SVC/1 5 OK proto=1.1 driver=SorvaneVDD-0.1.3");
    EXPECT_EQ(format_ok(0, {}), "SVC/1 0 OK");
    EXPECT_EQ(format_err(9, 7, "", {{"supported", "1"}}), "SVC/1 9 ERR 7 PROTO supported=1");
    EXPECT_EQ(format_err(3, 2, "size_mm"), "SVC/1 3 ERR 2 BAD_ARGS msg=size_mm");
    EXPECT_EQ(format_err(3, 11, "x"), "SVC/1 3 ERR 11 UNKNOWN msg=x");
    EXPECT_EQ(format_err(3, 0, ""), "SVC/1 3 ERR 0 UNKNOWN");
    // No value can carry a space, an '=', a control byte or a byte above 0x7E.
    EXPECT_EQ(format_ok(1, {{"k y=", std::string("a b=c\x01\x7f\xff~!", 10)}}), "SVC/1 1 OK k_y:=a_b:c___~!");
    EXPECT_EQ(format_err(1, 10, "bad msg=x\n"), "SVC/1 1 ERR 10 INTERNAL msg=bad_msg:x_");
    EXPECT_EQ(sanitize("id:1,slot:0"), "id:1,slot:0");
    EXPECT_EQ(size_error_response(), "SVC/1 0 ERR 1 BAD_REQUEST msg=size");
    // A fault answer keeps the seq whenever the request got as far as it.
    EXPECT_EQ(internal_error_response("SVC/1 42 MONITOR_ADD 1920 1080 60", "fault"),
              "SVC/1 42 ERR 10 INTERNAL msg=fault");
    EXPECT_EQ(internal_error_response("SVC/1 42 Ping", "fault"), "SVC/1 42 ERR 10 INTERNAL msg=fault");
    EXPECT_EQ(internal_error_response("SVC/1 042 PING", "fault"), "SVC/1 0 ERR 10 INTERNAL msg=fault");
    for (uint32_t code = 1; code <= 10; ++code) EXPECT_STRNE(error_name(code), "UNKNOWN");
}

TEST(Format, ResponseSizeRules) {
    // "SVC/1 42 OK k=" is 14 bytes: a value of 4082 fills the response exactly.
    const std::string exact = format_ok(42, {{"k", std::string(4082, 'v')}});
    EXPECT_EQ(exact.size(), kMaxResponseBytes);
    EXPECT_EQ(exact.substr(0, 14), "SVC/1 42 OK k=");
    EXPECT_EQ(format_ok(42, {{"k", std::string(4083, 'v')}}), "SVC/1 42 ERR 10 INTERNAL msg=response_too_large");
    const std::string cut = format_err(42, 2, std::string(5000, 'm'), {{"k", "v"}});
    EXPECT_EQ(cut.size(), kMaxResponseBytes);
    EXPECT_EQ(cut.substr(0, 33), "SVC/1 42 ERR 2 BAD_ARGS msg=mmmmm");
}

}  // namespace
}  // namespace sorvane::vdd
