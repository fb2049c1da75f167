// Machine facts: the computer's name and the environment, in UTF-8.
#include "platform/system.h"

#include <gtest/gtest.h>

#include "tests/platform/ports/port_test.h"

namespace sorvane::platform {
namespace {

TEST(System, ComputerNameAndEnvironment) {
    std::string name;
    ASSERT_TRUE(computer_name(name));
    EXPECT_FALSE(name.empty());
    for (char c : name) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << name;

    const std::string var = port_test::unique_name("SORVANE_PORT_TEST_");
    std::string value = "stale";
    EXPECT_FALSE(get_env(var.c_str(), value));
    port_test::set_env(var, "Çağrı ok");
    ASSERT_TRUE(get_env(var.c_str(), value));
    EXPECT_EQ(value, "Çağrı ok");
}

}  // namespace
}  // namespace sorvane::platform
