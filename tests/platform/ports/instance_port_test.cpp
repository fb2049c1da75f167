// The single-instance guard: one owner at a time, across processes.
#include "platform/instance.h"

#include <gtest/gtest.h>

#include "tests/platform/ports/port_test.h"

namespace sorvane::platform {
namespace {

constexpr int kChildOwned = 10;
constexpr int kChildRefused = 11;

// The second start: tries to take the guard and says what happened.
int try_guard(const std::string& name) {
    bool existed = false;
    auto guard = create_instance_guard(name, existed);
    if (guard != nullptr && !existed) return kChildOwned;
    if (guard == nullptr && existed) return kChildRefused;
    return 12;
}
const port_test::ChildRole kTryGuard("try-guard", try_guard);

TEST(InstanceGuard, RefusesASecondOwnerUntilReleased) {
    const std::string name = port_test::unique_name("SorvanePortTest");
    bool existed = true;
    auto guard = create_instance_guard(name, existed);
    ASSERT_NE(guard, nullptr);
    EXPECT_FALSE(existed);

    EXPECT_EQ(port_test::run_child("try-guard", name), kChildRefused);
    bool again = false;
    EXPECT_EQ(create_instance_guard(name, again), nullptr);
    EXPECT_TRUE(again);

    guard.reset();
    EXPECT_EQ(port_test::run_child("try-guard", name), kChildOwned);
    EXPECT_FALSE(request_running_instance_panel());
}

}  // namespace
}  // namespace sorvane::platform
