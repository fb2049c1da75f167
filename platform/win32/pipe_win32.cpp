// Named pipes in message mode with overlapped I/O. The listener claims the
// name with its first instance and keeps one instance listening from then
// on, making the next one before it hands a connected one out. The system applies the security descriptor when a client opens
// the pipe, so a peer it does not admit never reaches accept; the peer's SID
// is read from its token while impersonating it (clients allow
// identification only).
//
// Every wait is on the operation's event, the listener's stop event and the
// connection's close event, so stop() and close() wake blocked readers and
// writers; a wait that ends another way cancels its I/O before returning.
#include <windows.h>
#include <sddl.h>

#include <mutex>

#include "platform/pipe.h"
#include "platform/win32/handle.h"
#include "platform/win32/win32_text.h"
#include "platform/win_error.h"

namespace sorvane::platform {

namespace {

using win32::Handle;

constexpr DWORD kBufferSize = 4096;

bool pipe_name_valid(const std::string& name) {
    static const char kPrefix[] = "\\\\.\\pipe\\";
    const size_t n = sizeof kPrefix - 1;
    if (name.size() <= n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kPrefix[i]) return false;
    }
    return true;
}

std::shared_ptr<void> manual_event() {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (h == nullptr) return nullptr;
    return std::shared_ptr<void>(h, [](void* p) { CloseHandle(static_cast<HANDLE>(p)); });
}

enum class Wait { done, timed_out, stopped, closed };

// Waits for an overlapped operation; anything but its completion cancels it.
Wait wait_io(HANDLE file, OVERLAPPED& ov, uint32_t timeout_ms, HANDLE stop, HANDLE closed) {
    HANDLE events[3] = {ov.hEvent, closed, stop};
    const DWORD count = stop != nullptr ? 3 : 2;
    const DWORD w = WaitForMultipleObjects(count, events, FALSE, timeout_ms == 0 ? INFINITE : timeout_ms);
    if (w == WAIT_OBJECT_0) return Wait::done;
    CancelIoEx(file, &ov);
    DWORD ignored = 0;
    GetOverlappedResult(file, &ov, &ignored, TRUE);
    if (w == WAIT_OBJECT_0 + 1) return Wait::closed;
    if (w == WAIT_OBJECT_0 + 2) return Wait::stopped;
    return Wait::timed_out;
}

PipeResult failed(DWORD e) {
    if (e == ERROR_BROKEN_PIPE || e == ERROR_PIPE_NOT_CONNECTED || e == ERROR_NO_DATA || e == ERROR_OPERATION_ABORTED)
        return {PipeStatus::closed, kErrorBrokenPipe, 0, 0};
    return {PipeStatus::error, e, 0, 0};
}

PipeResult from_wait(Wait w) {
    switch (w) {
        case Wait::timed_out: return {PipeStatus::timed_out, kErrorTimeout, 0, 0};
        case Wait::stopped: return {PipeStatus::stopped, 0, 0, 0};
        default: return {PipeStatus::closed, kErrorBrokenPipe, 0, 0};
    }
}

class Win32PipeConnection final : public IPipeConnection {
public:
    Win32PipeConnection(HANDLE pipe, bool server, std::shared_ptr<void> stop)
        : pipe_(pipe), server_(server), stop_(std::move(stop)), closed_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          read_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          write_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    ~Win32PipeConnection() override {
        if (server_) DisconnectNamedPipe(pipe_.get());
    }
    Win32PipeConnection(const Win32PipeConnection&) = delete;
    Win32PipeConnection& operator=(const Win32PipeConnection&) = delete;

    bool usable() const { return pipe_.valid() && closed_.valid() && read_event_.valid() && write_event_.valid(); }

