// The process runner against real children: this suite's own program run in
// a child role, so exit codes, output and the deadline are the system's.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/process.h"
#include "platform/self_process.h"
#include "tests/platform/ports/port_test.h"

namespace sorvane::platform {
namespace {

const port_test::ChildRole exit_role("exit-with", [](const std::string& arg) {
    std::printf("exiting with %s\n", arg.c_str());
    std::fflush(stdout);
    return static_cast<int>(std::strtol(arg.c_str(), nullptr, 10));
});

const port_test::ChildRole hang_role("hang", [](const std::string&) {
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    return 0;
});

std::string self_command(const std::string& role, const std::string& arg) {
    std::string self;
    if (!module_file_name(self)) return {};
    return "\"" + self + "\" --port-child " + role + " " + arg;
}

TEST(ProcessRunner, ExitCodesAndOutputComeBackWhole) {
    auto clock = make_system_clock();
    auto runner = make_process_runner(*clock);
    struct Case {
        int code;
        bool windows_only;  // codes above 255 do not survive a POSIX exit status
    };
    for (const Case c : {Case{0, false}, Case{7, false}, Case{300, true}, Case{70000, true}}) {
#ifndef _WIN32
        if (c.windows_only) continue;
#endif
        const std::string cmd = self_command("exit-with", std::to_string(c.code));
        ASSERT_FALSE(cmd.empty());
        const ChildResult r = runner->run(cmd, 60'000);
        EXPECT_TRUE(r.started) << r.error;
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, c.code);
        EXPECT_NE(r.output.find("exiting with " + std::to_string(c.code)), std::string::npos) << r.output;
    }
}

TEST(ProcessRunner, AChildPastTheDeadlineIsEndedAndAMissingProgramNeverStarts) {
    auto clock = make_system_clock();
    auto runner = make_process_runner(*clock);
    const ChildResult hung = runner->run(self_command("hang", "-"), 300);
    EXPECT_TRUE(hung.started);
    EXPECT_TRUE(hung.timed_out);
    EXPECT_NE(hung.exit_code, 0);

    port_test::TempFolder dir;
    const ChildResult missing = runner->run("\"" + dir.file("no-such-program.exe") + "\"", 60'000);
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.exit_code, -1);
    EXPECT_FALSE(missing.error.empty());
}

}  // namespace
}  // namespace sorvane::platform
