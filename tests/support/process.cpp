#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace sorvane::test {

std::string bin_path(const std::string& program) {
    return std::string(SORVANE_BIN_DIR) + "/" + program;
}

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env, const std::string& cwd,
                 const std::string* stdin_data) {
    std::string pattern = (std::filesystem::temp_directory_path() / "sorvane-proc-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    const std::string in_path = dir_ + "/stdin";
    write_all(in_path, stdin_data != nullptr ? *stdin_data : std::string());
    const std::string out_path = dir_ + "/stdout";
    const std::string err_path = dir_ + "/stderr";

    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        const std::string key = entry.substr(0, entry.find('='));
        if (env.count(key) == 0) env_strings.push_back(entry);
    }
    for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);

    std::vector<std::string> argv_strings{program};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_strings) argv.push_back(s.data());
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // Child: fresh signal state, redirected streams.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const int in = open(in_path.c_str(), O_RDONLY);
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // Nothing else of the test's goes with it: a program that outlives
        // its test (a daemon it starts) must not hold the test's files, such
        // as the lock the test run was started under.
        close_range(3, ~0U, 0);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execve(argv[0], argv.data(), envp.data());
        const char* why = strerror(errno);
        (void)!::write(2, why, strlen(why));
        _exit(127);
    }
}

Process::~Process() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void Process::signal(int sig) {
    if (!reaped_ && pid_ > 0) kill(pid_, sig);
}

bool Process::running() {
    if (reaped_) return false;
    const pid_t r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) reaped_ = true;
    return !reaped_;
}

int Process::wait(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (running()) {
        if (std::chrono::steady_clock::now() >= end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
            reaped_ = true;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
    return -1;
}

std::string Process::out() const { return read_all(dir_ + "/stdout"); }
std::string Process::err() const { return read_all(dir_ + "/stderr"); }

bool Process::wait_for_output(const std::string& text, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (out().find(text) != std::string::npos) return true;
        if (!running()) return out().find(text) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env, const std::string& cwd, const std::string* stdin_data) {
    Process p(program, args, env, cwd, stdin_data);
    RunResult r;
    r.code = p.wait();
    r.out = p.out();
    r.err = p.err();
    return r;
}

}  // namespace sorvane::test