    void identify_client() {
        ULONG pid = 0;
        if (GetNamedPipeClientProcessId(pipe_.get(), &pid)) pid_ = pid;
        if (!ImpersonateNamedPipeClient(pipe_.get())) return;
        Handle token;
        if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.out())) win32::token_user_sid(token.get(), sid_);
        RevertToSelf();
    }

    void identify_server() {
        ULONG pid = 0;
        if (GetNamedPipeServerProcessId(pipe_.get(), &pid)) pid_ = pid;
    }

    PipeResult read_message(void* buf, size_t capacity, uint32_t timeout_ms) override {
        const DWORD cap = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
        DWORD got = 0;
        DWORD e = 0;
        const PipeResult r = transfer(true, buf, cap, timeout_ms, got, e);
        if (!r.ok()) return r;
        PipeResult out;
        out.bytes = got;
        out.message_size = got;
        if (e == ERROR_MORE_DATA) {
            // The rest of the message is there already: drop it, counting.
            out.error = kErrorMoreData;
            char scratch[kBufferSize];
            for (;;) {
                DWORD more = 0;
                DWORD more_error = 0;
                const PipeResult rest = transfer(true, scratch, sizeof scratch, timeout_ms, more, more_error);
                if (!rest.ok()) return rest;
                out.message_size += more;
                if (more_error != ERROR_MORE_DATA) break;
            }
        }
        return out;
    }

    PipeResult write_message(const void* data, size_t n, uint32_t timeout_ms) override {
        if (n > MAXDWORD) return {PipeStatus::error, kErrorInvalidParameter, 0, 0};
        DWORD sent = 0;
        DWORD e = 0;
        PipeResult r = transfer(false, const_cast<void*>(data), static_cast<DWORD>(n), timeout_ms, sent, e);
        if (!r.ok()) return r;
        r.bytes = sent;
        r.message_size = sent;
        return r;
    }

    uint32_t peer_pid() const override { return pid_; }
    std::string peer_sid() const override { return sid_; }

    void close() override {
        SetEvent(closed_.get());
        CancelIoEx(pipe_.get(), nullptr);
    }

private:
    // One overlapped read or write. e keeps ERROR_MORE_DATA of a read.
    PipeResult transfer(bool read, void* buf, DWORD n, uint32_t timeout_ms, DWORD& done, DWORD& e) {
        if (WaitForSingleObject(closed_.get(), 0) == WAIT_OBJECT_0) return {PipeStatus::closed, kErrorBrokenPipe, 0, 0};
        std::lock_guard<std::mutex> lock(read ? read_mutex_ : write_mutex_);
        OVERLAPPED ov{};
        ov.hEvent = (read ? read_event_ : write_event_).get();
        ResetEvent(ov.hEvent);
        const BOOL ok = read ? ReadFile(pipe_.get(), buf, n, nullptr, &ov) : WriteFile(pipe_.get(), buf, n, nullptr, &ov);
        e = ok ? 0 : GetLastError();
        if (!ok && e != ERROR_IO_PENDING && e != ERROR_MORE_DATA) return failed(e);
        if (!ok && e == ERROR_IO_PENDING) {
            const Wait w = wait_io(pipe_.get(), ov, timeout_ms, static_cast<HANDLE>(stop_.get()), closed_.get());
            if (w != Wait::done) return from_wait(w);
        }
        e = 0;
        if (!GetOverlappedResult(pipe_.get(), &ov, &done, FALSE)) {
            e = GetLastError();
            if (e != ERROR_MORE_DATA) return failed(e);
        }
        return {};
    }

    Handle pipe_;
    bool server_;
    std::shared_ptr<void> stop_;  // the listener's; null for a client
    Handle closed_;
    Handle read_event_;
    Handle write_event_;
    std::mutex read_mutex_;
    std::mutex write_mutex_;
    uint32_t pid_ = 0;
    std::string sid_;
};

class Win32PipeListener final : public IPipeListener {
public:
    ~Win32PipeListener() override { stop(); }

