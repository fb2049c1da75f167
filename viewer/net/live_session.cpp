#include "viewer/net/live_session.h"

#include <algorithm>
#include <cstdint>

#include "common/text.h"
#include "host/protocol/reasons.h"

namespace sorvane::viewer {

namespace {

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Refusals a retry cannot change: the next attempt would be refused again.
bool refused_for_good(std::string_view reason) {
    return reason == proto::kReasonNotPaired || reason == proto::kReasonIdentityMismatch ||
           reason == proto::kReasonClientOutdated || reason == proto::kReasonHostOutdated ||
           reason == proto::kReasonCodecUnsupported;
}

// The host closed the session but asks for a new one: it timed us out, or
// its watchdogs gave up on the stream (a new connection gets a new monitor).
bool invites_reconnect(std::string_view reason) {
    return reason == proto::kReasonTimeout || starts_with(reason, proto::kReasonNoVideoHello) ||
           starts_with(reason, proto::kReasonNoFrames) || starts_with(reason, proto::kReasonMonitorLost);
}

void add_stats(ReceiverStats& sum, const ReceiverStats& s) {
    sum.datagrams += s.datagrams;
    sum.other_session += s.other_session;
    sum.malformed += s.malformed;
    sum.tag_failures += s.tag_failures;
    sum.duplicates += s.duplicates;
    sum.late += s.late;
    sum.frames_complete += s.frames_complete;
    sum.keyframes += s.keyframes;
    sum.frames_incomplete += s.frames_incomplete;
    sum.frames_missing += s.frames_missing;
    sum.bytes += s.bytes;
    if (s.last_complete_frame_seq) sum.last_complete_frame_seq = s.last_complete_frame_seq;
}

}  // namespace

std::string_view live_state_name(LiveState state) {
    switch (state) {
        case LiveState::connecting: return "connecting";
        case LiveState::streaming: return "streaming";
        case LiveState::reconnecting: return "reconnecting";
        case LiveState::ended: return "ended";
    }
    return "?";
}

void LiveSession::start(std::function<void(const proto::SessionOpen&)> on_session,
                        VideoReceiver::FrameHandler on_frame, std::function<void()> changed) {
    on_session_ = std::move(on_session);
    on_frame_ = std::move(on_frame);
    changed_ = std::move(changed);
    thread_ = std::thread([this] { run(); });
}

void LiveSession::finish(bool suspend, std::string reason) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (!stop_) {
            stop_ = true;
            suspend_ = suspend;
            stop_reason_ = std::move(reason);
        }
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool LiveSession::stop_requested() const {
    std::lock_guard<std::mutex> g(mutex_);
    return stop_;
}

LiveStatus LiveSession::status() const {
    std::lock_guard<std::mutex> g(mutex_);
    return status_;
}

ReceiverStats LiveSession::video_stats() const {
    std::lock_guard<std::mutex> g(mutex_);
    ReceiverStats sum = past_video_;
    if (video_) add_stats(sum, video_->stats());
    return sum;
}

void LiveSession::set_status(const std::function<void(LiveStatus&)>& change) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        change(status_);
    }
    if (changed_) changed_();
}

