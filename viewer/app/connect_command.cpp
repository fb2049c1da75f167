// sorvane-viewer connect: connect to a paired host the way a viewer app does
// and report everything the host answers; when it opens a session, receive
// and check the video for a while.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "common/text.h"
#include "host/protocol/defaults.h"
#include "host/protocol/reasons.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "viewer/app/commands.h"
#include "viewer/net/host_link.h"
#include "viewer/net/video_receiver.h"
#include "viewer/pairing/pairing_session.h"
#include "viewer/protocol/frame_dump.h"

namespace sorvane::viewer::app {

namespace {

struct ConnectArgs {
    std::string state_dir = default_state_dir();
    std::string host_id;
    std::string address;
    // Addresses of the paired host to try in turn when --address is not given.
    std::vector<std::string> candidates;
    std::optional<uint16_t> port;
    std::optional<uint16_t> input_port;
    std::optional<Fingerprint> fingerprint;
    std::string client_id;
    std::optional<std::string> name;
    uint32_t local_address = 0;
    uint32_t timeout_ms = 5'000;
    uint32_t duration_ms = 5'000;
    bool input = true;
    bool certificate = true;
};

// 0 when understood, else the exit code.
int parse(const std::vector<std::string>& args, ConnectArgs& a, const Streams& streams) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        std::string v;
        int64_t n = 0;
        uint32_t ip = 0;
        if (arg == "--state" && value(v)) {
            a.state_dir = v;
        } else if (arg == "--address" && value(v) && platform::parse_ipv4(v, ip)) {
            a.address = v;
        } else if (arg == "--port" && value(v) && parse_int_exact(v, n) && n > 0 && n < 65536) {
            a.port = static_cast<uint16_t>(n);
        } else if (arg == "--input-port" && value(v) && parse_int_exact(v, n) && n > 0 && n < 65536) {
            a.input_port = static_cast<uint16_t>(n);
        } else if (arg == "--fingerprint" && value(v)) {
            Fingerprint fp{};
            if (v.size() != 64 || !from_hex(v, fp.data(), fp.size())) {
                std::fputs("sorvane-viewer connect: --fingerprint needs 64 hexadecimal digits\n", streams.err);
                return kExitUsage;
            }
            a.fingerprint = fp;
        } else if (arg == "--client-id" && value(v)) {
            a.client_id = v;
        } else if (arg == "--name" && value(v)) {
            a.name = v;
        } else if (arg == "--local-address" && value(v) && platform::parse_ipv4(v, ip)) {
            a.local_address = ip;
        } else if (arg == "--timeout-ms" && value(v) && parse_int_exact(v, n) && n > 0 && n <= 600'000) {
            a.timeout_ms = static_cast<uint32_t>(n);
        } else if (arg == "--duration-ms" && value(v) && parse_int_exact(v, n) && n >= 0 && n <= 86'400'000) {
            a.duration_ms = static_cast<uint32_t>(n);
        } else if (arg == "--no-input") {
            a.input = false;
        } else if (arg == "--no-certificate") {
            a.certificate = false;
        } else if (a.host_id.empty() && arg.rfind("--", 0) != 0) {
            a.host_id = arg;
        } else {
            std::fprintf(streams.err, "sorvane-viewer connect: bad argument %s (see sorvane-viewer --help)\n",
                         scrub_control(arg).c_str());
            return kExitUsage;
        }
    }
    return 0;
}

// Fills in what the command line left open from the known-hosts file.
bool resolve_host(ConnectArgs& a, const Streams& streams) {
    if (a.fingerprint && !a.address.empty()) return true;
    KnownHost host;
    std::string error;
    if (!a.host_id.empty()) {
        if (!load_known_host(a.state_dir, a.host_id, host, error)) {
            std::fprintf(streams.err, "sorvane-viewer connect: %s\n", error.c_str());
            return false;
        }
    } else {
        const std::vector<KnownHost> hosts = list_known_hosts(a.state_dir);
        if (hosts.size() != 1) {
            std::fprintf(streams.err,
                         "sorvane-viewer connect: %s; name the host id, or give --address and --fingerprint\n",
                         hosts.empty() ? "no paired host is known" : "several paired hosts are known");
            return false;
        }
        host = hosts[0];
    }
    if (!a.fingerprint) a.fingerprint = host.fingerprint;
    if (a.address.empty()) {
        if (connect_order(host).empty()) {
            std::fputs("sorvane-viewer connect: the paired host has no address; give --address\n", streams.err);
            return false;
        }
        a.candidates = connect_order(host);
        a.address = a.candidates[0];
    }
    if (!a.port && host.control_port != 0) a.port = host.control_port;
    return true;
}