    uint32_t open(const std::string& name, const std::string& sddl) {
        name_ = win32::widen(name);
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(win32::widen(sddl).c_str(), SDDL_REVISION_1, &sd,
                                                                  nullptr))
            return kErrorInvalidSecurityDescr;
        security_.reset(sd, [](void* p) { LocalFree(p); });
        stop_ = manual_event();
        accept_event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!stop_ || !accept_event_.valid()) return GetLastError();
        // The first instance claims the name: another owner makes this fail
        // with access denied. From here on one instance always listens.
        listening_.reset(create_instance(true));
        if (!listening_.valid()) return GetLastError();
        return 0;
    }

    PipeResult accept(std::unique_ptr<IPipeConnection>& out) override {
        const HANDLE stop = static_cast<HANDLE>(stop_.get());
        for (;;) {
            if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return {PipeStatus::stopped, 0, 0, 0};
            if (!listening_.valid()) {
                listening_.reset(create_instance(false));
                if (!listening_.valid()) return {PipeStatus::error, GetLastError(), 0, 0};
            }
            OVERLAPPED ov{};
            ov.hEvent = accept_event_.get();
            ResetEvent(ov.hEvent);
            bool connected = ConnectNamedPipe(listening_.get(), &ov) != 0;
            const DWORD e = connected ? 0 : GetLastError();
            if (e == ERROR_PIPE_CONNECTED) {
                connected = true;
            } else if (e == ERROR_IO_PENDING) {
                HANDLE events[2] = {ov.hEvent, stop};
                const DWORD w = WaitForMultipleObjects(2, events, FALSE, INFINITE);
                DWORD ignored = 0;
                if (w != WAIT_OBJECT_0) {
                    CancelIoEx(listening_.get(), &ov);
                    GetOverlappedResult(listening_.get(), &ov, &ignored, TRUE);
                    return {PipeStatus::stopped, 0, 0, 0};
                }
                connected = GetOverlappedResult(listening_.get(), &ov, &ignored, FALSE) != 0;
            }
            if (!connected) {
                // A client that came and went, or a broken instance: its
                // successor is made first, so the name is never free.
                Handle next(create_instance(false));
                if (!next.valid()) return {PipeStatus::error, GetLastError(), 0, 0};
                listening_.reset(next.release());
                continue;
            }
            auto conn = std::make_unique<Win32PipeConnection>(listening_.release(), true, stop_);
            listening_.reset(create_instance(false));  // the next one listens at once
            if (!conn->usable()) continue;
            conn->identify_client();
            out = std::move(conn);
            return {};
        }
    }

    void stop() override {
        if (stop_) SetEvent(static_cast<HANDLE>(stop_.get()));
    }

private:
    HANDLE create_instance(bool first) {
        SECURITY_ATTRIBUTES sa{sizeof sa, security_.get(), FALSE};
        return CreateNamedPipeW(name_.c_str(),
                                PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                PIPE_UNLIMITED_INSTANCES, kBufferSize, kBufferSize, 0, &sa);
    }

    std::wstring name_;
    std::shared_ptr<void> security_;
    std::shared_ptr<void> stop_;  // shared with the accepted connections
    Handle accept_event_;
    Handle listening_;
};

}  // namespace

std::unique_ptr<IPipeListener> create_pipe_listener(const std::string& name, const std::string& sddl,
                                                    uint32_t& error) {
    if (!pipe_name_valid(name)) {
        error = kErrorInvalidName;
        return nullptr;
    }
    auto l = std::make_unique<Win32PipeListener>();
    error = l->open(name, sddl);
    if (error != 0) return nullptr;
    return l;
}

std::unique_ptr<IPipeConnection> open_pipe(const std::string& name, uint32_t& error) {
    if (!pipe_name_valid(name)) {
        error = kErrorInvalidName;
        return nullptr;
    }
    HANDLE h = CreateFileW(win32::widen(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return nullptr;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(h, &mode, nullptr, nullptr)) {
        error = GetLastError();
        CloseHandle(h);
        return nullptr;
    }
    auto conn = std::make_unique<Win32PipeConnection>(h, false, nullptr);
    if (!conn->usable()) {
        error = kErrorGenFailure;
        return nullptr;
    }
    conn->identify_server();
    error = 0;
    return conn;
}

std::string process_user_sid() {
    Handle token;
    std::string sid;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) win32::token_user_sid(token.get(), sid);
    return sid;
}

}  // namespace sorvane::platform
