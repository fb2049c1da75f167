// sorvane-viewer stream: open a session with a paired host, decode its video,
// send the requested taps and keys, and sum the stream up at the end.
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "host/protocol/defaults.h"
#include "host/protocol/input_messages.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "viewer/app/arguments.h"
#include "viewer/app/commands.h"
#include "viewer/app/key_names.h"
#include "viewer/media/h264_decoder.h"
#include "viewer/media/png_writer.h"
#include "viewer/net/host_link.h"
#include "viewer/net/video_receiver.h"
#include "viewer/pairing/pairing_session.h"
#include "viewer/protocol/input_writer.h"

namespace sorvane::viewer::app {

namespace {

struct Tap {
    float x = 0, y = 0;
    uint64_t at_ms = 0;
};
struct Key {
    uint32_t usage = 0;
    uint64_t at_ms = 0;
};

struct StreamArgs {
    std::string address;
    std::optional<uint16_t> port;
    std::string state_dir = default_state_dir();
    uint64_t duration_ms = 5'000;
    DisplayMode mode;
    std::string out;
    std::string snapshot;
    std::vector<Tap> taps;
    std::vector<Key> keys;
    uint32_t timeout_ms = 5'000;
    bool wrong_video_key = false;
};

int parse(const std::vector<std::string>& args, StreamArgs& a, const Streams& streams) {
    return read_host_command(args, "stream", streams, a.address, a.port, [&](const std::string& arg, const TakeValue& value) {
        std::string v, what;
        int64_t n = 0;
        bool ok = true;
        if (arg == "--state" && value(v)) {
            a.state_dir = v;
        } else if (arg == "--seconds" && value(v)) {
            double s = 0;
            ok = parse_decimal(v, s) && s > 0 && s <= 86'400;
            a.duration_ms = static_cast<uint64_t>(s * 1000.0 + 0.5);
        } else if (arg == "--mode" && value(v)) {
            ok = parse_mode(v, a.mode);
        } else if (arg == "--out" && value(v)) {
            a.out = v;
        } else if (arg == "--snapshot" && value(v)) {
            a.snapshot = v;
        } else if (arg == "--timeout-ms" && value(v)) {
            ok = parse_int_exact(v, n) && n > 0 && n <= 600'000;
            a.timeout_ms = static_cast<uint32_t>(n);
        } else if (arg == "--wrong-video-key") {
            a.wrong_video_key = true;
        } else if (arg == "--tap" && value(v)) {
            Tap t;
            const size_t comma = v.find(',');
            double x = -1, y = -1;
            ok = split_at(v, what, t.at_ms) && comma != std::string::npos && comma < what.size() &&
                 parse_decimal(what.substr(0, comma), x) && parse_decimal(what.substr(comma + 1), y) && x >= 0 &&
                 x <= 1 && y >= 0 && y <= 1;
            t.x = static_cast<float>(x);
            t.y = static_cast<float>(y);
            if (ok) a.taps.push_back(t);
        } else if (arg == "--key" && value(v)) {
            Key k;
            ok = split_at(v, what, k.at_ms);
            const std::optional<uint32_t> usage = ok ? key_usage(what) : std::nullopt;
            ok = usage.has_value();
            if (ok) {
                k.usage = *usage;
                a.keys.push_back(k);
            }
        } else {
            ok = false;
        }
        return ok;
    });
}

// Everything the video thread finds out; read by the main thread after it stopped.
struct Pictures {
    std::unique_ptr<H264Decoder> decoder = std::make_unique<H264Decoder>();
    std::FILE* out = nullptr;
    bool out_failed = false;
    uint64_t decoded = 0;
    uint64_t decode_failures = 0;
    uint64_t first_ms = 0, last_ms = 0;
    uint64_t longest_gap_ms = 0;  // between two decoded pictures
    uint64_t bytes = 0;
    KeptSamples latencies;
    KeptSamples delivery;   // frame time to the complete frame
    KeptSamples decode_us;  // a complete frame to its picture
    std::atomic<bool> need_keyframe{false};
};

// One summary line: the 50th, 95th and 99th percentile of values, which are
// milliseconds, or microseconds shown to a tenth of a millisecond.
void print_percentiles(std::FILE* out, const char* label, std::vector<int64_t> values, bool microseconds,
                       const std::string& tail) {
    std::fprintf(out, "  %s: ", label);
    const char* separator = "";
    for (const int p : {50, 95, 99}) {
        const int64_t v = percentile(values, p);
        if (microseconds)
            std::fprintf(out, "%sp%d %.1f ms", separator, p, static_cast<double>(v) / 1000.0);
        else
            std::fprintf(out, "%sp%d %" PRId64 " ms", separator, p, v);
        separator = ", ";
    }
    std::fprintf(out, "%s\n", tail.c_str());
}

class StreamRun {
public:
    StreamRun(StreamArgs& a, const Streams& streams) : a_(a), streams_(streams), clock_(platform::make_system_clock()) {}
    ~StreamRun() {
        if (pictures_.out != nullptr) std::fclose(pictures_.out);
    }

