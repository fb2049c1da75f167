#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/process.h"
#include "platform/sim/manual_clock.h"
#include "tests/support/temp_dir.h"

namespace sorvane::platform {
namespace {

TEST(WindowsCommandLine, SplitsAndQuotesByTheWindowsRules) {
    const struct {
        const char* line;
        std::vector<std::string> args;
    } cases[] = {
        {"\"C:\\Program Files\\x.exe\" a b", {"C:\\Program Files\\x.exe", "a", "b"}},
        {"prog \"a b\" c\\d", {"prog", "a b", "c\\d"}},
        {"prog a\\\\\\\"b", {"prog", "a\\\"b"}},
        {"prog \"a\\\\\" b", {"prog", "a\\", "b"}},
        {"prog \"say \"\"hi\"\"\"", {"prog", "say \"hi\""}},
        {"prog /grant *S-1-5-19:(OI)(CI)M", {"prog", "/grant", "*S-1-5-19:(OI)(CI)M"}},
        {"  prog   ", {"prog"}},
    };
    for (const auto& c : cases) EXPECT_EQ(split_command_line(c.line), c.args) << c.line;
    for (const char* arg : {"", "plain", "two words", "tail\\", "q\"uote", "dir with\\", "\\\\server\\share x"}) {
        const auto back = split_command_line("p " + quote_argument(arg));
        ASSERT_EQ(back.size(), 2u) << arg;
        EXPECT_EQ(back[1], arg);
    }
}

TEST(ProcessRunner, CollectsOutputStopsAtTheDeadlineAndNeedsAFullPath) {
    sim::ManualClock clock;
    auto runner = make_process_runner(clock);
    const auto big = runner->run("/bin/sh -c \"head -c 100000 /dev/zero | tr '\\0' x; echo err 1>&2; exit 7\"", 1000);
    EXPECT_TRUE(big.started);
    EXPECT_EQ(big.exit_code, 7);
    EXPECT_EQ(big.output.size(), 100004u);
    EXPECT_EQ(big.output.substr(100000), "err\n");

    const auto bare = runner->run("sh -c true", 1000);
    EXPECT_FALSE(bare.started);
    EXPECT_EQ(bare.exit_code, -1);
    EXPECT_FALSE(runner->run("/nonexistent/prog", 1000).started);

    // A child that keeps its pipe open is ended at the one deadline.
    std::atomic<bool> done{false};
    std::thread mover([&] {
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            clock.advance_ms(1000);
        }
    });
    const auto slow = runner->run("/bin/sleep 30", 3000);
    done = true;
    mover.join();
    EXPECT_TRUE(slow.started);
    EXPECT_TRUE(slow.timed_out);
    EXPECT_EQ(slow.exit_code, -1);
}

TEST(OemCodePages, TurkishTextSurvivesCodePage857) {
    const std::string text = "Başlatıldı İĞÜŞÖÇ ğüşöç";
    const std::string oem = utf8_to_oem(text, 857);
    EXPECT_EQ(oem.size(), 23u);  // one byte per character
    EXPECT_EQ(static_cast<unsigned char>(oem[2]), 0x9F);  // ş
    EXPECT_EQ(oem_to_utf8(oem, 857), text);
    EXPECT_EQ(oem_to_utf8("\x81", 437), "ü");
    EXPECT_EQ(utf8_to_oem("ı", 437), "?");
    // A byte that is not UTF-8 becomes one "?" and takes none of its neighbours with it.
    EXPECT_EQ(utf8_to_oem("\xC3" "A\xA0\xF0\x9F\x98" "b\xC3\xBC", 437), "?A????b\x81");
    EXPECT_EQ(oem_to_utf8("abc", 65001), "abc");
}

}  // namespace
}  // namespace sorvane::platform
