#include "driver/core/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/sim/manual_clock.h"
#include "tests/support/temp_dir.h"

namespace sorvane::vdd {
namespace {

using sorvane::test::read_all;
using sorvane::test::TempDir;

// Local time is one hour behind UTC, so the local date changes an hour after
// the UTC one: only local time may name the files.
int64_t wall_of(uint32_t y, uint32_t mo, uint32_t d, uint32_t h, uint32_t mi, uint32_t s, uint32_t ms) {
    return platform::wall_ms_from_utc({y, mo, d, h, mi, s, ms}) + 60 * 60'000;
}

class DriverLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock.set_local_offset_minutes(-60);
        clock.set_wall_ms(wall_of(2026, 1, 1, 23, 59, 59, 500));
        std::filesystem::create_directories(dir.path() + "/VDD");
    }
    void TearDown() override {
        install_driver_log(nullptr);
        set_log_level(kLogDebug);
    }
    std::string logs() const { return dir.path() + "/VDD/Logs"; }

    TempDir dir;
    sim::ManualClock clock;
};

TEST_F(DriverLogTest, LinesAcrossMidnightLandInTwoFiles) {
    DriverLog log(clock, logs());
    log.write(kLogInfo, "before");
    clock.advance_ms(1000);
    log.write(kLogDebug, "after");
    EXPECT_EQ(read_all(logs() + "/sv_2026-01-01.log"), "2026-01-01 23:59:59.500 [I] before\r\n");
    EXPECT_EQ(read_all(logs() + "/sv_2026-01-02.log"), "2026-01-02 00:00:00.500 [D] after\r\n");
}

TEST_F(DriverLogTest, CreatesOnlyTheLastFolder) {
    DriverLog log(clock, logs());
    log.write(kLogInfo, "x");
    EXPECT_TRUE(std::filesystem::is_directory(logs()));
    DriverLog orphan(clock, dir.path() + "/missing/Logs");
    orphan.write(kLogInfo, "dropped");  // no data folder: dropped without complaint
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/missing"));
}

TEST_F(DriverLogTest, DayFileStopsGrowingAtTheCap) {
    std::filesystem::create_directories(logs());
    const std::string path = logs() + "/sv_2026-01-01.log";
    sorvane::test::write_all(path, std::string(kLogFileCap - 1, 'x'));
    DriverLog log(clock, logs());
    log.write(kLogInfo, "last");
    const uint64_t size = std::filesystem::file_size(path);
    EXPECT_EQ(size, kLogFileCap - 1 + 34);
    log.write(kLogInfo, "lost");
    EXPECT_EQ(std::filesystem::file_size(path), size);
    const std::string content = read_all(path);
    EXPECT_EQ(content.substr(kLogFileCap - 1), "2026-01-01 23:59:59.500 [I] last\r\n");
    EXPECT_EQ(content.find_first_not_of('x'), kLogFileCap - 1);  // not truncated
}

TEST_F(DriverLogTest, LineFormat) {
    const platform::CivilTime t{2026, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(format_log_line(t, kLogInfo, "monitor added"), "2026-03-04 05:06:07.008 [I] monitor added\r\n");
    EXPECT_EQ(format_log_line(t, kLogDebug, "a\r\nb\x1b"), "2026-03-04 05:06:07.008 [D] a??b?\r\n");
    EXPECT_EQ(log_file_name(t), "sv_2026-03-04.log");
    EXPECT_EQ(driver_log_folder("/pd"), "/pd/Sorvane/VDD/Logs");
}

TEST_F(DriverLogTest, LevelDecidesWhatIsBuiltAndWritten) {
    DriverLog log(clock, logs());
    install_driver_log(&log);
    const LineLogger pipe = make_line_logger(kLogDebug, "[pipe] ");
    const LineLogger ctl = make_line_logger(kLogInfo, "[ctl] ");
    int built = 0;
    const auto build = [&] {
        ++built;
        return std::string("line");
    };

    EXPECT_EQ(log_level(), kLogDebug);  // the level at load
    pipe.log(build);
    set_log_level(kLogInfo);
    pipe.log(build);  // not built
    ctl.log(build);
    write_log(kLogDebug, "debug dropped");
    set_log_level(kLogOff);
    pipe.log(build);
    ctl.log(build);
    write_log(kLogInfo, "info dropped");
    EXPECT_EQ(built, 2);
    EXPECT_EQ(read_all(logs() + "/sv_2026-01-01.log"),
              "2026-01-01 23:59:59.500 [D] [pipe] line\r\n"
              "2026-01-01 23:59:59.500 [I] [ctl] line\r\n");

    set_log_level(kLogInfo);
    install_driver_log(nullptr);
    ctl.write("nowhere");  // no log installed: dropped
    EXPECT_EQ(read_all(logs() + "/sv_2026-01-01.log").size(), 81u);
}

}  // namespace
}  // namespace sorvane::vdd
