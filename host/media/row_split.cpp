#include "host/media/row_split.h"

#include <algorithm>
#include <system_error>

namespace sorvane {

RowSplit::~RowSplit() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (helper_.joinable()) helper_.join();
}

void RowSplit::take_chunks(const std::function<void(uint32_t, uint32_t)>& pass) {
    for (;;) {
        const uint32_t index = next_.fetch_add(1);
        const uint64_t first = static_cast<uint64_t>(index) * chunk_;
        if (first >= rows_) return;
        const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(first + chunk_, rows_));
        pass(static_cast<uint32_t>(first), end);
    }
}

bool RowSplit::start_helper() {
    if (helper_.joinable()) return true;
    if (no_helper_) return false;
    try {
        helper_ = std::thread([this] { helper_main(); });
    } catch (const std::system_error&) {
        no_helper_ = true;  // no thread to be had: the caller does every run
    }
    return helper_.joinable();
}

void RowSplit::run(uint32_t rows, uint32_t chunk, const std::function<void(uint32_t, uint32_t)>& pass) {
    if (chunk == 0) chunk = 1;
    if (rows <= chunk) {
        if (rows != 0) pass(0, rows);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        pass_ = &pass;
        rows_ = rows;
        chunk_ = chunk;
        next_.store(0);
        pending_ = start_helper();
    }
    wake_.notify_one();
    take_chunks(pass);
    std::unique_lock lock(mutex_);
    pending_ = false;  // not begun: nothing left for it anyway
    done_.wait(lock, [this] { return !helping_; });
    pass_ = nullptr;
}

void RowSplit::helper_main() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || pending_; });
        if (stop_) return;
        pending_ = false;
        helping_ = true;
        const std::function<void(uint32_t, uint32_t)>* pass = pass_;
        lock.unlock();
        take_chunks(*pass);
        lock.lock();
        helping_ = false;
        done_.notify_one();
    }
}

}  // namespace sorvane
