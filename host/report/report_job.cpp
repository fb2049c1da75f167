#include "host/report/report_job.h"

#include "host/core/log.h"
#include "platform/files.h"

namespace sorvane::hostreport {

ReportJob::ReportJob(Runner runner, Finished finished) : runner_(std::move(runner)), finished_(std::move(finished)) {}

ReportJob::~ReportJob() { cancel(); }

void ReportJob::join_finished() {
    std::thread done;
    {
        std::lock_guard<std::mutex> g(mutex_);
        done = std::move(thread_);
    }
    if (done.joinable()) done.join();
}

bool ReportJob::start(const Info& info) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (state_.state == "running") return false;
    }
    join_finished();
    std::lock_guard<std::mutex> g(mutex_);
    state_.state = "running";
    state_.error.clear();
    cancel_.store(false);
    const uint64_t generation = ++generation_;
    result_ready_ = false;
    delivered_ = false;
    thread_ = std::thread([this, info, generation] {
        Result r = runner_(info, &cancel_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (generation == generation_) {
                result_ = std::move(r);
                result_ready_ = true;
            } else if (r.ok) {
                // Cancelled while it finished: nobody will ever show this file.
                platform::remove_file(r.path);
            }
        }
        if (finished_) finished_(generation);
    });
    return true;
}

void ReportJob::finish(uint64_t generation) {
    Result r;
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (generation != generation_ || !result_ready_ || delivered_) return;
    }
    join_finished();
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (generation != generation_) return;
        delivered_ = true;
        r = result_;
        if (r.cancelled) return;
        if (r.ok) {
            state_.state = "done";
            state_.files = r.files;
            state_.path = r.path;
        } else {
            state_.state = "error";
            state_.error = r.error;
        }
    }
    if (r.ok) {
        log("[report] sorun raporu olusturuldu (%d dosya)", r.files);
    } else {
        log("[report] HATA: %s", r.error.c_str());
    }
}

void ReportJob::cancel() {
    {
        std::lock_guard<std::mutex> g(mutex_);
        ++generation_;
        cancel_.store(true);
    }
    join_finished();
    std::lock_guard<std::mutex> g(mutex_);
    // A report that finished before it saw the flag, but whose result the
    // panel never took: the user did not get it, so it does not stay.
    if (result_ready_ && !delivered_ && result_.ok) platform::remove_file(result_.path);
    result_ready_ = false;
    delivered_ = true;
    cancel_.store(false);
    if (state_.state == "running") state_.state = "idle";
}

void ReportJob::reset() {
    std::lock_guard<std::mutex> g(mutex_);
    if (state_.state != "running") {
        state_.state = "idle";
        state_.error.clear();
    }
}

ReportJob::State ReportJob::state() const {
    std::lock_guard<std::mutex> g(mutex_);
    return state_;
}

uint64_t ReportJob::generation() const {
    std::lock_guard<std::mutex> g(mutex_);
    return generation_;
}

}  // namespace sorvane::hostreport
