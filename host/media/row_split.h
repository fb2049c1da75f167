// A pass over the rows of an image (a copy, a colour conversion) shared
// between the calling thread and one helper thread: both take chunks of rows
// until none is left. A helper that gets no core costs the caller at most the
// one chunk it holds; a job the helper has not begun when the caller is done
// is taken back.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace sorvane {

// Rows a chunk of the frame passes takes: even (a conversion to 4:2:0 works
// on pairs of rows) and enough to be worth a hand-over.
inline constexpr uint32_t kSplitRows = 64;

class RowSplit {
public:
    RowSplit() = default;
    ~RowSplit();
    RowSplit(const RowSplit&) = delete;
    RowSplit& operator=(const RowSplit&) = delete;

    // Calls pass(first, end) for runs of `chunk` rows (the last may be
    // shorter) covering [0, rows), each run once; returns when all are done.
    // The helper thread starts at the first pass of more than one chunk.
    void run(uint32_t rows, uint32_t chunk, const std::function<void(uint32_t, uint32_t)>& pass);

private:
    void helper_main();
    // Whether the helper runs, starting it if need be (under the mutex).
    bool start_helper();
    void take_chunks(const std::function<void(uint32_t, uint32_t)>& pass);

    std::mutex mutex_;
    std::condition_variable wake_, done_;
    const std::function<void(uint32_t, uint32_t)>* pass_ = nullptr;
    bool pending_ = false;  // a job the helper has not taken yet
    bool helping_ = false;  // the helper is inside a job
    bool stop_ = false;
    bool no_helper_ = false;  // the helper could not be started
    std::atomic<uint32_t> next_{0};
    uint32_t rows_ = 0, chunk_ = 1;
    std::thread helper_;
};

}  // namespace sorvane