    bool prepare() {
        PairedTarget target;
        std::string error;
        if (!choose_paired_host(a_.state_dir, a_.address, target, error)) return fail(error);
        host_ = target.host;
        candidates_ = target.candidates;
        identity_ = ViewerIdentity::load_or_create(a_.state_dir, *clock_, error);
        if (!identity_ || !viewer_client_id(a_.state_dir, client_id_, error)) return fail(error);
        if (!pictures_.decoder->open()) return fail(pictures_.decoder->last_error());
        if (!a_.out.empty() && (pictures_.out = std::fopen(a_.out.c_str(), "wb")) == nullptr)
            return fail("cannot create " + a_.out);
        return true;
    }

    // TLS to the control port at the first address that answers, then the Handshake.
    bool open_control() {
        connect_ms_ = clock_->now_ms();
        options_.timeout_ms = a_.timeout_ms;
        const uint16_t port = a_.port.value_or(host_.control_port != 0 ? host_.control_port : proto::kDefaultControlPort);
        for (const std::string& address : candidates_) {
            control_ = {0, port};
            if (!platform::parse_ipv4(address, control_.address)) continue;
            proto::Handshake hello = default_handshake(client_id_);
            if (a_.mode.width != 0) {
                hello.display_width = a_.mode.width;
                hello.display_height = a_.mode.height;
                hello.max_hz = a_.mode.hz;
            }
            link_ = std::make_unique<ControlLink>(*clock_, std::move(hello));
            if (link_->connect(control_, host_.fingerprint, identity_.get(), options_)) {
                say(streams_, "control %s: connected\n", platform::endpoint_text(control_).c_str());
                if (host_.last_address != address) {  // tried first next time
                    host_.last_address = address;
                    std::string error;
                    if (!save_known_host(a_.state_dir, host_, error)) say(streams_, "state: %s\n", scrub_control(error).c_str());
                }
                return link_->start() || fail("could not send the Handshake: " + link_->link().last_error());
            }
            say(streams_, "control %s: no connection: %s\n", platform::endpoint_text(control_).c_str(),
                scrub_control(link_->link().last_error()).c_str());
        }
        return fail("no address of the host answered");
    }

    bool await_session() {
        const uint64_t deadline = clock_->now_ms() + a_.timeout_ms;
        while (clock_->now_ms() < deadline) {
            events_.clear();
            const bool up = link_->pump(50, events_);
            for (const ClientEvent& e : events_)
                if (e.kind == ClientEvent::Kind::session_open) return true;
            if (link_->client().state() == ClientState::closed && link_->client().ack() &&
                !link_->client().ack()->accepted) {
                link_->link().close();
                return fail("refused by the host: " + link_->client().ack()->reason.value_or("(no reason)"));
            }
            if (!up || link_->client().state() == ClientState::closed) {
                link_->link().close();
                return fail("the host closed the connection before opening a session");
            }
        }
        link_->link().close();
        return fail("no session from the host within " + std::to_string(a_.timeout_ms) + " ms");
    }

    bool start_video() {
        session_ = *link_->client().session();
        VideoReceiverOptions vo;
        vo.host_video = {control_.address, session_.video_port};
        vo.session_id = session_.session_id;
        const std::string key = session_.video_key.value_or("");
        if (key.size() != vo.key.size()) {
            link_->client().acknowledge_session(false);
            link_->flush();
            link_->link().close();
            return fail("the session carries no 32-byte video key");
        }
        std::copy(key.begin(), key.end(), vo.key.begin());
        if (a_.wrong_video_key) vo.key[0] ^= 0xFF;
        link_->client().acknowledge_session(true);
        if (!link_->flush()) return fail("could not send SessionOpenAck: " + link_->link().last_error());
        video_ = std::make_unique<VideoReceiver>(*clock_);
        std::string error;
        if (!video_->start(vo, [this](const ReceivedFrame& f) { on_frame(f); }, error)) {
            link_->client().close(std::string("viewer_exit"));
            link_->flush();
            link_->link().close();
            return fail("video: " + error);
        }
        say(streams_, "session %" PRIu32 ": %ux%u@%u, video from udp port %u\n", session_.session_id,
            static_cast<unsigned>(session_.width), static_cast<unsigned>(session_.height),
            static_cast<unsigned>(session_.fps), static_cast<unsigned>(video_->local_port()));
        input_ = std::make_unique<HostLink>(*clock_);
        if (!a_.taps.empty() || !a_.keys.empty()) {
            const platform::Endpoint ep{control_.address, session_.input_port};
            if (!input_->connect(ep, host_.fingerprint, identity_.get(), options_))
                say(streams_, "input %s: no connection: %s\n", platform::endpoint_text(ep).c_str(),
                    scrub_control(input_->last_error()).c_str());
        }
        return true;
    }

