#include "host/core/monitor_ref.h"

#include <gtest/gtest.h>

namespace sorvane {
namespace {

TEST(ValueTypes, MonitorRefText) {
    MonitorRef t{true, 0x0000000100000abcull, 7, {}};
    EXPECT_EQ(monitor_ref_text(t), "target 00000001:00000abc/7");
    MonitorRef d{false, 0, 0, "SVN0001\xC3\xA9x"};
    EXPECT_EQ(monitor_ref_text(d), "monitor 'SVN0001?x'");
}

}  // namespace
}  // namespace sorvane
