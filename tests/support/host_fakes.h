// Test doubles of the host's own facilities: the log captured in memory and a
// data protector that protects nothing. Header-only: the test that includes
// it links the host libraries it already uses.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "host/core/log.h"
#include "host/trust/tls_log.h"
#include "platform/protect.h"

namespace sorvane::test {

// Polls cond until it holds; the bound only guards against a hang.
inline bool eventually(const std::function<bool()>& cond, int bound_ms = 10'000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Collects the host's log lines (and silences the "[tls]" lines) while it lives.
class HostLog {
public:
    HostLog() {
        process_log().set_echo_sink([this](std::string_view s) {
            std::lock_guard<std::mutex> g(mutex_);
            text_.append(s);
        });
        process_log().open(true, "");
        set_tls_log_sink([](std::string_view) {});
    }
    ~HostLog() {
        process_log().set_echo_sink([](std::string_view) {});
        set_tls_log_sink({});
    }
    HostLog(const HostLog&) = delete;
    HostLog& operator=(const HostLog&) = delete;

    size_t count(const std::string& s) const {
        std::lock_guard<std::mutex> g(mutex_);
        size_t n = 0;
        for (size_t at = text_.find(s); at != std::string::npos; at = text_.find(s, at + 1)) ++n;
        return n;
    }
    bool has(const std::string& s) const { return count(s) > 0; }
    std::string text() const {
        std::lock_guard<std::mutex> g(mutex_);
        return text_;
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
};

// Keeps the plaintext as it is.
class NullProtector : public platform::IDataProtector {
public:
    bool protect(std::string_view plain, std::string_view, std::string& blob, uint32_t&) override {
        blob = plain;
        return true;
    }
    bool unprotect(std::string_view blob, std::string& plain, uint32_t&) override {
        plain = blob;
        return true;
    }
};

}  // namespace sorvane::test
