// sorvane-viewer show: the host's monitor in a window. The session is sized
// to the window's display (or --mode); every decoded picture is shown at
// once, the window's mouse, keys, text and touches go back to the host, an
// overlay (Ctrl+Alt+O) shows the frame rate, the latency and the round trip,
// and a lost host is reconnected within its grace period.
#include <SDL.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "host/protocol/defaults.h"
#include "platform/clock.h"
#include "viewer/app/arguments.h"
#include "viewer/app/commands.h"
#include "viewer/media/picture.h"
#include "viewer/media/png_writer.h"
#include "viewer/net/input_sender.h"
#include "viewer/net/live_session.h"
#include "viewer/window/decode_path.h"
#include "viewer/window/input_translator.h"
#include "viewer/window/picture_mailbox.h"
#include "viewer/window/presenter.h"

namespace sorvane::viewer::app {

namespace {

struct Shot {
    std::string path;
    uint64_t at_ms = 0;
    bool taken = false;
};

struct ShowArgs {
    std::string address;
    std::optional<uint16_t> port;
    std::string state_dir = default_state_dir();
    DisplayMode mode;
    bool fullscreen = false;
    std::optional<uint64_t> duration_ms;
    std::vector<Shot> shots;
    bool overlay = false;
    uint32_t timeout_ms = 5'000;
    std::optional<uint16_t> reconnect_wait_s;
};

int parse(const std::vector<std::string>& args, ShowArgs& a, const Streams& streams) {
    return read_host_command(args, "show", streams, a.address, a.port, [&](const std::string& arg, const TakeValue& value) {
        std::string v;
        int64_t n = 0;
        double s = 0;
        if (arg == "--state" && value(v)) {
            a.state_dir = v;
            return true;
        }
        if (arg == "--mode" && value(v)) return parse_mode(v, a.mode);
        if (arg == "--fullscreen" || arg == "--overlay") {
            (arg == "--fullscreen" ? a.fullscreen : a.overlay) = true;
            return true;
        }
        if (arg == "--seconds" && value(v) && parse_decimal(v, s) && s > 0 && s <= 86'400) {
            a.duration_ms = static_cast<uint64_t>(s * 1000.0 + 0.5);
            return true;
        }
        if (arg == "--screenshot" && value(v)) {
            Shot shot;
            if (!split_at(v, shot.path, shot.at_ms) || shot.path.empty()) return false;
            a.shots.push_back(shot);
            return true;
        }
        if (arg == "--timeout-ms" && value(v) && parse_int_exact(v, n) && n > 0 && n <= 600'000) {
            a.timeout_ms = static_cast<uint32_t>(n);
            return true;
        }
        if (arg == "--reconnect-wait" && value(v) && parse_int_exact(v, n) && n >= 10 && n <= 300) {
            a.reconnect_wait_s = static_cast<uint16_t>(n);
            return true;
        }
        return false;
    });
}

// Starts SDL's video for the rest of the process. It is not shut down at the
// end: SDL_Quit unloads the window system's libraries it opened, after which
// their remaining allocations cannot be told apart by the sanitizers' leak
// checker; the process's end closes the display connection all the same.
// Without a display SDL falls back to drivers that show nothing; those only
// when asked for by name (SDL_VIDEODRIVER).
bool start_sdl_video(std::string& error) {
    // A click that brings the window forward is also a click on the host's desktop.
    SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        error = std::string("no display to open a window on: ") + SDL_GetError();
        return false;
    }
    const std::string driver = SDL_GetCurrentVideoDriver() != nullptr ? SDL_GetCurrentVideoDriver() : "";
    const char* asked = std::getenv("SDL_VIDEODRIVER");
    if ((driver == "offscreen" || driver == "dummy") && (asked == nullptr || *asked == '\0')) {
        error = "no display to open a window on (neither DISPLAY nor WAYLAND_DISPLAY is set)";
        return false;
    }
    return true;
}

// About half an hour of pictures at 60 a second.
constexpr size_t kLatencySamples = 100'000;

class ShowRun {
public:
    ShowRun(ShowArgs& a, const Streams& streams)
        : a_(a), streams_(streams), clock_(platform::make_system_clock()), input_(*clock_), overlay_(a.overlay) {}

    bool prepare() {
        std::string error;
        if (!choose_paired_host(a_.state_dir, a_.address, target_, error)) return fail(error);
        identity_ = ViewerIdentity::load_or_create(a_.state_dir, *clock_, error);
        if (!identity_ || !viewer_client_id(a_.state_dir, client_id_, error)) return fail(error);
        return true;
    }

