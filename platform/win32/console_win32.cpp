// The console control handler. Windows calls the handler routine on a thread
// of its own for each event; the routine hands the event to the handler's
// thread, which calls the callback. For close, log-off and shut-down the
// process ends when the routine returns, so the routine waits until the
// callback has run.
#include <windows.h>
#include <io.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/console.h"

namespace sorvane::platform {

namespace {

struct HandlerState {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<ControlEvent> queue;
    uint64_t posted = 0;
    uint64_t delivered = 0;
    bool stop = false;
};

std::mutex g_mutex;
std::shared_ptr<HandlerState> g_state;  // the installed handler's, guarded by g_mutex

BOOL WINAPI on_control(DWORD type) {
    ControlEvent ev = ControlEvent::interrupt;
    bool wait = false;
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            ev = ControlEvent::interrupt;
            break;
        case CTRL_CLOSE_EVENT:
            ev = ControlEvent::terminate;
            wait = true;
            break;
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            ev = ControlEvent::hangup;
            wait = true;
            break;
        default:
            return FALSE;
    }
    std::shared_ptr<HandlerState> state;
    {
        std::lock_guard<std::mutex> g(g_mutex);
        state = g_state;
    }
    if (!state) return FALSE;
    std::unique_lock<std::mutex> lock(state->mutex);
    if (state->stop) return FALSE;
    state->queue.push_back(ev);
    const uint64_t ticket = ++state->posted;
    state->cv.notify_all();
    if (wait) state->cv.wait(lock, [&] { return state->delivered >= ticket || state->stop; });
    return TRUE;
}

class Win32ControlHandler final : public ConsoleControlHandler {
public:
    Win32ControlHandler(std::shared_ptr<HandlerState> state, std::function<void(ControlEvent)> cb)
        : state_(std::move(state)), callback_(std::move(cb)) {
        thread_ = std::thread([this] { run(); });
    }
    ~Win32ControlHandler() override { uninstall(); }
    Win32ControlHandler(const Win32ControlHandler&) = delete;
    Win32ControlHandler& operator=(const Win32ControlHandler&) = delete;

    void uninstall() override {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> g(g_mutex);
            if (g_state == state_) {
                g_state.reset();
                SetConsoleCtrlHandler(on_control, FALSE);
            }
        }
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->stop = true;
        }
        state_->cv.notify_all();
        thread_.join();
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(state_->mutex);
        for (;;) {
            state_->cv.wait(lock, [&] { return state_->stop || !state_->queue.empty(); });
            if (state_->stop) return;
            const ControlEvent ev = state_->queue.front();
            state_->queue.pop_front();
            lock.unlock();
            callback_(ev);
            lock.lock();
            ++state_->delivered;
            state_->cv.notify_all();
        }
    }

    std::shared_ptr<HandlerState> state_;
    std::function<void(ControlEvent)> callback_;
    std::thread thread_;
};

}  // namespace

// Windows raises no signal for a write to a closed socket or pipe, and the
// control events arrive through the handler routine only.
void prepare_process_signals() {}

std::unique_ptr<ConsoleControlHandler> install_console_control_handler(std::function<void(ControlEvent)> on_event) {
    auto state = std::make_shared<HandlerState>();
    {
        std::lock_guard<std::mutex> g(g_mutex);
        if (!g_state && !SetConsoleCtrlHandler(on_control, TRUE)) return nullptr;
        g_state = state;
    }
    return std::make_unique<Win32ControlHandler>(std::move(state), std::move(on_event));
}

void set_console_output_utf8() { SetConsoleOutputCP(CP_UTF8); }

bool stdout_is_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void detach_console() {
    const HWND window = GetConsoleWindow();
    if (window != nullptr) ShowWindow(window, SW_HIDE);
    FreeConsole();
}

}  // namespace sorvane::platform
