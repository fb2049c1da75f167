// The power epoch over simulated suspend/resume events, and crash handling in
// child processes that really fault: one record named after the UTC time and
// the pid, and the crash line in the log, even when the crash happens while
// the log's lock is held.
#include <gtest/gtest.h>

#include <signal.h>

#include <csignal>
#include <regex>
#include <stdexcept>
#include <thread>

#include "host/core/crash.h"
#include "host/core/log.h"
#include "host/core/power.h"
#include "platform/crash.h"
#include "platform/files.h"
#include "platform/sim/power_sim.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

class LogCapture {
public:
    LogCapture() {
        process_log().set_echo_sink([this](std::string_view s) { text_.append(s); });
        process_log().open(true, "");
    }
    ~LogCapture() { process_log().set_echo_sink([](std::string_view) {}); }
    bool has(const std::string& s) const { return text_.find(s) != std::string::npos; }

private:
    std::string text_;
};

TEST(Power, EpochRisesOnAutomaticResumesOnly) {
    // A failed registration is logged; the process registers only once, so
    // that story runs in a child of its own.
    EXPECT_EXIT(
        {
            LogCapture log;
            sim::SimPowerEvents failing;
            failing.fail_registration(1084);
            register_power_notifications(failing);
            sim::SimPowerEvents later;
            register_power_notifications(later);
            bool ok = log.has("[power] suspend/resume notification could not be registered (error 1084)") &&
                      later.registrations() == 0;
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");

    LogCapture log;
    sim::SimPowerEvents events;
    register_power_notifications(events);
    register_power_notifications(events);
    ASSERT_EQ(events.registrations(), 1u);
    struct Step {
        uint32_t type;
        uint32_t epoch;
        const char* line;
    } steps[] = {
        {platform::kPowerSuspend, 0, "[power] the PC is going to sleep/hibernate"},
        {platform::kPowerResumeSuspend, 0, "[power] resume after user input"},
        {platform::kPowerResumeAutomatic, 1,
         "[power] the PC resumed (epoch 1): open sessions will check their monitor and rebuild capture/encode"},
        {platform::kPowerResumeAutomatic, 2, "[power] the PC resumed (epoch 2)"},
        {10, 2, nullptr},  // PBT_APMPOWERSTATUSCHANGE: ignored
    };
    for (const Step& s : steps) {
        events.deliver(s.type);
        EXPECT_EQ(power_epoch(), s.epoch) << s.type;
        if (s.line) {
            EXPECT_TRUE(log.has(s.line)) << s.line;
        }
    }
    // From another thread, as the platform delivers them.
    std::thread t([&] { events.deliver(platform::kPowerResumeAutomatic); });
    t.join();
    EXPECT_EQ(power_epoch(), 3u);
}

TEST(Crash, FileNameIsUtcTimeAndPid) {
    // 2026-03-04T05:06:07Z
    EXPECT_EQ(crash_file_name(1772600767000, 4242), "sorvane-host-20260304-050607-4242.dmp");
}

void fault_by_pointer() {
    *reinterpret_cast<volatile int*>(uintptr_t{64}) = 1;
}

struct CrashCase {
    const char* name;
    void (*crash)();
    int signal;
    const char* line;
    const char* code;
};

TEST(Crash, EachFailureLeavesOneRecordAndItsLogLine) {
    const CrashCase cases[] = {
        {"access violation", [] { fault_by_pointer(); }, SIGSEGV,
         "\\[crash\\] yakalanmamis SEH istisnasi: kod=0xC0000005 adres=0000000000000040", "0xC0000005"},
        {"abort", [] { std::abort(); }, SIGABRT, "kod=0x40000015", "0x40000015"},
        {"division", [] { std::raise(SIGFPE); }, SIGFPE, "kod=0xC0000094", "0xC0000094"},
        {"terminate", [] { std::terminate(); }, SIGABRT,
         "\\[crash\\] std::terminate\\(\\) cagirildi \\(ornegin: hala joinable bir std::thread'e yeni thread "
         "atanmasi -- bkz. docs/decisions.md K26\\)",
         "0xE0000001"},
        {"uncaught exception", [] { std::thread([] { throw std::runtime_error("x"); }).join(); }, SIGABRT,
         "std::terminate\\(\\) cagirildi", "0xE0000001"},
        // The log's lock is held by this very thread when it faults.
        {"under the log lock",
         [] {
             process_log().set_echo_sink([](std::string_view) { fault_by_pointer(); });
             process_log().open(true, "");
             log("[host] about to fault inside the log");
         },
         SIGSEGV, "kod=0xC0000005", "0xC0000005"},
    };
    for (const CrashCase& c : cases) {
        test::TempDir dir;
        const std::string folder = dir.file("Sorvane/crash");
        const std::string log_file = dir.file("sorvane-host.log");
        EXPECT_EXIT(
            {
                install_crash_handlers(folder);
                set_crash_log_file(log_file);
                c.crash();
            },
            ::testing::KilledBySignal(c.signal), c.line)
            << c.name;
        std::vector<std::string> names;
        ASSERT_TRUE(platform::list_directory(folder, names).ok()) << c.name;
        ASSERT_EQ(names.size(), 1u) << c.name;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(names[0], m, std::regex(R"(sorvane-host-(\d{8})-(\d{6})-(\d+)\.dmp)")))
            << names[0];
        std::string record = test::read_all(folder + "/" + names[0]);
        EXPECT_NE(record.find("process: " + m[3].str() + "\n"), std::string::npos) << record;
        EXPECT_NE(record.find(std::string("exception code: ") + c.code), std::string::npos) << record;
        std::string logged = test::read_all(log_file);
        EXPECT_TRUE(std::regex_search(logged, std::regex(c.line))) << c.name << ": " << logged;
        EXPECT_NE(logged.find("[crash] minidump yazildi: " + folder + "/" + names[0]), std::string::npos) << logged;
        EXPECT_EQ(logged.find("minidump yazildi", logged.find("minidump yazildi") + 1), std::string::npos)
            << "one record only: " << logged;
    }
}

volatile int g_never = -1;

int recurse(int depth) {
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    return depth == g_never ? 0 : recurse(depth + 1) + pad[0];
}

// A thread other than the first that overflows its stack: its own alternate
// stack lets the handler run and leave the record.
TEST(Crash, AThreadThatOverflowsItsStackLeavesItsRecord) {
    test::TempDir dir;
    const std::string folder = dir.file("Sorvane/crash");
    EXPECT_EXIT(
        {
            install_crash_handlers(folder);
            std::thread([] {
                // Only the host's own alternate stack: none a sanitizer's runtime may have given the thread.
                stack_t off{};
                off.ss_flags = SS_DISABLE;
                sigaltstack(&off, nullptr);
                platform::install_thread_fault_stack();
                recurse(1);
            }).join();
        },
        ::testing::KilledBySignal(SIGSEGV), "kod=0xC0000005");
    std::vector<std::string> names;
    ASSERT_TRUE(platform::list_directory(folder, names).ok());
    EXPECT_EQ(names.size(), 1u);
}

TEST(Crash, UnwritableFolderIsLoggedAndTheProcessStillEnds) {
    test::TempDir dir;
    const std::string blocker = dir.file("not-a-folder");
    test::write_all(blocker, "x");
    EXPECT_EXIT(
        {
            install_crash_handlers(blocker + "/crash");
            fault_by_pointer();
        },
        ::testing::KilledBySignal(SIGSEGV), "\\[crash\\] minidump dosyasi acilamadi: 20");
}

}  // namespace
}  // namespace sorvane
