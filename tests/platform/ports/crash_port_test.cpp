// The fault handlers against a real fault: a child that runs an illegal
// instruction leaves one minidump, written from its own handler.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/crash.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "tests/platform/ports/port_test.h"

namespace sorvane::platform {
namespace {

std::string g_dump_path;

void write_dump(uint32_t code, uintptr_t address) {
    int error = 0;
    const int h = crash_create_file(g_dump_path.c_str(), error);
    if (h == -1) return;
    crash_write_minidump(h, code, address);
    crash_close(h);
}

const port_test::ChildRole fault_role("fault", [](const std::string& folder) {
    g_dump_path = join_path(folder, "fault.dmp");
    if (!install_fault_handlers(write_dump)) return 10;
    __builtin_trap();  // an illegal instruction: the fault

});

TEST(Crash, AFaultingChildLeavesOneMinidump) {
    port_test::TempFolder dir;
    const int code = port_test::run_child("fault", dir.path());
    EXPECT_NE(code, 0);
    EXPECT_NE(code, 10);
    std::vector<std::string> names;
    ASSERT_TRUE(list_directory(dir.path(), names).ok());
    ASSERT_EQ(names, std::vector<std::string>{"fault.dmp"});
    std::string dump;
    ASSERT_TRUE(read_file(dir.file("fault.dmp"), 1 << 26, dump).ok());
    ASSERT_GE(dump.size(), 32u);
    EXPECT_EQ(dump.substr(0, 4), "MDMP");  // the minidump signature
}

}  // namespace
}  // namespace sorvane::platform
