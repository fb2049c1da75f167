// The lock file that processes share: a second locker waits until the first
// lets go, the lock ends with its object, and a lock file that cannot be
// created gives no lock.
#include "platform/file_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/platform/ports/port_test.h"

namespace sorvane::platform {
namespace {

TEST(FileLock, ASecondLockerWaitsUntilTheFirstLetsGo) {
    port_test::TempFolder dir;
    const std::string path = dir.file("settings.txt.lock");
    auto first = lock_file(path);
    ASSERT_TRUE(first);
    std::atomic<bool> released{false};
    bool second_after_release = false;
    std::thread other([&] {
        auto second = lock_file(path);  // another handle: waits for the first
        second_after_release = second != nullptr && released.load();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it reach the wait
    released.store(true);
    first.reset();
    other.join();
    EXPECT_TRUE(second_after_release);

    // Ended with its object: locking again at once succeeds.
    EXPECT_TRUE(lock_file(path));
    EXPECT_FALSE(lock_file(dir.file("missing/folder.lock")));
}

}  // namespace
}  // namespace sorvane::platform
