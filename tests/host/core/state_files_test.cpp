#include "host/core/state_files.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "platform/files.h"
#include "platform/linux/random_fault.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

using test::read_all;
using test::TempDir;
using test::write_all;

TEST(HostId, FreshIdsAreVersion4Uuids) {
    const std::regex pattern("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string id = new_host_id();
        ASSERT_TRUE(std::regex_match(id, pattern)) << id;
        ASSERT_TRUE(is_host_id(id));
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(HostId, LoadKeepsAValidFileAndReplacesAnythingElse) {
    TempDir dir;
    const std::string path = dir.path() + "/Sorvane/host_id.txt";  // folder is created
    const std::string a = "0123abcd-0000-4000-8000-00000000000a";
    const std::string b = "0123abcd-0000-4000-8000-00000000000b";
    EXPECT_EQ(load_or_create_host_id(path, a), a);
    EXPECT_EQ(read_all(path), a);  // no line end
    EXPECT_EQ(load_or_create_host_id(path, b), a);

    write_all(path, a + "\r\n");
    EXPECT_EQ(load_or_create_host_id(path, b), a);

    const std::string bad[] = {
        a.substr(1),                               // 35 characters
        a + "0",                                   // 37
        "0123abcd_0000-4000-8000-00000000000a",    // not the pattern
        "0123abcd-0000-4000-8000-00000000000\n\n", // CR/LF inside the 36
        std::string(36, 'z'),
    };
    for (const std::string& content : bad) {
        write_all(path, content);
        EXPECT_EQ(load_or_create_host_id(path, b), b) << content;
        EXPECT_EQ(read_all(path), b);
    }
    // Without a fresh id (the random source failed) a stored one still
    // serves, and nothing else is ever written.
    EXPECT_EQ(load_or_create_host_id(path, ""), b);
    write_all(path, "junk");
    EXPECT_EQ(load_or_create_host_id(path, ""), "");
    EXPECT_EQ(read_all(path), "junk");
    std::string token;
    ASSERT_TRUE(new_pairing_token(token));
    EXPECT_TRUE(std::regex_match(token, std::regex("[0-9a-f]{32}")));
    // A file that cannot be written still gives the candidate for this run.
    write_all(dir.file("plain"), "x");
    EXPECT_EQ(load_or_create_host_id(dir.file("plain") + "/host_id.txt", a), a);
}

// Whichever draw of the random source fails, nothing is made of it: no token,
// no id (a zero seed would give every such machine the same id), no file.
TEST(HostId, AFailedRandomDrawMakesNoTokenAndNoId) {
    struct ResetFaults {
        ~ResetFaults() { platform::test_faults::reset_random_faults(); }
    } reset;
    TempDir dir;
    const std::string path = dir.path() + "/Sorvane/host_id.txt";
    for (const uint32_t draws_that_pass : {0u, 1u}) {
        platform::test_faults::fail_random_calls(draws_that_pass, 1);
        EXPECT_EQ(load_or_create_host_id(path, new_host_id()), "") << draws_that_pass;
        EXPECT_FALSE(platform::file_exists(path));
    }
    platform::test_faults::fail_random_calls(0, 1);
    std::string token = "stale";
    EXPECT_FALSE(new_pairing_token(token));
    EXPECT_EQ(token, "");
    // The source recovers: both work again.
    EXPECT_TRUE(is_host_id(load_or_create_host_id(path, new_host_id())));
    EXPECT_TRUE(new_pairing_token(token));
}

TEST(DeviceKinds, ParsingSkipsWhatIsNotAKind) {
    const auto m = DeviceKindStore::parse(
        "a|phone\n"
        "b|Phone\n"      // kinds are case-sensitive
        "c|tablet\r\n"   // one CR dropped
        "\n"
        "nobar\n"
        "|phone\n"       // empty key
        "d|watch\n"
        "a|tablet\n"     // a later line wins
        "e|x|phone\n"    // kind is everything after the first bar
        "g\rh|phone\n"   // a CR inside the key: the writer could not write it back
        "f|phone");      // no final line end
    EXPECT_EQ(m, (std::map<std::string, std::string>{{"a", "tablet"}, {"c", "tablet"}, {"f", "phone"}}));
}

TEST(DeviceKinds, StoreWritesOnChangeOnlyAndInKeyOrder) {
    TempDir dir;
    const std::string path = dir.file("device_kinds.txt");
    DeviceKindStore store;
    store.load(path);
    store.set("zeta", "tablet");
    store.set("alpha", "phone");
    store.set("", "phone");
    store.set("beta", "laptop");
    store.set("bad|id", "phone");
    store.set("bad\nid", "phone");
    EXPECT_EQ(read_all(path), "alpha|phone\nzeta|tablet\n");

    // Setting the stored kind again does not rewrite the file.
    write_all(path, "sentinel");
    store.set("alpha", "phone");
    EXPECT_EQ(read_all(path), "sentinel");

    store.set("alpha", "tablet");
    EXPECT_EQ(read_all(path), "alpha|tablet\nzeta|tablet\n");
    EXPECT_EQ(store.kind_of("alpha"), "tablet");
    EXPECT_EQ(store.kind_of("nobody"), "");
    store.forget("nobody");
    store.forget("zeta");
    EXPECT_EQ(read_all(path), "alpha|tablet\n");

    DeviceKindStore again;
    again.load(path);
    EXPECT_EQ(again.kind_of("alpha"), "tablet");
}

TEST(DeviceKinds, ACutFileDropsItsIncompleteLastLine) {
    TempDir dir;
    const std::string path = dir.file("device_kinds.txt");
    std::string text;
    int n = 0;
    while (text.size() < kDeviceKindsReadLimit - 20) text += "id" + std::to_string(n++) + "|phone\n";
    text += "longest-device-id-crossing-the-limit|tablet\n";
    write_all(path, text);
    DeviceKindStore store;
    store.load(path);
    EXPECT_EQ(store.kind_of("id0"), "phone");
    EXPECT_EQ(store.kind_of("longest-device-id-crossing-the-limit"), "");
    // The cut-off key must not come back as a shorter id.
    const std::string cut = text.substr(0, kDeviceKindsReadLimit);
    const std::string tail = cut.substr(cut.rfind('\n') + 1);
    EXPECT_EQ(store.kind_of(tail.substr(0, tail.find('|'))), "");
}

TEST(DisplayPositions, ParsingChecksEveryField) {
    const auto m = DisplayPositionStore::parse(
        "a|R|0|\\\\.\\DISPLAY1\n"
        "b|X|0|anchor\n"        // bad side
        "c|L|100000|anchor\n"   // offset out of range
        "d|L|1a|anchor\n"       // offset not a number
        "e|T|-99999|a|b\n"      // anchor keeps its bar
        "f|B||anchor\n"         // empty offset
        "g|RR|5|anchor\n"       // side of two letters
        "h|L|5|\n"              // empty anchor
        "|L|5|anchor\n"         // empty key
        "j\rk|L|5|anchor\n"     // CR inside the key
        "i|B|99999|x\r\n");
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m.at("a"), (SavedPosition{"\\\\.\\DISPLAY1", 'R', 0}));
    EXPECT_EQ(m.at("e"), (SavedPosition{"a|b", 'T', -99999}));
    EXPECT_EQ(m.at("i"), (SavedPosition{"x", 'B', 99999}));
}

TEST(DisplayPositions, SetRefusesInvalidEntriesAndRoundTrips) {
    TempDir dir;
    const std::string path = dir.path() + "/sub/display_positions.txt";
    DisplayPositionStore store;
    store.load(path);
    EXPECT_FALSE(store.set("", {"anchor", 'L', 0}));
    EXPECT_FALSE(store.set("a|b", {"anchor", 'L', 0}));
    EXPECT_FALSE(store.set("a\rb", {"anchor", 'L', 0}));
    EXPECT_FALSE(store.set("a", {"", 'L', 0}));
    EXPECT_FALSE(store.set("a", {"an\nchor", 'L', 0}));
    EXPECT_FALSE(store.set("a", {"anchor", 'l', 0}));
    EXPECT_FALSE(store.set("a", {"anchor", 'L', 100000}));
    EXPECT_FALSE(platform::file_exists(path));

    EXPECT_TRUE(store.set("phone-2", {"GPU0|DISPLAY1", 'T', -1920}));
    EXPECT_TRUE(store.set("phone-1", {"GPU0|DISPLAY1", 'R', 40}));
    EXPECT_EQ(read_all(path), "phone-1|R|40|GPU0|DISPLAY1\nphone-2|T|-1920|GPU0|DISPLAY1\n");

    write_all(path, "sentinel");
    EXPECT_TRUE(store.set("phone-1", {"GPU0|DISPLAY1", 'R', 40}));  // unchanged: no write
    EXPECT_EQ(read_all(path), "sentinel");
    store.forget("phone-2");
    EXPECT_EQ(read_all(path), "phone-1|R|40|GPU0|DISPLAY1\n");

    DisplayPositionStore again;
    again.load(path);
    ASSERT_TRUE(again.position_of("phone-1").has_value());
    EXPECT_EQ(*again.position_of("phone-1"), (SavedPosition{"GPU0|DISPLAY1", 'R', 40}));
    EXPECT_FALSE(again.position_of("phone-2").has_value());
}

}  // namespace
}  // namespace sorvane
