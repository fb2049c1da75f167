// Child processes on Linux. A child that ends with a Windows exit code wider
// than 8 bits (pnputil's 3010) writes it to the file named by
// SORVANE_EXIT_CODE_PATH, which the runner reads after the child ended.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/text.h"
#include "platform/files.h"
#include "platform/process.h"

extern char** environ;

namespace sorvane::platform {

namespace {

class LinuxProcessRunner final : public IProcessRunner {
public:
    explicit LinuxProcessRunner(IClock& clock) : clock_(clock) {}

    ChildResult run(std::string_view command_line, uint64_t timeout_ms) override {
        ChildResult r;
        const auto args = split_command_line(command_line);
        if (args.empty() || args[0].empty() || args[0][0] != '/') {
            r.error = "program must be named by its full path";
            return r;
        }
        char code_path[] = "/tmp/sorvane-exit-XXXXXX";
        const int code_fd = ::mkstemp(code_path);
        if (code_fd < 0) {
            r.error = std::string("mkstemp: ") + std::strerror(errno);
            return r;
        }
        ::close(code_fd);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            r.error = std::string("pipe: ") + std::strerror(errno);
            ::unlink(code_path);
            return r;
        }
        int exec_fds[2];  // closed by a successful exec; carries errno otherwise
        if (::pipe2(exec_fds, O_CLOEXEC) != 0) {
            r.error = std::string("pipe: ") + std::strerror(errno);
            ::close(fds[0]);
            ::close(fds[1]);
            ::unlink(code_path);
            return r;
        }
        std::vector<std::string> env_strings;
        for (char** e = environ; *e != nullptr; ++e)
            if (std::strncmp(*e, "SORVANE_EXIT_CODE_PATH=", 23) != 0) env_strings.emplace_back(*e);
        env_strings.push_back(std::string("SORVANE_EXIT_CODE_PATH=") + code_path);
        std::vector<char*> envp;
        for (auto& s : env_strings) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::vector<std::string> argv_strings = args;
        std::vector<char*> argv;
        for (auto& s : argv_strings) argv.push_back(s.data());
        argv.push_back(nullptr);

        const pid_t pid = ::fork();
        if (pid < 0) {
            r.error = std::string("fork: ") + std::strerror(errno);
            for (int fd : {fds[0], fds[1], exec_fds[0], exec_fds[1]}) ::close(fd);
            ::unlink(code_path);
            return r;
        }
        if (pid == 0) {
            ::setpgid(0, 0);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::dup2(fds[1], 1);
            ::dup2(fds[1], 2);
            ::execve(argv[0], argv.data(), envp.data());
            const int e = errno;
            (void)!::write(exec_fds[1], &e, sizeof e);
            _exit(127);
        }
        ::close(fds[1]);
        ::close(exec_fds[1]);
        int exec_errno = 0;
        ssize_t got_errno;
        while ((got_errno = ::read(exec_fds[0], &exec_errno, sizeof exec_errno)) < 0 && errno == EINTR) {
        }
        ::close(exec_fds[0]);
        if (got_errno == static_cast<ssize_t>(sizeof exec_errno)) {
            ::close(fds[0]);
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            ::unlink(code_path);
            r.error = "could not start " + scrub_control(args[0]) + ": " + std::strerror(exec_errno);
            return r;
        }
        const uint64_t deadline = clock_.now_ms() + timeout_ms;
        // Read until the pipe closes or the deadline passes.
        bool open = true;
        char buf[4096];
        while (open && clock_.now_ms() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            const int n = ::poll(&p, 1, 50);
            if (n < 0 && errno != EINTR) break;
            if (n <= 0) continue;
            const ssize_t got = ::read(fds[0], buf, sizeof buf);
            if (got > 0) r.output.append(buf, static_cast<size_t>(got));
            else if (got == 0 || errno != EINTR) open = false;
        }
        ::close(fds[0]);
        int status = 0;
        bool reaped = false;
        for (;;) {
            const pid_t w = ::waitpid(pid, &status, WNOHANG);
            if (w == pid) {
                reaped = true;
                break;
            }
            if (w < 0 && errno != EINTR) break;
            if (clock_.now_ms() >= deadline) break;
            ::poll(nullptr, 0, 10);
        }
        if (!reaped) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            r.started = true;
            r.timed_out = true;
            r.exit_code = -1;
            ::unlink(code_path);
            return r;
        }
        std::string wide;
        read_file(code_path, 64, wide);
        ::unlink(code_path);
        r.started = true;
        int64_t v = 0;
        if (!wide.empty() && parse_int_exact(wide, v)) r.exit_code = v;
        else if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
        else r.exit_code = 128 + WTERMSIG(status);
        return r;
    }

private:
    IClock& clock_;
};

}  // namespace

std::unique_ptr<IProcessRunner> make_process_runner(IClock& clock) {
    return std::make_unique<LinuxProcessRunner>(clock);
}

}  // namespace sorvane::platform