void print_event(const ClientEvent& e, const Streams& streams) {
    std::string line = "control: " + std::string(event_kind_name(e.kind));
    if (e.message) line += " " + to_json(*e.message);
    if (!e.message && e.kind != ClientEvent::Kind::invalid_stream) {
        char t[16];
        std::snprintf(t, sizeof t, " type 0x%02X", static_cast<unsigned>(e.type));
        line += t;
    }
    if (e.rtt_ms) line += " rtt_ms=" + std::to_string(*e.rtt_ms);
    say(streams, "%s\n", line.c_str());
}

// The steps of one connect run, in order; each says what went wrong itself.
class ConnectRun {
public:
    ConnectRun(ConnectArgs& a, const Streams& streams) : a_(a), streams_(streams), clock_(platform::make_system_clock()) {}

    // The viewer's certificate (unless --no-certificate) and client id.
    bool load_identity() {
        std::string error;
        if (a_.certificate) {
            identity_ = ViewerIdentity::load_or_create(a_.state_dir, *clock_, error);
            if (!identity_) {
                std::fprintf(streams_.err, "sorvane-viewer connect: %s\n", error.c_str());
                return false;
            }
        }
        if (a_.client_id.empty() && !viewer_client_id(a_.state_dir, a_.client_id, error)) {
            std::fprintf(streams_.err, "sorvane-viewer connect: %s\n", error.c_str());
            return false;
        }
        return true;
    }

    // TLS to the control port with the pinned fingerprint, then the Handshake.
    bool open_control() {
        platform::parse_ipv4(a_.address, control_.address);
        control_.port = a_.port.value_or(proto::kDefaultControlPort);
        auto new_link = [&] {
            proto::Handshake hello = default_handshake(a_.client_id);
            hello.client_name = a_.name;
            link_ = std::make_unique<ControlLink>(*clock_, std::move(hello));
        };
        new_link();
        options_.timeout_ms = a_.timeout_ms;
        options_.local_address = a_.local_address;
        // The paired host's addresses in turn (the one that worked last first).
        const std::vector<std::string> tries = a_.candidates.empty() ? std::vector<std::string>{a_.address} : a_.candidates;
        bool connected = false;
        for (size_t i = 0; i < tries.size() && !connected; ++i) {
            if (!platform::parse_ipv4(tries[i], control_.address)) continue;
            if (i > 0) new_link();
            connected = link_->connect(control_, *a_.fingerprint, identity_.get(), options_);
            if (!connected)
                say(streams_, "control %s: no connection: %s\n", platform::endpoint_text(control_).c_str(),
                    scrub_control(link_->link().last_error()).c_str());
        }
        if (!connected) return false;
        say(streams_, "control %s: TLS established, host certificate matches the pinned fingerprint\n",
            platform::endpoint_text(control_).c_str());
        if (!link_->start()) {
            say(streams_, "control: could not send the Handshake: %s\n",
                scrub_control(link_->link().last_error()).c_str());
            return false;
        }
        say(streams_, "control: Handshake sent (client_id %s, protocol 0x%04X)\n", scrub_control(a_.client_id).c_str(),
            static_cast<unsigned>(proto::kProtocolVersion));
        return true;
    }

    // Until the host answers: a HandshakeAck and, when accepted, SessionOpen.
    bool await_session() {
        bool open = false;
        bool answered = false;
        const uint64_t answer_deadline = clock_->now_ms() + a_.timeout_ms;
        while (!open && !gone_ && clock_->now_ms() < answer_deadline) {
            events_.clear();
            gone_ = !link_->pump(50, events_);
            for (const ClientEvent& e : events_) {
                print_event(e, streams_);
                if (e.kind != ClientEvent::Kind::heartbeat && e.kind != ClientEvent::Kind::heartbeat_ack) answered = true;
                if (e.kind == ClientEvent::Kind::session_open) open = true;
            }
            if (link_->client().state() == ClientState::closed) gone_ = true;
        }
        if (open) return true;
        const ClientState state = link_->client().state();
        if (state == ClientState::closed && link_->client().ack() && !link_->client().ack()->accepted) {
            say(streams_, "result: refused by the host: %s\n",
                scrub_control(link_->client().ack()->reason.value_or("(no reason)")).c_str());
        } else if (gone_) {
            say(streams_, "result: the host closed the connection%s\n", answered ? "" : " without a message");
        } else {
            say(streams_, "result: no %s from the host within %u ms\n", answered ? "SessionOpen" : "answer",
                static_cast<unsigned>(a_.timeout_ms));
        }
        link_->link().close();
        return false;
    }

