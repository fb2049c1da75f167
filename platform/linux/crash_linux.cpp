#include "platform/crash.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace sorvane::platform {
namespace {

std::atomic<FaultCallback> g_callback{nullptr};
std::atomic<bool> g_installed{false};
std::atomic<int> g_in_handler{0};
// The alternate stack lives for the whole process (a stack overflow must
// still find room to run the handler).
alignas(16) char g_alt_stack[64 * 1024];

const int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// The alternate stack of a thread other than the first: the kernel keeps one
// per thread, and a thread without one that overflows its stack is killed
// before any handler can run.
constexpr size_t kThreadAltStackSize = 64 * 1024;

struct ThreadAltStack {
    void* memory = nullptr;
    ~ThreadAltStack() {
        if (memory == nullptr) return;
        stack_t current;
        std::memset(&current, 0, sizeof current);
        if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == memory) {
            stack_t off;
            std::memset(&off, 0, sizeof off);
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
        }
        munmap(memory, kThreadAltStackSize);
    }
};
thread_local ThreadAltStack t_alt_stack;

uint32_t code_of(int sig) {
    switch (sig) {
        case SIGSEGV: return kExceptionAccessViolation;
        case SIGBUS: return kExceptionInPageError;
        case SIGILL: return kExceptionIllegalInstruction;
        case SIGFPE: return kExceptionIntDivideByZero;
        default: return kExceptionFatalAppExit;
    }
}

void on_fault(int sig, siginfo_t* info, void*) {
    // A fault inside the handler itself goes straight to the default action.
    if (g_in_handler.fetch_add(1) == 0) {
        FaultCallback cb = g_callback.load();
        uintptr_t address = sig == SIGABRT || info == nullptr ? 0 : reinterpret_cast<uintptr_t>(info->si_addr);
        if (cb) cb(code_of(sig), address);
    }
    // Default action: the process ends by this signal.
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig);
}

}  // namespace

bool install_fault_handlers(FaultCallback callback) {
    g_callback.store(callback);
    if (g_installed.exchange(true)) return true;
    stack_t ss;
    std::memset(&ss, 0, sizeof ss);
    ss.ss_sp = g_alt_stack;
    ss.ss_size = sizeof g_alt_stack;
    bool ok = sigaltstack(&ss, nullptr) == 0;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = on_fault;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int sig : kSignals) ok = sigaction(sig, &sa, nullptr) == 0 && ok;
    return ok;
}

bool install_thread_fault_stack() {
    stack_t current;
    std::memset(&current, 0, sizeof current);
    if (sigaltstack(nullptr, &current) != 0) return false;
    if ((current.ss_flags & SS_DISABLE) == 0) return true;
    void* memory = mmap(nullptr, kThreadAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                        -1, 0);
    if (memory == MAP_FAILED) return false;
    stack_t ss;
    std::memset(&ss, 0, sizeof ss);
    ss.ss_sp = memory;
    ss.ss_size = kThreadAltStackSize;
    if (sigaltstack(&ss, nullptr) != 0) {
        munmap(memory, kThreadAltStackSize);
        return false;
    }
    t_alt_stack.memory = memory;
    return true;
}

int crash_open_append(const char* path) { return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644); }

int crash_create_file(const char* path, int& error) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    error = fd < 0 ? errno : 0;
    return fd;
}

bool crash_make_directory(const char* path) { return mkdir(path, 0700) == 0 || errno == EEXIST; }

bool crash_write(int handle, const char* data, size_t size) {
    if (handle < 0) return false;
    while (size > 0) {
        ssize_t n = write(handle, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void crash_close(int handle) {
    if (handle >= 0) close(handle);
}

int crash_last_error() { return errno; }

int crash_stderr_handle() { return STDERR_FILENO; }

int64_t crash_wall_ms() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

uint64_t crash_monotonic_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

int crash_write_minidump(int, uint32_t, uintptr_t) { return -1; }

uint32_t crash_process_id() { return static_cast<uint32_t>(getpid()); }

void crash_abort_process() {
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(SIGABRT, &dfl, nullptr);
    std::abort();
}

}  // namespace sorvane::platform
