#include "viewer/net/video_receiver.h"

#include <algorithm>
#include <vector>

namespace sorvane::viewer {

uint32_t HelloSchedule::sent(uint64_t now_ms) {
    sent_any_ = true;
    // Until video arrives the first retries come quickly (10, 20, 40 ... ms):
    // a hello that overtakes our SessionOpenAck on its way to the host is
    // dropped there, and a whole fast period would be lost to the first frame.
    const uint64_t ramp = counter_ < 5 ? uint64_t{10} << counter_ : fast_ms_;
    next_ms_ = now_ms + (video_ ? slow_ms_ : std::min(ramp, fast_ms_));
    return ++counter_;
}

VideoReceiver::~VideoReceiver() { stop(); }

bool VideoReceiver::start(const VideoReceiverOptions& options, FrameHandler on_frame, std::string& error) {
    stop();
    options_ = options;
    on_frame_ = std::move(on_frame);
    crypto_ = VideoCrypto::create(options.key, error);
    if (!crypto_) return false;
    AssemblerOptions a;
    a.session_id = options.session_id;
    a.incomplete_timeout_ms = options.incomplete_timeout_ms;
    a.clock_offset_ms = options.clock_offset_ms;
    assembler_ = std::make_unique<FrameAssembler>(*crypto_, a);
    const platform::SocketResult r = socket_.open(options.bind_address, 0);
    if (!r.ok()) {
        error = "video socket on " + options.bind_address + ": " + platform::describe(r);
        return false;
    }
    socket_.set_receive_buffer(options.receive_buffer, granted_);
    complete_ = 0;
    hellos_.store(0);
    running_.store(true);
    thread_ = std::thread([this] { run(); });
    return true;
}

void VideoReceiver::stop() {
    running_.store(false);
    socket_.shutdown();
    if (thread_.joinable()) thread_.join();
    socket_.close();
}

ReceiverStats VideoReceiver::stats() const {
    std::lock_guard<std::mutex> g(mutex_);
    return assembler_ ? assembler_->stats() : ReceiverStats{};
}

bool VideoReceiver::wait_for_frames(uint64_t n, uint64_t timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return clock_.wait_until(lock, cv_, clock_.now_ms() + timeout_ms, [&] { return complete_ >= n; });
}

void VideoReceiver::run() {
    HelloSchedule schedule(options_.hello_fast_ms, options_.hello_slow_ms);
    std::vector<uint8_t> hello;
    std::vector<uint8_t> buf(2048);
    std::vector<ReceivedFrame> done;
    bool video = false;
    while (running_.load()) {
        uint64_t now = clock_.now_ms();
        if (schedule.due(now)) {
            const uint32_t counter = schedule.sent(now);
            if (crypto_->hello(options_.session_id, counter, hello)) {
                socket_.send_to(options_.host_video, hello.data(), hello.size());
                hellos_.fetch_add(1);
            }
        }
        const uint64_t wait = std::min<uint64_t>(options_.poll_ms, std::max<uint64_t>(1, schedule.wait_ms(now)));
        platform::Endpoint source;
        const platform::SocketResult r =
            socket_.receive_from(buf.data(), buf.size(), &source, static_cast<int32_t>(wait));
        if (r.status == platform::SocketStatus::closed) break;
        now = clock_.now_ms();
        done.clear();
        {
            std::lock_guard<std::mutex> g(mutex_);
            // Only the host's video port speaks on this socket.
            if (r.ok() && source == options_.host_video &&
                assembler_->feed(buf.data(), r.bytes, now, done) && !video) {
                video = true;
                schedule.video_arrived();
            }
            assembler_->expire(now);
            complete_ += done.size();
        }
        if (!done.empty()) {
            cv_.notify_all();
            if (on_frame_) {
                for (const ReceivedFrame& f : done) on_frame_(f);
            }
        }
    }
}

}  // namespace sorvane::viewer
