// The viewer's video socket: it sends VideoHello datagrams to the host's
// video port (counter from 1; every 250 ms until video arrives, then every
// second) and receives, checks and reassembles the sealed fragments that
// come back. One thread does both; its waits read the injected clock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/socket.h"
#include "viewer/net/frame_assembler.h"
#include "viewer/net/video_crypto.h"

namespace sorvane::viewer {

// When VideoHello datagrams are due.
class HelloSchedule {
public:
    HelloSchedule(uint64_t fast_ms = 250, uint64_t slow_ms = 1'000) : fast_ms_(fast_ms), slow_ms_(slow_ms) {}

    // True when a hello is due at now; the first one is due at once.
    bool due(uint64_t now_ms) const { return !sent_any_ || now_ms >= next_ms_; }
    // Records a hello sent at now and returns its counter (1, 2, ...).
    uint32_t sent(uint64_t now_ms);
    // Video arrived: from now on the slow period applies.
    void video_arrived() { video_ = true; }
    // Milliseconds until the next one is due (0 when due).
    uint64_t wait_ms(uint64_t now_ms) const { return due(now_ms) ? 0 : next_ms_ - now_ms; }
    uint32_t counter() const { return counter_; }

private:
    uint64_t fast_ms_;
    uint64_t slow_ms_;
    bool sent_any_ = false;
    bool video_ = false;
    uint64_t next_ms_ = 0;
    uint32_t counter_ = 0;
};

struct VideoReceiverOptions {
    platform::Endpoint host_video;       // the host's address and video port
    std::string bind_address = "0.0.0.0";  // where the viewer's socket listens (port chosen by the system)
    uint32_t session_id = 0;
    VideoKey key{};
    uint64_t hello_fast_ms = 250;
    uint64_t hello_slow_ms = 1'000;
    uint64_t incomplete_timeout_ms = 500;
    uint32_t receive_buffer = 4 * 1024 * 1024;  // asked for; the system may grant less
    uint32_t poll_ms = 20;                      // longest single wait on the socket
    int64_t clock_offset_ms = 0;                // host clock minus local clock
};

class VideoReceiver {
public:
    using FrameHandler = std::function<void(const ReceivedFrame&)>;

    explicit VideoReceiver(platform::IClock& clock) : clock_(clock) {}
    ~VideoReceiver();
    VideoReceiver(const VideoReceiver&) = delete;
    VideoReceiver& operator=(const VideoReceiver&) = delete;

    // Opens the socket and starts the thread; on_frame runs on that thread
    // for every complete frame. False with error when the socket or the key
    // cannot be set up.
    bool start(const VideoReceiverOptions& options, FrameHandler on_frame, std::string& error);
    void stop();

    ReceiverStats stats() const;
    uint32_t hellos_sent() const { return hellos_.load(); }
    uint16_t local_port() const { return socket_.port(); }
    uint32_t receive_buffer_granted() const { return granted_; }
    // Waits (on the clock) until at least n frames are complete or timeout_ms
    // passed; true when they are.
    bool wait_for_frames(uint64_t n, uint64_t timeout_ms);

private:
    void run();

    platform::IClock& clock_;
    VideoReceiverOptions options_;
    FrameHandler on_frame_;
    platform::UdpSocket socket_;
    std::unique_ptr<VideoCrypto> crypto_;
    std::unique_ptr<FrameAssembler> assembler_;
    uint32_t granted_ = 0;
    std::atomic<bool> running_{false};
    std::atomic<uint32_t> hellos_{0};
    std::thread thread_;

    mutable std::mutex mutex_;  // assembler_ and complete_
    std::condition_variable cv_;
    uint64_t complete_ = 0;
};

}  // namespace sorvane::viewer