    // Streams for the requested time, sending the input when it is due.
    void stream() {
        const uint64_t start = clock_->now_ms();
        const uint64_t end = start + a_.duration_ms;
        struct Due {
            uint64_t at;
            proto::InputMessage message;
        };
        std::vector<Due> due;
        for (const Tap& t : a_.taps) {
            for (uint8_t phase : {proto::kTouchDown, proto::kTouchUp}) {
                proto::TouchFrame f;
                f.points.push_back({0, phase, t.x, t.y});
                due.push_back({start + t.at_ms + (phase == proto::kTouchUp ? 50 : 0), f});
            }
        }
        for (const Key& k : a_.keys) {
            due.push_back({start + k.at_ms, proto::KeyEvent{0, k.usage, true, 0}});
            due.push_back({start + k.at_ms + 50, proto::KeyEvent{0, k.usage, false, 0}});
        }
        std::stable_sort(due.begin(), due.end(), [](const Due& x, const Due& y) { return x.at < y.at; });
        size_t next = 0;
        InputWriter writer(session_.session_id);
        uint64_t last_keyframe_request = 0;
        uint64_t lost_seen = 0;
        while (!gone_ && clock_->now_ms() < end) {
            events_.clear();
            gone_ = !link_->pump(20, events_);
            for (const ClientEvent& e : events_) {
                if (e.kind == ClientEvent::Kind::host_close) {
                    say(streams_, "control: the host ended the session: %s\n",
                        scrub_control(std::get<proto::SessionClose>(*e.message).reason.value_or("(no reason)")).c_str());
                    gone_ = true;
                }
            }
            const uint64_t now = clock_->now_ms();
            for (; next < due.size() && due[next].at <= now; ++next) {
                if (auto* touch = std::get_if<proto::TouchFrame>(&due[next].message)) touch->time = now;
                writer.add(due[next].message);
            }
            if (!writer.output().empty() && !input_->closed() && !input_->send(writer.take_output()))
                say(streams_, "input: could not send: %s\n", scrub_control(input_->last_error()).c_str());
            // A lost frame or a picture the decoder refused: ask for a key frame, at most twice a second.
            const ReceiverStats s = video_->stats();
            const uint64_t lost = s.frames_incomplete + s.frames_missing;
            if ((lost > lost_seen || pictures_.need_keyframe.exchange(false)) && now - last_keyframe_request >= 500) {
                link_->client().request_keyframe(s.last_complete_frame_seq);
                link_->flush();
                last_keyframe_request = now;
            }
            lost_seen = lost;
        }
        if (!gone_) {
            link_->client().close(std::string("viewer_exit"));
            link_->flush();
        }
        video_->stop();
        input_->close();
        link_->link().close();
    }

