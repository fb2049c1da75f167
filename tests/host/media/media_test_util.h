// Helpers of the media tests: the host log captured in memory.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "host/core/log.h"

namespace sorvane::test {

class MediaLog {
public:
    MediaLog() {
        process_log().set_echo_sink([this](std::string_view s) {
            std::lock_guard<std::mutex> g(mutex_);
            text_.append(s);
        });
        process_log().open(true, "");
    }
    ~MediaLog() { process_log().set_echo_sink([](std::string_view) {}); }
    MediaLog(const MediaLog&) = delete;
    MediaLog& operator=(const MediaLog&) = delete;

    bool has(const std::string& s) const {
        std::lock_guard<std::mutex> g(mutex_);
        return text_.find(s) != std::string::npos;
    }
    std::string text() const {
        std::lock_guard<std::mutex> g(mutex_);
        return text_;
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
};

}  // namespace sorvane::test
