// The panel's report job: one at a time, its result taken on the panel's
// thread, and a cancel that leaves "idle", ignores the late result and
// removes a report nobody was told of.
#include "host/report/report_job.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "tests/support/host_fakes.h"
#include "tests/support/temp_dir.h"

namespace sorvane::hostreport {
namespace {

// A runner the test steps through: it reports that it started, then waits
// until released or cancelled, and "writes" its report file.
class FakeReports {
public:
    explicit FakeReports(std::string path) : path_(std::move(path)) {}

    Result run(std::atomic<bool>* cancel, bool ignore_cancel) {
        std::unique_lock<std::mutex> lock(mutex_);
        started_ = true;
        cv_.notify_all();
        // The wait is bounded by a release or a cancel only; the test drives both.
        while (!released_ && !(cancel->load() && !ignore_cancel)) {
            lock.unlock();
            std::this_thread::yield();
            lock.lock();
        }
        Result r;
        if (cancel->load() && !ignore_cancel) {
            r.error = "iptal";
            r.cancelled = true;
            return r;
        }
        test::write_all(path_, "PK");
        r.ok = true;
        r.path = path_;
        r.files = 7;
        return r;
    }
    void wait_started() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return started_; });
    }
    void release() {
        std::lock_guard<std::mutex> g(mutex_);
        released_ = true;
    }

private:
    std::string path_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool started_ = false;
    bool released_ = false;
};

// The panel's thread: the job's end arrives as a message with its generation.
struct Messages {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<uint64_t> generations;
    uint64_t wait_next() {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return !generations.empty(); });
        const uint64_t g = generations.front();
        generations.erase(generations.begin());
        return g;
    }
    void post(uint64_t g) {
        std::lock_guard<std::mutex> lock(mutex);
        generations.push_back(g);
        cv.notify_all();
    }
};

TEST(ReportJob, ADoneReportIsTakenOnceAndASecondStartWaitsForIt) {
    test::TempDir dir;
    test::HostLog log;
    FakeReports reports(dir.file("r.zip"));
    Messages messages;
    ReportJob job([&](const Info&, std::atomic<bool>* cancel) { return reports.run(cancel, false); },
                  [&](uint64_t g) { messages.post(g); });
    ASSERT_TRUE(job.start(Info{}));
    reports.wait_started();
    EXPECT_EQ(job.state().state, "running");
    EXPECT_FALSE(job.start(Info{}));
    reports.release();
    const uint64_t g = messages.wait_next();
    job.finish(g);
    EXPECT_EQ(job.state().state, "done");
    EXPECT_EQ(job.state().files, 7);
    EXPECT_EQ(job.state().path, dir.file("r.zip"));
    EXPECT_TRUE(log.has("[report] sorun raporu olusturuldu (7 dosya)\n"));
    job.finish(g);
    EXPECT_EQ(log.count("sorun raporu olusturuldu"), 1u);
    // The user has it: closing the view later keeps the file.
    job.cancel();
    EXPECT_EQ(job.state().state, "done");
    EXPECT_TRUE(platform::file_exists(dir.file("r.zip")));
}

TEST(ReportJob, CancelGoesBackToIdleAndTheLateResultIsIgnored) {
    test::TempDir dir;
    test::HostLog log;
    FakeReports reports(dir.file("r.zip"));
    Messages messages;
    ReportJob job([&](const Info&, std::atomic<bool>* cancel) { return reports.run(cancel, false); },
                  [&](uint64_t g) { messages.post(g); });
    ASSERT_TRUE(job.start(Info{}));
    reports.wait_started();
    job.cancel();
    EXPECT_EQ(job.state().state, "idle");
    job.finish(messages.wait_next());
    EXPECT_EQ(job.state().state, "idle");
    EXPECT_FALSE(log.has("[report] HATA"));
    EXPECT_FALSE(platform::file_exists(dir.file("r.zip")));
}

TEST(ReportJob, AReportFinishedAsTheUserCancelledDoesNotStay) {
    test::TempDir dir;
    FakeReports reports(dir.file("r.zip"));
    Messages messages;
    // This report completes although the flag is set: cancel came during its last write.
    ReportJob job([&](const Info&, std::atomic<bool>* cancel) { return reports.run(cancel, true); },
                  [&](uint64_t g) { messages.post(g); });
    ASSERT_TRUE(job.start(Info{}));
    reports.wait_started();
    reports.release();
    const uint64_t g = messages.wait_next();  // finished, not yet taken by the panel
    job.cancel();
    job.finish(g);
    EXPECT_EQ(job.state().state, "idle");
    EXPECT_FALSE(platform::file_exists(dir.file("r.zip")));
}

}  // namespace
}  // namespace sorvane::hostreport
