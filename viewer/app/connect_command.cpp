// sorvane-viewer connect: connect to a paired host the way a viewer app does
// and report everything the host answers; when it opens a session, receive
// and check the video for a while.
#include <cinttypes>
#include <cstdarg>
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
        if (host.addresses.empty()) {
            std::fputs("sorvane-viewer connect: the paired host has no address; give --address\n", streams.err);
            return false;
        }
        a.address = host.addresses[0];
    }
    if (!a.port && host.control_port != 0) a.port = host.control_port;
    return true;
}

// One progress line; flushed at once, since the command runs for a while
// and whoever watches it (a person or a script) wants each line as it comes.
void say(const Streams& streams, const char* format, ...) __attribute__((format(printf, 2, 3)));
void say(const Streams& streams, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(streams.out, format, args);
    va_end(args);
    std::fflush(streams.out);
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

}  // namespace

int run_connect(const std::vector<std::string>& args, const Streams& streams) {
    ConnectArgs a;
    if (const int code = parse(args, a, streams); code != 0) return code;
    if (!resolve_host(a, streams)) return kExitFailed;
    platform::Endpoint control;
    platform::parse_ipv4(a.address, control.address);
    control.port = a.port.value_or(proto::kDefaultControlPort);

    auto clock = platform::make_system_clock();
    std::string error;
    std::unique_ptr<ViewerIdentity> identity;
    if (a.certificate) {
        identity = ViewerIdentity::load_or_create(a.state_dir, *clock, error);
        if (!identity) {
            std::fprintf(streams.err, "sorvane-viewer connect: %s\n", error.c_str());
            return kExitFailed;
        }
    }
    if (a.client_id.empty() && !viewer_client_id(a.state_dir, a.client_id, error)) {
        std::fprintf(streams.err, "sorvane-viewer connect: %s\n", error.c_str());
        return kExitFailed;
    }

    proto::Handshake hello = default_handshake(a.client_id);
    hello.client_name = a.name;
    ControlLink link(*clock, std::move(hello));
    LinkOptions options;
    options.timeout_ms = a.timeout_ms;
    options.local_address = a.local_address;
    if (!link.connect(control, *a.fingerprint, identity.get(), options)) {
        say(streams, "control %s: no connection: %s\n", platform::endpoint_text(control).c_str(),
                     scrub_control(link.link().last_error()).c_str());
        return kExitFailed;
    }
    say(streams, "control %s: TLS established, host certificate matches the pinned fingerprint\n",
                 platform::endpoint_text(control).c_str());
    if (!link.start()) {
        say(streams, "control: could not send the Handshake: %s\n",
                     scrub_control(link.link().last_error()).c_str());
        return kExitFailed;
    }
    say(streams, "control: Handshake sent (client_id %s, protocol 0x%04X)\n",
                 scrub_control(a.client_id).c_str(), static_cast<unsigned>(proto::kProtocolVersion));

    // Until the host answers: a HandshakeAck and, when accepted, SessionOpen.
    std::vector<ClientEvent> events;
    bool open = false;
    bool answered = false;
    bool gone = false;
    const uint64_t answer_deadline = clock->now_ms() + a.timeout_ms;
    while (!open && !gone && clock->now_ms() < answer_deadline) {
        events.clear();
        gone = !link.pump(50, events);
        for (const ClientEvent& e : events) {
            print_event(e, streams);
            if (e.kind != ClientEvent::Kind::heartbeat && e.kind != ClientEvent::Kind::heartbeat_ack) answered = true;
            if (e.kind == ClientEvent::Kind::session_open) open = true;
        }
        if (link.client().state() == ClientState::closed) gone = true;
    }
    if (!open) {
        const ClientState state = link.client().state();
        if (state == ClientState::closed && link.client().ack() && !link.client().ack()->accepted) {
            say(streams, "result: refused by the host: %s\n",
                         scrub_control(link.client().ack()->reason.value_or("(no reason)")).c_str());
        } else if (gone) {
            say(streams, "result: the host closed the connection%s\n",
                         answered ? "" : " without a message");
        } else {
            say(streams, "result: no %s from the host within %u ms\n",
                         answered ? "SessionOpen" : "answer", static_cast<unsigned>(a.timeout_ms));
        }
        link.link().close();
        return kExitFailed;
    }

    // The session.
    const proto::SessionOpen session = *link.client().session();
    VideoReceiverOptions vo;
    vo.host_video = {control.address, session.video_port};
    vo.session_id = session.session_id;
    const std::string key = session.video_key.value_or("");
    if (key.size() != vo.key.size()) {
        say(streams, "result: SessionOpen carries no 32-byte video key\n");
        link.client().acknowledge_session(false);
        link.flush();
        link.link().close();
        return kExitFailed;
    }
    std::copy(key.begin(), key.end(), vo.key.begin());
    // Acknowledge first, so the first VideoHello finds the host waiting for it.
    link.client().acknowledge_session(true);
    if (!link.flush()) {
        say(streams, "control: could not send SessionOpenAck: %s\n",
                     scrub_control(link.link().last_error()).c_str());
        link.link().close();
        return kExitFailed;
    }
    VideoReceiver video(*clock);
    if (!video.start(vo, {}, error)) {
        say(streams, "video: %s\n", scrub_control(error).c_str());
        link.client().close(std::string("viewer_exit"));
        link.flush();
        link.link().close();
        return kExitFailed;
    }
    say(streams, "session %" PRIu32 ": SessionOpenAck sent; VideoHello from udp port %u to %s\n",
                 session.session_id, static_cast<unsigned>(video.local_port()),
                 platform::endpoint_text(vo.host_video).c_str());

    HostLink input(*clock);
    if (a.input) {
        const platform::Endpoint input_ep{control.address, a.input_port.value_or(session.input_port)};
        if (input.connect(input_ep, *a.fingerprint, identity.get(), options))
            say(streams, "input %s: TLS established\n", platform::endpoint_text(input_ep).c_str());
        else
            say(streams, "input %s: no connection: %s\n", platform::endpoint_text(input_ep).c_str(),
                         scrub_control(input.last_error()).c_str());
    }

    // Stream for the requested time; heartbeats tell the host's clock.
    std::optional<int64_t> offset;
    const uint64_t end = clock->now_ms() + a.duration_ms;
    while (!gone && clock->now_ms() < end) {
        events.clear();
        gone = !link.pump(50, events);
        for (const ClientEvent& e : events) {
            if (e.kind == ClientEvent::Kind::heartbeat) {
                const auto& beat = std::get<proto::Heartbeat>(*e.message);
                const int64_t o = static_cast<int64_t>(beat.timestamp_ms) - static_cast<int64_t>(clock->now_ms());
                if (!offset || o > *offset) offset = o;
                continue;
            }
            print_event(e, streams);
            if (e.kind == ClientEvent::Kind::host_close) gone = true;
        }
    }
    if (!gone) {
        link.client().close(std::string("viewer_exit"));
        link.flush();
    }
    video.stop();
    input.close();
    link.link().close();

    const ReceiverStats s = video.stats();
    const int64_t shift = offset.value_or(0);
    std::fprintf(streams.out,
                 "video: hellos=%" PRIu32 " frames=%" PRIu64 " keyframes=%" PRIu64 " bytes=%" PRIu64
                 " incomplete=%" PRIu64 " missing=%" PRIu64 " tag_failures=%" PRIu64 " duplicates=%" PRIu64
                 " late=%" PRIu64 " malformed=%" PRIu64 "\n",
                 video.hellos_sent(), s.frames_complete, s.keyframes, s.bytes, s.frames_incomplete, s.frames_missing,
                 s.tag_failures, s.duplicates, s.late, s.malformed);
    if (s.frames_complete > 0) {
        say(streams, "latency (capture to reassembled, %s): min=%" PRId64 " avg=%.1f max=%" PRId64 " ms\n",
                     offset ? "host clock from heartbeats" : "same clock assumed", s.latency_min_ms + shift,
                     s.latency_avg_ms + static_cast<double>(shift), s.latency_max_ms + shift);
    }
    say(streams, "result: session %" PRIu32 " %s\n", session.session_id,
                 gone ? "ended by the host" : "closed by the viewer");
    return kExitOk;
}

}  // namespace sorvane::viewer::app