    // SessionOpenAck, then the video socket and its VideoHellos.
    bool start_video() {
        session_ = *link_->client().session();
        VideoReceiverOptions vo;
        vo.host_video = {control_.address, session_.video_port};
        vo.session_id = session_.session_id;
        const std::string key = session_.video_key.value_or("");
        if (key.size() != vo.key.size()) {
            say(streams_, "result: SessionOpen carries no 32-byte video key\n");
            link_->client().acknowledge_session(false);
            link_->flush();
            link_->link().close();
            return false;
        }
        std::copy(key.begin(), key.end(), vo.key.begin());
        // Acknowledge first, so the first VideoHello finds the host waiting for it.
        link_->client().acknowledge_session(true);
        if (!link_->flush()) {
            say(streams_, "control: could not send SessionOpenAck: %s\n",
                scrub_control(link_->link().last_error()).c_str());
            link_->link().close();
            return false;
        }
        video_ = std::make_unique<VideoReceiver>(*clock_);
        std::string error;
        if (!video_->start(vo, {}, error)) {
            say(streams_, "video: %s\n", scrub_control(error).c_str());
            link_->client().close(std::string("viewer_exit"));
            link_->flush();
            link_->link().close();
            return false;
        }
        say(streams_, "session %" PRIu32 ": SessionOpenAck sent; VideoHello from udp port %u to %s\n",
            session_.session_id, static_cast<unsigned>(video_->local_port()),
            platform::endpoint_text(vo.host_video).c_str());
        return true;
    }

    // The input connection, unless --no-input; the session goes on without it.
    void connect_input() {
        input_ = std::make_unique<HostLink>(*clock_);
        if (!a_.input) return;
        const platform::Endpoint input_ep{control_.address, a_.input_port.value_or(session_.input_port)};
        if (input_->connect(input_ep, *a_.fingerprint, identity_.get(), options_))
            say(streams_, "input %s: TLS established\n", platform::endpoint_text(input_ep).c_str());
        else
            say(streams_, "input %s: no connection: %s\n", platform::endpoint_text(input_ep).c_str(),
                scrub_control(input_->last_error()).c_str());
    }

    // Streams for the requested time; heartbeats tell the host's clock.
    void stream() {
        const uint64_t end = clock_->now_ms() + a_.duration_ms;
        while (!gone_ && clock_->now_ms() < end) {
            events_.clear();
            gone_ = !link_->pump(50, events_);
            for (const ClientEvent& e : events_) {
                if (e.kind == ClientEvent::Kind::heartbeat) {
                    const auto& beat = std::get<proto::Heartbeat>(*e.message);
                    const int64_t o = static_cast<int64_t>(beat.timestamp_ms) - static_cast<int64_t>(clock_->now_ms());
                    if (!offset_ || o > *offset_) offset_ = o;
                    continue;
                }
                print_event(e, streams_);
                if (e.kind == ClientEvent::Kind::host_close) gone_ = true;
            }
        }
        if (!gone_) {
            link_->client().close(std::string("viewer_exit"));
            link_->flush();
        }
        video_->stop();
        input_->close();
        link_->link().close();
    }

    void report() {
        const ReceiverStats s = video_->stats();
        const int64_t shift = offset_.value_or(0);
        std::fprintf(streams_.out,
                     "video: hellos=%" PRIu32 " frames=%" PRIu64 " keyframes=%" PRIu64 " bytes=%" PRIu64
                     " incomplete=%" PRIu64 " missing=%" PRIu64 " tag_failures=%" PRIu64 " duplicates=%" PRIu64
                     " late=%" PRIu64 " malformed=%" PRIu64 "\n",
                     video_->hellos_sent(), s.frames_complete, s.keyframes, s.bytes, s.frames_incomplete,
                     s.frames_missing, s.tag_failures, s.duplicates, s.late, s.malformed);
        if (s.frames_complete > 0) {
            say(streams_, "latency (capture to reassembled, %s): min=%" PRId64 " avg=%.1f max=%" PRId64 " ms\n",
                offset_ ? "host clock from heartbeats" : "same clock assumed", s.latency_min_ms + shift,
                s.latency_avg_ms + static_cast<double>(shift), s.latency_max_ms + shift);
        }
        say(streams_, "result: session %" PRIu32 " %s\n", session_.session_id,
            gone_ ? "ended by the host" : "closed by the viewer");
    }

private:
    ConnectArgs& a_;
    const Streams& streams_;
    std::unique_ptr<platform::IClock> clock_;
    std::unique_ptr<ViewerIdentity> identity_;
    platform::Endpoint control_;
    LinkOptions options_;
    std::unique_ptr<ControlLink> link_;
    std::vector<ClientEvent> events_;
    bool gone_ = false;
    proto::SessionOpen session_;
    std::unique_ptr<VideoReceiver> video_;
    std::unique_ptr<HostLink> input_;
    std::optional<int64_t> offset_;
};

}  // namespace

int run_connect(const std::vector<std::string>& args, const Streams& streams) {
    ConnectArgs a;
    if (const int code = parse(args, a, streams); code != 0) return code;
    if (!resolve_host(a, streams)) return kExitFailed;
    ConnectRun run(a, streams);
    if (!run.load_identity() || !run.open_control() || !run.await_session() || !run.start_video()) return kExitFailed;
    run.connect_input();
    run.stream();
    run.report();
    return kExitOk;
}

}  // namespace sorvane::viewer::app
