// Shared pieces of the input tests: the host log captured in memory and a
// desktop target that records what reached it.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host/core/log.h"
#include "platform/sim/input_target.h"

namespace sorvane::test {

class LogCapture {
public:
    LogCapture() {
        process_log().set_echo_sink([this](std::string_view s) {
            std::lock_guard<std::mutex> g(mutex_);
            text_.append(s);
        });
        process_log().open(true, "");
    }
    ~LogCapture() { process_log().set_echo_sink([](std::string_view) {}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    size_t count(std::string_view s) const {
        std::lock_guard<std::mutex> g(mutex_);
        size_t n = 0;
        for (size_t at = text_.find(s); at != std::string::npos; at = text_.find(s, at + 1)) ++n;
        return n;
    }
    std::string text() const {
        std::lock_guard<std::mutex> g(mutex_);
        return text_;
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
};

struct DesktopPoint {
    int32_t x;
    int32_t y;
    uint32_t button;  // 0 for a touch
    bool operator==(const DesktopPoint&) const = default;
};

class RecordingTarget : public sim::IDesktopInputTarget {
public:
    void pointer_moved(int32_t x, int32_t y) override { moves.push_back({x, y, 0}); }
    void click(int32_t x, int32_t y, uint32_t button) override { clicks.push_back({x, y, button}); }
    void touch_down(int32_t x, int32_t y) override { touches.push_back({x, y, 0}); }
    void key(const sim::DesktopKey& k) override { keys.push_back(k); }

    std::vector<DesktopPoint> moves, clicks, touches;
    std::vector<sim::DesktopKey> keys;
};

}  // namespace sorvane::test