    int report() {
        const ReceiverStats s = video_->stats();
        const Pictures& p = pictures_;
        const double span_s = p.decoded > 1 ? static_cast<double>(p.last_ms - p.first_ms) / 1000.0 : 0.0;
        std::fprintf(streams_.out, "summary: session %" PRIu32 "\n", session_.session_id);
        if (p.decoded > 0)
            std::fprintf(streams_.out, "  first frame: %" PRIu64 " ms after connecting\n", p.first_ms - connect_ms_);
        else
            std::fputs("  first frame: none decoded\n", streams_.out);
        std::fprintf(streams_.out, "  frames: received %" PRIu64 ", decoded %" PRIu64 ", lost %" PRIu64 "\n",
                     s.frames_complete, p.decoded, s.frames_incomplete + s.frames_missing);
        std::fprintf(streams_.out, "  rate: %.1f fps, %.2f Mbit/s\n",
                     span_s > 0 ? static_cast<double>(p.decoded - 1) / span_s : 0.0,
                     span_s > 0 ? static_cast<double>(p.bytes) * 8.0 / span_s / 1e6 : 0.0);
        std::fprintf(streams_.out, "  longest gap between pictures: %" PRIu64 " ms\n", p.longest_gap_ms);
        if (p.latencies.count() != 0) {
            print_percentiles(streams_.out, "latency (frame time to decoded)", p.latencies.kept(), false,
                              " over " + std::to_string(p.latencies.count()) + " frames");
        } else {
            std::fputs("  latency: no frame time read from the pictures\n", streams_.out);
        }
        if (p.delivery.count() != 0)
            print_percentiles(streams_.out, "delivery (frame time to complete frame)", p.delivery.kept(), false, "");
        if (p.decode_us.count() != 0)
            print_percentiles(streams_.out, "decoding (complete frame to picture)", p.decode_us.kept(), true, "");
        if (pictures_.out != nullptr) {
            const bool closed = std::fclose(pictures_.out) == 0;
            pictures_.out = nullptr;
            if (closed && !p.out_failed)
                std::fprintf(streams_.out, "  h264: %s\n", a_.out.c_str());
            else
                std::fprintf(streams_.err, "sorvane-viewer stream: could not write %s\n", a_.out.c_str());
        }
        if (!a_.snapshot.empty() && p.decoded > 0) {
            std::string error;
            if (write_png(a_.snapshot, p.decoder->last_picture_rgb(), error))
                std::fprintf(streams_.out, "  snapshot: %s\n", a_.snapshot.c_str());
            else
                std::fprintf(streams_.err, "sorvane-viewer stream: %s\n", error.c_str());
        }
        std::fprintf(streams_.out, "  end: %s\n", gone_ ? "ended by the host" : "closed by the viewer");
        std::fflush(streams_.out);
        return p.decoded > 0 ? kExitOk : kExitFailed;
    }

private:
    // Runs on the video thread.
    void on_frame(const ReceivedFrame& f) {
        Pictures& p = pictures_;
        if (p.out != nullptr && std::fwrite(f.data.data(), 1, f.data.size(), p.out) != f.data.size()) p.out_failed = true;
        p.bytes += f.data.size();
        if (f.latency_ms > -1'000 && f.latency_ms < 3'600'000) p.delivery.add(f.latency_ms);
        DecodedPicture picture;
        const uint64_t received_us = clock_->now_us();
        if (!p.decoder->decode(f.data.data(), f.data.size(), picture)) {
            ++p.decode_failures;
            p.need_keyframe = true;
            return;
        }
        p.decode_us.add(static_cast<int64_t>(clock_->now_us() - received_us));
        const uint64_t now = clock_->now_ms();
        if (p.decoded++ == 0) p.first_ms = now;
        else p.longest_gap_ms = std::max(p.longest_gap_ms, now - p.last_ms);
        p.last_ms = now;
        // The frame time is the host's monotonic clock, the same as ours on one machine.
        // A picture without the card (or a garbled barcode) gives no figure.
        if (picture.frame_time_ms) {
            const int64_t d = static_cast<int64_t>(now) - static_cast<int64_t>(*picture.frame_time_ms);
            if (d > -1'000 && d < 3'600'000) p.latencies.add(d);
        }
    }

    bool fail(const std::string& what) {
        std::fprintf(streams_.err, "sorvane-viewer stream: %s\n", scrub_control(what).c_str());
        return false;
    }

    StreamArgs& a_;
    const Streams& streams_;
    std::unique_ptr<platform::IClock> clock_;
    KnownHost host_;
    std::vector<std::string> candidates_;
    std::unique_ptr<ViewerIdentity> identity_;
    std::string client_id_;
    platform::Endpoint control_;
    LinkOptions options_;
    std::unique_ptr<ControlLink> link_;
    std::vector<ClientEvent> events_;
    bool gone_ = false;
    uint64_t connect_ms_ = 0;
    proto::SessionOpen session_;
    Pictures pictures_;
    std::unique_ptr<VideoReceiver> video_;
    std::unique_ptr<HostLink> input_;
};

}  // namespace

int run_stream(const std::vector<std::string>& args, const Streams& streams) {
    StreamArgs a;
    if (const int code = parse(args, a, streams); code != 0) return code;
    StreamRun run(a, streams);
    if (!run.prepare() || !run.open_control() || !run.await_session() || !run.start_video()) return kExitFailed;
    run.stream();
    return run.report();
}

}  // namespace sorvane::viewer::app
