// The console control handler: an event sent to the process reaches the
// callback on the handler's thread, once; uninstalling twice is harmless.
#include "platform/console.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include "tests/platform/ports/port_test.h"

namespace sorvane::platform {
namespace {

constexpr int kNoEvent = 20;
constexpr int kCannotSend = 21;

// Child: installs the handler, sends itself one control event and exits with
// 30 + the event it received.
int receive_event(const std::string&) {
    prepare_process_signals();
    std::mutex m;
    std::condition_variable cv;
    int received = -1;
    int calls = 0;
    const std::thread::id main_thread = std::this_thread::get_id();
    bool other_thread = false;
    auto handler = install_console_control_handler([&](ControlEvent ev) {
        std::lock_guard<std::mutex> g(m);
        received = static_cast<int>(ev);
        other_thread = std::this_thread::get_id() != main_thread;
        ++calls;
        cv.notify_all();
    });
    if (handler == nullptr) return kNoEvent;
#ifdef _WIN32
    // The child leads its own process group, so the event reaches it alone.
    if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, GetCurrentProcessId())) return kCannotSend;
#else
    if (::kill(::getpid(), SIGTERM) != 0) return kCannotSend;
#endif
    std::unique_lock<std::mutex> lock(m);
    if (!cv.wait_for(lock, std::chrono::seconds(20), [&] { return calls > 0; })) return kNoEvent;
    lock.unlock();
    handler->uninstall();
    handler->uninstall();
    if (calls != 1 || !other_thread) return kNoEvent;
    return 30 + received;
}
const port_test::ChildRole kReceiveEvent("receive-event", receive_event);

TEST(ConsoleControl, AnEventReachesTheCallbackOnItsOwnThread) {
    const int code = port_test::run_child("receive-event", "-", true);
    if (code == kCannotSend) GTEST_SKIP() << "no control event can be sent here (Wine refuses GenerateConsoleCtrlEvent)";
#ifdef _WIN32
    EXPECT_EQ(code, 30 + static_cast<int>(ControlEvent::interrupt));  // Ctrl+Break
#else
    EXPECT_EQ(code, 30 + static_cast<int>(ControlEvent::terminate));  // SIGTERM
#endif
}

}  // namespace
}  // namespace sorvane::platform
