#include "host/core/log.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "common/text.h"
#include "platform/sim/manual_clock.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

using test::read_all;
using test::TempDir;
using test::write_all;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

TEST(Log, LineFormatCountsFromTheFirstCall) {
    EXPECT_EQ(format_log_line(0, "x"), "[+   0.000] x\n");
    EXPECT_EQ(format_log_line(1'234'567, "[host] a"), "[+   1.235] [host] a\n");
    EXPECT_EQ(format_log_line(12'345'678'900, "y"), "[+12345.679] y\n");

    sim::ManualClock clock;
    TempDir dir;
    Logger logger(clock);
    clock.advance_ms(5000);  // time before the first call does not count
    logger.open(false, dir.path());
    logger.write("[host] first %d", 1);
    clock.advance_us(1'500'250);
    logger.write("[host] second");
    EXPECT_EQ(read_all(dir.file("sorvane-host.log")), "[+   0.000] [host] first 1\n[+   1.500] [host] second\n");
}

TEST(Log, MessagesAreCutScrubbedAndEchoedOnlyWhenAsked) {
    sim::ManualClock clock;
    TempDir dir;
    Logger logger(clock);
    std::string echoed;
    logger.set_echo_sink([&](std::string_view s) { echoed.append(s); });
    logger.open(false, dir.path());
    logger.write("%s", std::string(2000, 'a').c_str());
    EXPECT_TRUE(echoed.empty());  // tray mode writes nothing to standard output

    // A peer's name cannot forge a second line or split a character.
    logger.write("[pairing] name=%s", "evil\n[+   0.000] [host] forged\r\x1b");
    std::string accents;
    for (int i = 0; i < 600; ++i) accents += "\xC3\xA9";  // 1,200 bytes of two-byte characters
    logger.write("xy%s", accents.c_str());

    const auto lines = lines_of(read_all(dir.file("sorvane-host.log")));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "[+   0.000] " + std::string(1023, 'a'));
    EXPECT_EQ(lines[1], "[+   0.000] [pairing] name=evil?[+   0.000] [host] forged??");
    // 2 + 1,021 bytes would end inside a character: the partial one goes.
    EXPECT_EQ(lines[2].size(), std::string("[+   0.000] ").size() + 1022);
    EXPECT_EQ(lines[2].substr(lines[2].size() - 2), "\xC3\xA9");

    Logger echoing(clock);
    echoing.set_echo_sink([&](std::string_view s) { echoed.append(s); });
    echoing.open(true, "");
    echoing.write("[host] hi");
    EXPECT_FALSE(echoing.has_file());
    EXPECT_EQ(echoed, "[+   0.000] [host] hi\n");
}

TEST(Log, APeersTextKeepsTheLineAndTheFieldsAfterIt) {
    sim::ManualClock clock;
    TempDir dir;
    Logger logger(clock);
    logger.open(false, dir.path());
    // NUL, DEL, a stray continuation byte, an overlong slash, a surrogate, a
    // cut sequence, a valid two-byte character, then a kilobyte.
    const std::string id = std::string("ph\0one\x7f\x80/\xC0\xAF\xED\xA0\x80\xE2\x82|\xC3\xA9", 19) +
                           std::string(1000, 'x');
    const std::string shown = peer_text(id);
    logger.write("[pairing] SONUC: eslesti client_id=%s fp=%s %s", shown.c_str(), std::string(64, 'f').c_str(),
                 "127.0.0.2:40000");
    const auto lines = lines_of(read_all(dir.file("sorvane-host.log")));
    ASSERT_EQ(lines.size(), 1u);
    const std::string expected_id = "ph?one?" "?/???????|\xC3\xA9" + std::string(kPeerTextMax - 19, 'x') + "...(+" +
                                    std::to_string(id.size() - kPeerTextMax) + " bytes)";
    EXPECT_EQ(shown, expected_id);
    EXPECT_EQ(lines[0], "[+   0.000] [pairing] SONUC: eslesti client_id=" + expected_id + " fp=" + std::string(64, 'f') +
                            " 127.0.0.2:40000");
    // Short text is only scrubbed; the scrub keeps every byte count.
    EXPECT_EQ(peer_text("a\tb\xF4\x90\x80\x80"), "a\tb????");
    EXPECT_EQ(scrub_text(id).size(), id.size());
}

TEST(Log, SessionLogPrefixesAndCutsAt768) {
    Logger& logger = process_log();
    std::string echoed;
    logger.set_echo_sink([&](std::string_view s) { echoed.append(s); });
    logger.open(true, "");
    session_log(42, "%s", std::string(1000, 'b').c_str());
    logger.set_echo_sink(nullptr);
    const std::string prefix = "[session 42] ";
    const size_t at = echoed.find(prefix);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(echoed.substr(at + prefix.size()), std::string(767, 'b') + "\n");
}

TEST(Log, RotationAtStartUp) {
    TempDir dir;
    const std::string current = dir.file("sorvane-host.log");

    // Exactly 2 MiB is kept.
    write_all(current, std::string(kLogRotateBytes, 'x'));
    rotate_log_files(current);
    EXPECT_FALSE(test::read_all(current).empty());
    EXPECT_FALSE(platform::file_exists(current + ".1"));

    // One byte more rotates; with .1 .. .5 present, .5 goes and the rest shift.
    write_all(current, std::string(kLogRotateBytes + 1, 'x'));
    for (int i = 1; i <= 5; ++i) write_all(current + "." + std::to_string(i), "old" + std::to_string(i));
    rotate_log_files(current);
    EXPECT_FALSE(platform::file_exists(current));
    EXPECT_EQ(read_all(current + ".1").size(), kLogRotateBytes + 1);
    EXPECT_EQ(read_all(current + ".2"), "old1");
    EXPECT_EQ(read_all(current + ".5"), "old4");

    // A missing .3 leaves a gap that the next rotation shifts on.
    platform::remove_file(current + ".3");
    write_all(current, std::string(kLogRotateBytes + 1, 'y'));
    rotate_log_files(current);
    EXPECT_EQ(read_all(current + ".2").size(), kLogRotateBytes + 1);
    EXPECT_EQ(read_all(current + ".3"), "old1");
    EXPECT_FALSE(platform::file_exists(current + ".4"));
    EXPECT_EQ(read_all(current + ".5"), "old3");

    // open() rotates and starts a fresh current file.
    sim::ManualClock clock;
    Logger logger(clock);
    write_all(current, std::string(kLogRotateBytes + 1, 'z'));
    logger.open(false, dir.path());
    logger.write("fresh");
    EXPECT_EQ(read_all(current), "[+   0.000] fresh\n");
    EXPECT_EQ(read_all(current + ".1")[0], 'z');
}

TEST(Log, ManyThreadsWriteWholeLines) {
    sim::ManualClock clock;
    TempDir dir;
    Logger logger(clock);
    logger.open(false, dir.path());
    constexpr int kThreads = 8;
    constexpr int kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string body(100 + t * 13, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) logger.write("[t%d] %d %s", t, i, body.c_str());
        });
    }
    for (auto& th : threads) th.join();
    const auto lines = lines_of(read_all(dir.file("sorvane-host.log")));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::set<std::string> seen;
    for (const auto& line : lines) {
        ASSERT_EQ(line.rfind("[+   0.000] [t", 0), 0u) << line;
        const int t = line[14] - '0';
        const std::string body(100 + t * 13, static_cast<char>('a' + t));
        ASSERT_EQ(line.substr(line.size() - body.size()), body);
        seen.insert(line);
    }
    EXPECT_EQ(seen.size(), lines.size());
}

}  // namespace
}  // namespace sorvane
