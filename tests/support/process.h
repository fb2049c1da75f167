// Runs a program of build/bin as a child process for whole-program tests.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace sorvane::test {

// Path of a program in the build's bin folder.
std::string bin_path(const std::string& program);

class Process {
public:
    // Starts program with args; env entries are added to (or override) the
    // test's environment. Standard output and error are collected into files
    // in a private folder; standard input is /dev/null unless stdin_data is given.
    Process(const std::string& program, const std::vector<std::string>& args,
            const std::map<std::string, std::string>& env = {}, const std::string& cwd = {},
            const std::string* stdin_data = nullptr);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    void signal(int sig);
    // Waits for the exit; returns the exit code, 128+signal for a signal, or
    // -1 when it did not end in time (it is then killed).
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
    bool running();

    // What the child has written so far.
    std::string out() const;
    std::string err() const;

    // Polls out() (real time, bounded) until it contains text.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(30));

private:
    int pid_ = -1;
    int status_ = 0;
    bool reaped_ = false;
    std::string dir_;
};

// Runs to completion and returns {exit code, stdout, stderr}.
struct RunResult {
    int code = -1;
    std::string out;
    std::string err;
};
RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env = {}, const std::string& cwd = {},
              const std::string* stdin_data = nullptr);

}  // namespace sorvane::test
