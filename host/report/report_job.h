// The panel's report job: one report at a time on a thread of its own, with
// a cancel flag and a generation that makes a late result of a cancelled job
// harmless.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "host/report/report.h"

namespace sorvane::hostreport {

class ReportJob {
public:
    // Runs one report (create with the program's environment).
    using Runner = std::function<Result(const Info& info, std::atomic<bool>* cancel)>;
    // Called on the job's thread when it ends, with its generation: the panel
    // posts it to its own thread and calls finish() there.
    using Finished = std::function<void(uint64_t generation)>;

    struct State {
        std::string state = "idle";  // "idle", "running", "done" or "error"
        int files = 0;
        std::string error;
        std::string path;
    };

    ReportJob(Runner runner, Finished finished);
    // Cancels a running job.
    ~ReportJob();
    ReportJob(const ReportJob&) = delete;
    ReportJob& operator=(const ReportJob&) = delete;

    // "create_report": starts a job unless one is running (false then).
    bool start(const Info& info);
    // The job of generation has ended: unless it is stale or was cancelled,
    // takes its result ("done" with the file count, or "error") and logs it.
    void finish(uint64_t generation);
    // Hiding the panel, "close_report", destruction: the running job stops
    // and its result is never shown; a report it finished meanwhile is
    // removed, since the user was never told of it. A running state becomes
    // "idle".
    void cancel();
    // "open_report": back to "idle" unless a job runs.
    void reset();

    State state() const;
    uint64_t generation() const;

private:
    void join_finished();

    const Runner runner_;
    const Finished finished_;
    mutable std::mutex mutex_;  // the fields below
    State state_;
    uint64_t generation_ = 0;
    std::thread thread_;
    bool result_ready_ = false;
    bool delivered_ = true;  // the current job's result reached the panel (or there is none)
    Result result_;
    std::atomic<bool> cancel_{false};
};

}  // namespace sorvane::hostreport
