// The port suites' main: a child role when asked for one, else the tests.
#include <gtest/gtest.h>

#include "tests/platform/ports/port_test.h"

int main(int argc, char** argv) {
    const int child = sorvane::port_test::run_child_role(argc, argv);
    if (child >= 0) return child;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
