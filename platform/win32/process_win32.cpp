// Child processes through CreateProcessW. The child's standard output and
// standard error share the write end of a pipe that is the only handle it
// inherits (besides the caller's standard input); the runner reads the other
// end with overlapped reads so that the one deadline, read from the injected
// clock, covers reading and waiting alike. The child runs in a job object, so
// a child terminated at the deadline takes the processes it started with it.
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "common/text.h"
#include "platform/process.h"
#include "platform/win32/handle.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

// The waits between two looks at the clock.
constexpr uint64_t kSliceMs = 50;

using win32::Handle;

bool absolute_path(const std::string& p) {
    if (p.size() >= 3 && ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':' &&
        (p[2] == '\\' || p[2] == '/'))
        return true;
    return p.size() >= 3 && p[0] == '\\' && p[1] == '\\';
}

std::string failure(const char* step, DWORD e) {
    return std::string(step) + ": " + win32::error_text(e) + " (" + std::to_string(e) + ")";
}

// An inbound pipe whose read end this process keeps (overlapped) and whose
// write end the child inherits.
bool make_output_pipe(Handle& read_end, Handle& write_end, std::string& error) {
    static std::atomic<uint32_t> counter{0};
    wchar_t name[96];
    std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\pipe\\sorvane-child-%lu-%lu-%llu",
                  static_cast<unsigned long>(GetCurrentProcessId()), static_cast<unsigned long>(++counter),
                  static_cast<unsigned long long>(GetTickCount64()));
    read_end.reset(CreateNamedPipeW(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                    4096, 4096, 0, nullptr));
    if (!read_end.valid()) {
        error = failure("CreateNamedPipeW", GetLastError());
        return false;
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    write_end.reset(CreateFileW(name, GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!write_end.valid()) {
        error = failure("CreateFileW (pipe)", GetLastError());
        return false;
    }
    return true;
}

class Win32ProcessRunner final : public IProcessRunner {
public:
    explicit Win32ProcessRunner(IClock& clock) : clock_(clock) {}

    ChildResult run(std::string_view command_line, uint64_t timeout_ms) override {
        ChildResult r;
        const auto args = split_command_line(command_line);
        if (args.empty() || !absolute_path(args[0])) {
            r.error = "program must be named by its full path";
            return r;
        }
        Handle read_end, write_end;
        if (!make_output_pipe(read_end, write_end, r.error)) return r;

        // The caller's standard input, as an inheritable copy (none when it has none).
        Handle input;
        const HANDLE own_input = GetStdHandle(STD_INPUT_HANDLE);
        if (own_input != nullptr && own_input != INVALID_HANDLE_VALUE) {
            HANDLE copy = nullptr;
            if (DuplicateHandle(GetCurrentProcess(), own_input, GetCurrentProcess(), &copy, 0, TRUE,
                                DUPLICATE_SAME_ACCESS))
                input.reset(copy);
        }

        HANDLE inherited[2] = {write_end.get(), input.get()};
        const DWORD inherited_count = input.valid() ? 2 : 1;
        SIZE_T attr_size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &attr_size);
        std::vector<uint8_t> attr_buf(attr_size);
        auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attr_buf.data());
        if (!InitializeProcThreadAttributeList(attrs, 1, 0, &attr_size)) {
            r.error = failure("InitializeProcThreadAttributeList", GetLastError());
            return r;
        }
        const bool listed = UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                      inherited_count * sizeof(HANDLE), nullptr, nullptr) != 0;

        STARTUPINFOEXW si{};
        si.StartupInfo.cb = sizeof si;
        si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        si.StartupInfo.hStdInput = input.get();
        si.StartupInfo.hStdOutput = write_end.get();
        si.StartupInfo.hStdError = write_end.get();
        std::wstring cmd = win32::widen(command_line);
        const std::wstring program = win32::widen(args[0]);
        PROCESS_INFORMATION pi{};
        const DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT |
                            (listed ? EXTENDED_STARTUPINFO_PRESENT : 0);
        const BOOL started = CreateProcessW(program.c_str(), cmd.data(), nullptr, nullptr, TRUE, flags, nullptr,
                                            nullptr, &si.StartupInfo, &pi);
        const DWORD start_error = GetLastError();
        DeleteProcThreadAttributeList(attrs);
        write_end.reset();  // the child holds the only write end now
        input.reset();
        if (!started) {
            r.error = "could not start " + scrub_control(args[0]) + ": " + win32::error_text(start_error) + " (" +
                      std::to_string(start_error) + ")";
            return r;
        }
        Handle process(pi.hProcess);
        Handle thread(pi.hThread);
        Handle job(CreateJobObjectW(nullptr, nullptr));
        if (job.valid()) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
                !AssignProcessToJobObject(job.get(), process.get()))
                job.reset();
        }
        ResumeThread(thread.get());
        r.started = true;

        const uint64_t deadline = clock_.now_ms() + timeout_ms;
        read_output(read_end.get(), deadline, r.output);
        read_end.reset();

        for (;;) {
            const uint64_t now = clock_.now_ms();
            if (WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) break;
            if (now >= deadline) {
                if (job.valid()) TerminateJobObject(job.get(), 1);
                TerminateProcess(process.get(), 1);
                WaitForSingleObject(process.get(), INFINITE);
                r.timed_out = true;
                r.exit_code = -1;
                return r;
            }
            WaitForSingleObject(process.get(), static_cast<DWORD>(std::min<uint64_t>(deadline - now, kSliceMs)));
        }
        DWORD code = 0;
        GetExitCodeProcess(process.get(), &code);
        r.exit_code = static_cast<int64_t>(code);
        // The job is closed here: what the child left running ends with it.
        return r;
    }

private:
    // Reads until the pipe closes (every write end is gone) or the deadline.
    void read_output(HANDLE pipe, uint64_t deadline, std::string& out) {
        Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!event.valid()) return;
        char buf[4096];
        for (;;) {
            OVERLAPPED ov{};
            ov.hEvent = event.get();
            ResetEvent(event.get());
            DWORD got = 0;
            if (!ReadFile(pipe, buf, sizeof buf, &got, &ov)) {
                const DWORD e = GetLastError();
                if (e != ERROR_IO_PENDING) return;  // ERROR_BROKEN_PIPE: the child closed its end
                bool done = false;
                while (!done) {
                    const uint64_t now = clock_.now_ms();
                    if (now >= deadline) {
                        CancelIoEx(pipe, &ov);
                        GetOverlappedResult(pipe, &ov, &got, TRUE);
                        return;
                    }
                    const DWORD w = WaitForSingleObject(
                        event.get(), static_cast<DWORD>(std::min<uint64_t>(deadline - now, kSliceMs)));
                    done = w == WAIT_OBJECT_0;
                }
                if (!GetOverlappedResult(pipe, &ov, &got, FALSE)) return;
            }
            out.append(buf, got);
        }
    }

    IClock& clock_;
};

}  // namespace

std::unique_ptr<IProcessRunner> make_process_runner(IClock& clock) {
    return std::make_unique<Win32ProcessRunner>(clock);
}

}  // namespace sorvane::platform