void LiveSession::run() {
    uint64_t lost_at = 0;
    std::string lost_why;
    for (;;) {
        const Attempt a = connect_once();
        if (a.ok) {
            std::string why;
            const Outcome o = stream(why);
            teardown();
            if (o == Outcome::stopped) {
                set_status([](LiveStatus& s) {
                    s.state = LiveState::ended;
                    s.ended_by_viewer = true;
                    s.reason = "closed by the viewer";
                });
                return;
            }
            if (o == Outcome::ended) {
                set_status([&](LiveStatus& s) {
                    s.state = LiveState::ended;
                    s.reason = why;
                });
                return;
            }
            lost_at = clock_.now_ms();
            lost_why = why;
            set_status([&](LiveStatus& s) {
                s.state = LiveState::reconnecting;
                s.reason = why;
            });
            continue;
        }
        if (stop_requested()) {
            set_status([](LiveStatus& s) {
                s.state = LiveState::ended;
                s.ended_by_viewer = true;
                s.reason = "closed by the viewer";
            });
            return;
        }
        const bool first = status().sessions == 0;
        const uint64_t now = clock_.now_ms();
        if (first || a.permanent || now - lost_at >= options_.reconnect_ms) {
            std::string why = a.error;
            if (!first && !a.permanent)
                why = "the host did not come back within " + std::to_string(options_.reconnect_ms / 1000) + " s (" +
                      lost_why + "; last try: " + a.error + ")";
            set_status([&](LiveStatus& s) {
                s.state = LiveState::ended;
                s.reason = why;
            });
            return;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        clock_.wait_until(lock, cv_, now + options_.retry_ms, [this] { return stop_; });
    }
}

LiveSession::Attempt LiveSession::connect_once() {
    Attempt a;
    LinkOptions link_options;
    link_options.timeout_ms = options_.timeout_ms;
    bool connected = false;
    for (const std::string& address : options_.addresses) {
        if (stop_requested()) break;
        control_ = {0, options_.control_port};
        if (!platform::parse_ipv4(address, control_.address)) continue;
        link_ = std::make_unique<ControlLink>(clock_, options_.hello);
        if (link_->connect(control_, options_.pin, options_.identity, link_options)) {
            connected = true;
            break;
        }
        a.error = "control " + platform::endpoint_text(control_) + ": " + link_->link().last_error();
    }
    if (!connected) {
        if (a.error.empty()) a.error = "the host has no address to try";
        link_.reset();
        return a;
    }
    if (!link_->start()) {
        a.error = "could not send the Handshake: " + link_->link().last_error();
        link_.reset();
        return a;
    }
    std::vector<ClientEvent> events;
    bool open = false;
    const uint64_t deadline = clock_.now_ms() + options_.timeout_ms;
    while (!open && clock_.now_ms() < deadline && !stop_requested()) {
        events.clear();
        const bool up = link_->pump(50, events);
        for (const ClientEvent& e : events) open = open || e.kind == ClientEvent::Kind::session_open;
        const ControlClient& c = link_->client();
        if (!open && c.state() == ClientState::closed && c.ack() && !c.ack()->accepted) {
            const std::string reason = c.ack()->reason.value_or("");
            a.permanent = refused_for_good(reason);
            a.error = "refused by the host: " + (reason.empty() ? std::string("(no reason)") : scrub_control(reason));
            link_.reset();
            return a;
        }
        if (!open && (!up || c.state() == ClientState::closed)) {
            a.error = "the host closed the connection before opening a session";
            link_.reset();
            return a;
        }
    }
    if (!open) {
        a.error = stop_requested() ? "stopped"
                                   : "no session from the host within " + std::to_string(options_.timeout_ms) + " ms";
        link_.reset();
        return a;
    }
    const proto::SessionOpen session = *link_->client().session();
    VideoReceiverOptions vo = options_.video;
    vo.host_video = {control_.address, session.video_port};
    vo.session_id = session.session_id;
    const std::string key = session.video_key.value_or("");
    if (key.size() != vo.key.size()) {
        link_->client().acknowledge_session(false);
        link_->flush();
        a.error = "the session carries no 32-byte video key";
        link_.reset();
        return a;
    }
    std::copy(key.begin(), key.end(), vo.key.begin());
    if (on_session_) on_session_(session);
    // Acknowledged first, so the first VideoHello finds the host waiting for it.
    link_->client().acknowledge_session(true);
    if (!link_->flush()) {
        a.error = "could not send SessionOpenAck: " + link_->link().last_error();
        link_.reset();
        return a;
    }
    auto video = std::make_unique<VideoReceiver>(clock_);
    if (!video->start(vo, on_frame_, a.error)) {
        link_->client().close(std::string("viewer_exit"));
        link_->flush();
        link_.reset();
        a.error = "video: " + a.error;
        return a;
    }
    auto input = std::make_shared<HostLink>(clock_);
    const platform::Endpoint input_ep{control_.address, session.input_port};
    std::string notice;
    if (input->connect(input_ep, options_.pin, options_.identity, link_options))
        input_.attach(input, session.session_id);
    else
        notice = "no input connection: " + input->last_error();
    const std::string host_name = link_->client().ack() ? link_->client().ack()->host_name.value_or("") : "";
    {
        std::lock_guard<std::mutex> g(mutex_);
        video_ = std::move(video);
        best_rtt_.reset();
    }
    set_status([&](LiveStatus& s) {
        s.state = LiveState::streaming;
        ++s.sessions;
        s.session = session;
        s.host_name = host_name;
        s.reason.clear();
        s.rtt_ms.reset();
        s.clock_offset_ms.reset();
        s.notice = notice;
    });
    a.ok = true;
    return a;
}

LiveSession::Outcome LiveSession::stream(std::string& why) {
    std::vector<ClientEvent> events;
    uint64_t last_heard = clock_.now_ms();
    uint64_t last_keyframe_request = 0;
    uint64_t lost_seen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (stop_) {
                const bool suspend = suspend_;
                const std::string reason = stop_reason_;
                lock.unlock();
                if (suspend)
                    link_->client().suspend(reason);
                else
                    link_->client().close(reason);
                link_->flush();
                return Outcome::stopped;
            }
        }
        events.clear();
        const bool up = link_->pump(50, events);
        const uint64_t now = clock_.now_ms();
        for (const ClientEvent& e : events) {
            last_heard = now;
            if (e.kind == ClientEvent::Kind::host_close) {
                const std::string reason = std::get<proto::SessionClose>(*e.message).reason.value_or("");
                why = "the host closed the session (" +
                      (reason.empty() ? std::string("no reason") : scrub_control(reason)) + ")";
                return invites_reconnect(reason) ? Outcome::lost : Outcome::ended;
            }
            if (e.kind == ClientEvent::Kind::invalid_stream) {
                why = "the host's control stream is invalid";
                return Outcome::lost;
            }
            if (e.kind == ClientEvent::Kind::heartbeat_ack && e.rtt_ms && e.message) {
                const auto& ack = std::get<proto::HeartbeatAck>(*e.message);
                // The host stamped its clock about half a round trip after we sent.
                const int64_t offset = static_cast<int64_t>(ack.timestamp_ms) -
                                       static_cast<int64_t>(now - *e.rtt_ms + *e.rtt_ms / 2);
                const uint64_t rtt = *e.rtt_ms;
                bool better = false;
                {
                    std::lock_guard<std::mutex> g(mutex_);
                    better = !best_rtt_ || rtt <= *best_rtt_;
                    if (better) best_rtt_ = rtt;
                }
                set_status([&](LiveStatus& s) {
                    s.rtt_ms = rtt;
                    if (better) s.clock_offset_ms = offset;
                });
            } else if (e.kind == ClientEvent::Kind::resolution_change) {
                const auto& change = std::get<proto::ResolutionChange>(*e.message);
                set_status([&](LiveStatus& s) {
                    s.session.width = change.width;
                    s.session.height = change.height;
                    if (change.fps) s.session.fps = *change.fps;
                });
            } else if (e.kind == ClientEvent::Kind::input_notice) {
                const std::string text = scrub_control(std::get<proto::InputNotice>(*e.message).text);
                set_status([&](LiveStatus& s) { s.notice = text; });
            }
        }
        if (!up) {
            why = "the connection to the host was lost";
            return Outcome::lost;
        }
        if (now - last_heard > options_.silence_ms) {
            why = "no word from the host for " + std::to_string(options_.silence_ms / 1000) + " s";
            return Outcome::lost;
        }
        // A frame lost on the way or a picture the decoder refused: a key frame mends it.
        ReceiverStats s;
        {
            std::lock_guard<std::mutex> g(mutex_);
            s = video_->stats();
        }
        const uint64_t lost = s.frames_incomplete + s.frames_missing;
        if ((lost > lost_seen || keyframe_wanted_.load()) && now - last_keyframe_request >= options_.keyframe_gap_ms) {
            keyframe_wanted_.store(false);
            link_->client().request_keyframe(s.last_complete_frame_seq);
            link_->flush();
            last_keyframe_request = now;
        }
        lost_seen = lost;
    }
}

void LiveSession::teardown() {
    std::unique_ptr<VideoReceiver> video;
    {
        std::lock_guard<std::mutex> g(mutex_);
        video = std::move(video_);
    }
    if (video) {
        video->stop();
        std::lock_guard<std::mutex> g(mutex_);
        add_stats(past_video_, video->stats());
    }
    input_.detach();
    if (link_) link_->link().close();
    link_.reset();
}

}  // namespace sorvane::viewer
