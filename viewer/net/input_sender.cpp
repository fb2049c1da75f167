#include "viewer/net/input_sender.h"

#include <cstdint>

#include "viewer/protocol/input_writer.h"

namespace sorvane::viewer {

void InputSender::start() {
    std::lock_guard<std::mutex> g(mutex_);
    if (thread_.joinable()) return;
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void InputSender::stop() {
    {
        std::lock_guard<std::mutex> g(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void InputSender::attach(std::shared_ptr<HostLink> link, uint32_t session_id) {
    std::lock_guard<std::mutex> g(mutex_);
    link_ = std::move(link);
    session_id_ = session_id;
}

void InputSender::detach() {
    std::shared_ptr<HostLink> old;
    {
        std::lock_guard<std::mutex> g(mutex_);
        old.swap(link_);
    }
    // A write in progress on it ends at once.
    if (old) old->close();
}

void InputSender::post(std::vector<proto::InputMessage>& messages) {
    if (messages.empty()) return;
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (!link_) {
            counters_.dropped += messages.size();
        } else {
            for (proto::InputMessage& m : messages) pending_.push_back(std::move(m));
        }
    }
    messages.clear();
    cv_.notify_all();
}

InputCounters InputSender::counters() const {
    std::lock_guard<std::mutex> g(mutex_);
    return counters_;
}

std::string InputSender::last_error() const {
    std::lock_guard<std::mutex> g(mutex_);
    return error_;
}

void InputSender::run() {
    std::vector<proto::InputMessage> batch;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        clock_.wait_until(lock, cv_, UINT64_MAX, [this] { return stopping_ || !pending_.empty(); });
        if (stopping_) return;
        batch.swap(pending_);
        std::shared_ptr<HostLink> link = link_;
        const uint32_t session_id = session_id_;
        lock.unlock();
        InputWriter writer(session_id);
        size_t encoded = 0;
        for (const proto::InputMessage& m : batch) encoded += writer.add(m) ? 1 : 0;
        const bool ok = link && link->send(writer.output());
        lock.lock();
        if (ok) {
            counters_.sent += encoded;
            counters_.dropped += batch.size() - encoded;
        } else {
            counters_.dropped += batch.size();
            if (link) {
                ++counters_.failed_writes;
                error_ = link->last_error();
            }
        }
        batch.clear();
    }
}

}  // namespace sorvane::viewer
