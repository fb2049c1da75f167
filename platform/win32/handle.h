// Kernel handles owned by one object: closed when it goes.
#pragma once

#include <windows.h>

#include <string>

namespace sorvane::platform::win32 {

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& o) noexcept : h_(o.release()) {}
    Handle& operator=(Handle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }

    HANDLE get() const { return h_; }
    HANDLE* out() {
        reset();
        return &h_;
    }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE release() {
        HANDLE h = h_;
        h_ = nullptr;
        return h;
    }
    void reset(HANDLE h = nullptr) {
        if (valid()) CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

// The user of a token as a string SID ("S-1-5-21-..."); false when it cannot be read.
bool token_user_sid(HANDLE token, std::string& sid);

// A SID in its string form; empty when it cannot be converted.
std::string sid_text(PSID sid);

}  // namespace sorvane::platform::win32
