// Sends the viewer's input on the input connection from a thread of its own,
// so that a slow or lost network never holds up the window that produces it.
// Messages posted while no connection is attached are dropped and counted:
// input for a session that is gone has no meaning in the next one.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/protocol/input_messages.h"
#include "platform/clock.h"
#include "viewer/net/host_link.h"

namespace sorvane::viewer {

struct InputCounters {
    uint64_t sent = 0;     // messages written to a connection
    uint64_t dropped = 0;  // posted without a connection, or lost with a failed write
    uint64_t failed_writes = 0;
};

class InputSender {
public:
    explicit InputSender(platform::IClock& clock) : clock_(clock) {}
    ~InputSender() { stop(); }
    InputSender(const InputSender&) = delete;
    InputSender& operator=(const InputSender&) = delete;

    void start();
    // Joins the thread; a second call does nothing.
    void stop();

    // From now on input goes on link, stamped with session_id.
    void attach(std::shared_ptr<HostLink> link, uint32_t session_id);
    // No connection: input is dropped until the next attach.
    void detach();
    void post(std::vector<proto::InputMessage>& messages);

    InputCounters counters() const;
    std::string last_error() const;

private:
    void run();

    platform::IClock& clock_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::thread thread_;
    bool stopping_ = false;
    std::shared_ptr<HostLink> link_;
    uint32_t session_id_ = 0;
    std::vector<proto::InputMessage> pending_;
    InputCounters counters_;
    std::string error_;
};

}  // namespace sorvane::viewer
