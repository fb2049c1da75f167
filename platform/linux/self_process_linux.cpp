// This program's own process on Linux: /proc/self/exe and /proc/self/cmdline.
// The new process is the grandchild of a short-lived child, so it is never
// left behind as a zombie of this one and outlives it as an orphan.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform/self_process.h"

namespace sorvane::platform {

bool module_file_name(std::string& out) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return false;
    out.assign(buf, static_cast<size_t>(n));
    return true;
}

namespace {

bool own_arguments(std::vector<std::string>& out) {
    out.clear();
    FILE* f = std::fopen("/proc/self/cmdline", "rb");
    if (f == nullptr) return false;
    std::string all;
    char chunk[4096];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) all.append(chunk, n);
    std::fclose(f);
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\0', start);
        if (end == std::string::npos) end = all.size();
        out.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return !out.empty();
}

}  // namespace

uint32_t start_self_again(const std::vector<std::string>& extra_args) {
    std::string exe;
    std::vector<std::string> args;
    if (!module_file_name(exe) || !own_arguments(args)) return static_cast<uint32_t>(ENOENT);
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int report[2];  // the grandchild's exec errno; closed by a successful exec
    if (::pipe2(report, O_CLOEXEC) != 0) return static_cast<uint32_t>(errno);
    const pid_t child = ::fork();
    if (child < 0) {
        const int e = errno;
        ::close(report[0]);
        ::close(report[1]);
        return static_cast<uint32_t>(e);
    }
    if (child == 0) {
        ::close(report[0]);
        const pid_t grandchild = ::fork();
        if (grandchild < 0) {
            const int e = errno;
            (void)!::write(report[1], &e, sizeof e);
            ::_exit(1);
        }
        if (grandchild > 0) ::_exit(0);
        ::setsid();
        // No handle of this process reaches the new one but the standard three.
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != report[1]) ::close(fd);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(exe.c_str(), argv.data());
        const int e = errno;
        (void)!::write(report[1], &e, sizeof e);
        ::_exit(127);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int exec_errno = 0;
    ssize_t got = 0;
    do {
        got = ::read(report[0], &exec_errno, sizeof exec_errno);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof exec_errno)) return static_cast<uint32_t>(exec_errno);
    return 0;
}

}  // namespace sorvane::platform