    // The window, on the display whose size the session asks for.
    bool open_window() {
        std::string error;
        if (!start_sdl_video(error)) return fail(error);
        SDL_DisplayMode desktop{};
        if (SDL_GetDesktopDisplayMode(0, &desktop) != 0) return fail(std::string("no display mode: ") + SDL_GetError());
        SDL_Rect usable{0, 0, desktop.w, desktop.h};
        SDL_GetDisplayUsableBounds(0, &usable);
        mode_ = a_.mode;
        if (mode_.width == 0) {
            mode_.width = static_cast<uint16_t>(std::clamp(desktop.w, 1, 16'384));
            mode_.height = static_cast<uint16_t>(std::clamp(desktop.h, 1, 16'384));
            mode_.hz = static_cast<uint16_t>(std::clamp(desktop.refresh_rate, 0, 1'000));
            float ddpi = 0, hdpi = 0, vdpi = 0;
            if (SDL_GetDisplayDPI(0, &ddpi, &hdpi, &vdpi) == 0 && hdpi > 0 && vdpi > 0) {
                width_mm_ = static_cast<uint16_t>(std::clamp(desktop.w / hdpi * 25.4f + 0.5f, 0.0f, 65'535.0f));
                height_mm_ = static_cast<uint16_t>(std::clamp(desktop.h / vdpi * 25.4f + 0.5f, 0.0f, 65'535.0f));
            }
        }
        PresenterOptions po;
        po.title = "Sorvane: " + (target_.host.host_name.empty() ? a_.address : scrub_control(target_.host.host_name));
        // The stream's size, made smaller to fit the desktop.
        const bool fits = mode_.width <= usable.w && mode_.height <= usable.h;
        const ViewRect fitted = letterbox(static_cast<uint32_t>(usable.w), static_cast<uint32_t>(usable.h), mode_.width,
                                          mode_.height);
        po.width = fits ? mode_.width : static_cast<uint32_t>(fitted.w);
        po.height = fits ? mode_.height : static_cast<uint32_t>(fitted.h);
        po.fullscreen = a_.fullscreen;
        po.maximized = a_.mode.width == 0 && !a_.fullscreen;
        presenter_ = Presenter::create(po, error);
        if (!presenter_) return fail(error);
        say(streams_, "show: window %ux%u on a %dx%d display, renderer %s, pictures as %s\n", po.width, po.height, desktop.w,
            desktop.h, presenter_->renderer_name().c_str(), presenter_->format_name().c_str());
        presenter_->draw(nullptr, {}, "connecting");
        return true;
    }

    bool start_session() {
        LiveOptions lo;
        lo.addresses = target_.candidates;
        lo.control_port = a_.port.value_or(target_.host.control_port != 0 ? target_.host.control_port
                                                                         : proto::kDefaultControlPort);
        lo.pin = target_.host.fingerprint;
        lo.identity = identity_.get();
        lo.timeout_ms = a_.timeout_ms;
        lo.hello = default_handshake(client_id_);
        lo.hello.display_width = mode_.width;
        lo.hello.display_height = mode_.height;
        if (mode_.hz != 0) lo.hello.max_hz = mode_.hz;
        if (width_mm_ != 0 && height_mm_ != 0) {
            lo.hello.width_mm = width_mm_;
            lo.hello.height_mm = height_mm_;
        }
        // Without a wish of ours the host keeps the monitor for its own
        // grace period, 30 s unless it was told otherwise.
        lo.hello.reconnect_wait_s = a_.reconnect_wait_s;
        lo.reconnect_ms = uint64_t{a_.reconnect_wait_s.value_or(30)} * 1000;
        live_ = std::make_unique<LiveSession>(*clock_, lo, input_);
        decode_ = std::make_unique<DecodePath>(
            *clock_, mailbox_, presenter_->picture_format(), [this] { presenter_->wake(); },
            [this] { live_->request_keyframe(); });
        std::string error;
        if (!decode_->open(error)) return fail(error);
        input_.start();
        live_->start([this](const proto::SessionOpen&) { decode_->new_session(); },
                     [this](const ReceivedFrame& f) { decode_->on_frame(f); }, [this] { presenter_->wake(); });
        return true;
    }

    void loop() {
        std::vector<proto::InputMessage> messages;
        bool redraw = false;
        for (;;) {
            uint64_t now = clock_->now_ms();
            uint64_t wait = overlay_ ? 250 : 1'000;
            if (a_.duration_ms && started_ms_ != 0) {
                const uint64_t end = started_ms_ + *a_.duration_ms;
                wait = std::min(wait, end > now ? end - now : 0);
            }
            SDL_Event e;
            bool have = SDL_WaitEventTimeout(&e, static_cast<int>(std::max<uint64_t>(1, wait))) != 0;
            while (have) {
                if (e.type == SDL_QUIT) {
                    closing_ = true;
                } else if (e.type == SDL_WINDOWEVENT &&
                           (e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED || e.window.event == SDL_WINDOWEVENT_EXPOSED)) {
                    translator_.set_view(presenter_->input_mapping(status_.session.width, status_.session.height));
                    redraw = true;
                }
                const bool mine = presenter_->is_wake(e);
                if (!mine && translator_.translate(e, messages) == InputTranslator::Action::toggle_overlay) {
                    overlay_ = !overlay_;
                    redraw = true;
                }
                have = SDL_PollEvent(&e) != 0;
            }
            input_.post(messages);
            redraw = follow_status() || redraw;
            if (status_.state == LiveState::ended) return;
            now = clock_->now_ms();
            if (closing_) {
                finish(true, "window_closed");
                return;
            }
            if (a_.duration_ms && started_ms_ != 0 && now >= started_ms_ + *a_.duration_ms) {
                finish(false, "viewer_exit");
                return;
            }
            const Picture* picture = mailbox_.take();
            Shot* shot = nullptr;
            for (Shot& s : a_.shots)
                if (!s.taken && shown_ > 0 && now >= started_ms_ + s.at_ms) shot = &s;
            if (picture != nullptr || redraw || shot != nullptr || (overlay_ && now - overlay_drawn_ms_ >= 250)) {
                show(picture, shot);
                redraw = false;
            }
        }
    }

    int report() {
        input_.stop();
        const ReceiverStats r = live_->video_stats();
        const DecodeStats d = decode_->stats();
        const InputCounters in = input_.counters();
        std::vector<int64_t> lat = latencies_;
        std::fprintf(streams_.out, "summary: %" PRIu32 " session(s), %s\n", status_.sessions,
                     status_.ended_by_viewer ? "closed by the viewer" : scrub_control(status_.reason).c_str());
        std::fprintf(streams_.out,
                     "  frames: received %" PRIu64 ", decoded %" PRIu64 ", shown %" PRIu64 ", replaced before shown %" PRIu64
                     ", late %" PRIu64 ", lost %" PRIu64 "\n",
                     r.frames_complete, d.decoded, shown_, d.superseded, d.late, r.frames_incomplete + r.frames_missing);
        if (!lat.empty()) {
            std::fprintf(streams_.out,
                         "  latency (frame time to shown): p50 %" PRId64 " ms, p95 %" PRId64 " ms, p99 %" PRId64
                         " ms over %zu frames\n",
                         percentile(lat, 50), percentile(lat, 95), percentile(lat, 99), lat.size());
        }
        std::fprintf(streams_.out, "  input: sent %" PRIu64 ", dropped %" PRIu64 "\n", in.sent, in.dropped);
        for (const Shot& shot : a_.shots)
            if (!shot.taken)
                std::fprintf(streams_.err, "sorvane-viewer show: no screenshot %s: no picture was shown by then\n",
                             shot.path.c_str());
        std::fflush(streams_.out);
        return shown_ > 0 && status_.ended_by_viewer ? kExitOk : kExitFailed;
    }

    bool fail(const std::string& what) {
        std::fprintf(streams_.err, "sorvane-viewer show: %s\n", scrub_control(what).c_str());
        return false;
    }

private:
    // Takes the session's news; true when the window should be drawn again.
    bool follow_status() {
        const LiveStatus s = live_->status();
        const LiveStatus before = status_;
        status_ = s;
        bool changed = s.state != before.state || s.notice != before.notice;
        if (s.sessions != before.sessions) {
            const uint64_t now = clock_->now_ms();
            if (before.state == LiveState::reconnecting)
                say(streams_, "reconnected after %" PRIu64 " ms\n", now - lost_ms_);
            if (started_ms_ == 0) started_ms_ = now;
            say(streams_, "session %" PRIu32 ": %ux%u@%u from %s\n", s.session.session_id, unsigned{s.session.width},
                unsigned{s.session.height}, unsigned{s.session.fps},
                s.host_name.empty() ? a_.address.c_str() : scrub_control(s.host_name).c_str());
            translator_.reset();
            translator_.set_view(presenter_->input_mapping(s.session.width, s.session.height));
            changed = true;
        }
        if (s.state != before.state && s.state == LiveState::reconnecting) {
            lost_ms_ = clock_->now_ms();
            say(streams_, "reconnecting: %s\n", scrub_control(s.reason).c_str());
        }
        if (s.state != before.state && s.state == LiveState::ended && !s.ended_by_viewer)
            say(streams_, "ended: %s\n", scrub_control(s.reason).c_str());
        if (!s.notice.empty() && s.notice != before.notice) say(streams_, "notice from the host: %s\n", s.notice.c_str());
        return changed;
    }

    void show(const Picture* picture, Shot* shot) {
        const uint64_t now = clock_->now_ms();
        if (picture != nullptr) {
            ++shown_;
            shown_times_.push_back(now);
            last_frame_time_ = picture->frame_time_ms;
        }
        while (!shown_times_.empty() && now - shown_times_.front() > 1'000) shown_times_.pop_front();
        std::vector<std::string> lines;
        if (overlay_) {
            overlay_drawn_ms_ = now;
            char line[96];
            std::snprintf(line, sizeof line, "FPS %zu", shown_times_.size());
            lines.emplace_back(line);
            lines.push_back(latency_ ? "LATENCY " + std::to_string(*latency_) + " MS" : "LATENCY -");
            lines.push_back(status_.rtt_ms ? "RTT " + std::to_string(*status_.rtt_ms) + " MS" : "RTT -");
            std::snprintf(line, sizeof line, "STREAM %uX%u@%u", unsigned{status_.session.width},
                          unsigned{status_.session.height}, unsigned{status_.session.fps});
            lines.emplace_back(line);
            const DecodeStats d = decode_->stats();
            lines.push_back("DROPPED " + std::to_string(d.superseded + d.late));
            if (!status_.notice.empty()) lines.push_back(status_.notice.substr(0, 40));
        }
        const char* banner = status_.state == LiveState::connecting     ? "connecting"
                             : status_.state == LiveState::reconnecting ? "reconnecting"
                                                                        : "";
        RgbImage capture;
        if (!presenter_->draw(picture, lines, banner, shot != nullptr ? &capture : nullptr)) {
            if (!draw_failed_) say(streams_, "window: %s\n", presenter_->last_error().c_str());
            draw_failed_ = true;
        } else if (picture != nullptr && picture->frame_time_ms) {
            // Shown once presented (the overlay above carries the picture before this one).
            // The frame time is the host's clock: ours moved onto it.
            const int64_t d = static_cast<int64_t>(clock_->now_ms()) + status_.clock_offset_ms.value_or(0) -
                              static_cast<int64_t>(*picture->frame_time_ms);
            if (d > -1'000 && d < 3'600'000) {
                latency_ = d;
                // A window may stay open for days: the summary speaks of the newest samples.
                if (latencies_.size() >= kLatencySamples)
                    latencies_.erase(latencies_.begin(), latencies_.begin() + kLatencySamples / 2);
                latencies_.push_back(d);
            }
        }
        if (shot == nullptr) return;
        shot->taken = true;
        std::string error;
        if (capture.pixels.empty() || !write_png(shot->path, capture, error)) {
            fail("screenshot " + shot->path + ": " + (error.empty() ? presenter_->last_error() : error));
            return;
        }
        say(streams_, "screenshot: %s (%ux%u, frame time %s ms, taken at %" PRIu64 " ms)\n", shot->path.c_str(),
            capture.width,
            capture.height, last_frame_time_ ? std::to_string(*last_frame_time_).c_str() : "-", now);
    }

    void finish(bool suspend, const char* reason) {
        live_->finish(suspend, reason);
        status_ = live_->status();
    }


    ShowArgs& a_;
    const Streams& streams_;
    std::unique_ptr<platform::IClock> clock_;
    PairedTarget target_;
    std::unique_ptr<ViewerIdentity> identity_;
    std::string client_id_;
    DisplayMode mode_;
    uint16_t width_mm_ = 0, height_mm_ = 0;
    std::unique_ptr<Presenter> presenter_;
    PictureMailbox mailbox_;
    InputSender input_;
    bool overlay_ = false;
    // The session goes first: its threads call into everything above.
    std::unique_ptr<DecodePath> decode_;
    std::unique_ptr<LiveSession> live_;
    InputTranslator translator_;
    LiveStatus status_;
    bool closing_ = false;
    bool draw_failed_ = false;
    uint64_t started_ms_ = 0;  // when the first session opened
    uint64_t lost_ms_ = 0;
    uint64_t overlay_drawn_ms_ = 0;
    uint64_t shown_ = 0;
    std::deque<uint64_t> shown_times_;
    std::optional<int64_t> latency_;
    std::optional<uint64_t> last_frame_time_;
    std::vector<int64_t> latencies_;
};

}  // namespace

int run_show(const std::vector<std::string>& args, const Streams& streams) {
    ShowArgs a;
    if (const int code = parse(args, a, streams); code != 0) return code;
    ShowRun run(a, streams);
    if (!run.prepare() || !run.open_window() || !run.start_session()) return kExitFailed;
    run.loop();
    return run.report();
}

}  // namespace sorvane::viewer::app
