// Sessions and the session manager against fakes: the handshake's refusals,
// the one-device rule and supersede, heartbeats, how the monitor is given
// back, input routing, and every watchdog.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "host/core/log.h"
#include "host/protocol/control_messages.h"
#include "host/protocol/input_messages.h"
#include "host/protocol/reasons.h"
#include "host/session/session_manager.h"
#include "host/trust/pairing_store.h"
#include "platform/linux/random_fault.h"
#include "platform/random.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/ports.h"
#include "tests/support/host_fakes.h"
#include "tests/support/temp_dir.h"
#include "viewer/net/video_crypto.h"

namespace sorvane {
namespace {

struct FakeTransport : ITransport {
    std::mutex mutex;
    std::map<ConnId, std::vector<proto::ControlMessage>> sent;
    std::vector<ConnId> closed;
    UdpStats udp_stats(uint32_t) override { return {}; }
    bool start(const HostOptions&, ITransportSink&) override { return true; }
    uint16_t video_port() const override { return 47001; }
    uint16_t input_port() const override { return 47002; }
    bool send_control(ConnId conn, proto::ByteView bytes) override {
        auto d = proto::decode_control(bytes[4], bytes.subspan(5));
        std::lock_guard lock(mutex);
        sent[conn].push_back(d.message);
        return true;
    }
    void close_connection(ConnId conn) override {
        std::lock_guard lock(mutex);
        closed.push_back(conn);
    }
    bool send_video(const Endpoint&, proto::ByteView) override { return true; }
    void stop() override {}

    template <class M>
    std::vector<M> of(ConnId conn) {
        std::lock_guard lock(mutex);
        std::vector<M> out;
        for (auto& m : sent[conn])
            if (auto* p = std::get_if<M>(&m)) out.push_back(*p);
        return out;
    }
    bool was_closed(ConnId conn) {
        std::lock_guard lock(mutex);
        return std::find(closed.begin(), closed.end(), conn) != closed.end();
    }
};

struct FakeMonitors : ISessionMonitors {
    std::mutex mutex;
    std::string fail;  // acquire error when not empty
    std::atomic<bool> alive{true};
    std::vector<std::string> events;
    SessionMonitor acquire_monitor(const SessionMonitorRequest& r, uint32_t id) override {
        std::lock_guard lock(mutex);
        events.push_back("acquire " + std::to_string(id) + " " + std::to_string(r.refresh));
        SessionMonitor m;
        m.ok = fail.empty();
        m.error = fail;
        m.text = "monitor-" + std::to_string(id);
        m.width = r.width ? r.width : 1920;
        m.height = r.height ? r.height : 1080;
        m.refresh = r.refresh;
        return m;
    }
    void release_after_grace(const std::string&, uint32_t id, uint32_t grace) override {
        std::lock_guard lock(mutex);
        events.push_back("grace " + std::to_string(id) + " " + std::to_string(grace));
    }
    void release_monitor(const std::string&, uint32_t id) override {
        std::lock_guard lock(mutex);
        events.push_back("release " + std::to_string(id));
    }
    bool monitor_alive(const std::string&, uint32_t) override { return alive; }
    std::string last() {
        std::lock_guard lock(mutex);
        return events.empty() ? "" : events.back();
    }
};

struct PipelineWorld {
    std::mutex mutex;
    std::atomic<int> opens{0}, starts{0}, stops{0};
    std::string fail;  // open error when not empty
    PipelineSnapshot stats{0, 0, 0, "sent=0"};
    uint32_t seq = 0;
    uint32_t seq_given = 0;
};

struct FakePipeline : ISessionPipeline {
    PipelineWorld& w;
    uint32_t fps_;
    explicit FakePipeline(PipelineWorld& world, uint32_t fps) : w(world), fps_(fps) {}
    void set_cipher(std::shared_ptr<VideoCipher>) override {}
    void run(VideoSender) override {}
    void start() override { ++w.starts; }
    void stop() override { ++w.stops; }
    void request_keyframe() override {}
    bool lower_fps(uint32_t fps) override {
        if (fps >= fps_) return false;
        fps_ = fps;
        return true;
    }
    uint32_t fps() const override { return fps_; }
    uint32_t width() const override { return 1920; }
    uint32_t height() const override { return 1080; }
    uint32_t frame_seq() const override { return w.seq; }
    void set_frame_seq(uint32_t s) override { w.seq_given = s; }
    bool touch_ready() const override { return true; }
    PipelineSnapshot stats() const override {
        std::lock_guard lock(w.mutex);
        return w.stats;
    }
};

struct FakePipelines : IPipelineFactory {
    PipelineWorld& w;
    explicit FakePipelines(PipelineWorld& world) : w(world) {}
    std::unique_ptr<ISessionPipeline> open(const SessionPipelineConfig& c, std::string& error) override {
        ++w.opens;
        if (!w.fail.empty()) {
            error = w.fail;
            return nullptr;
        }
        return std::make_unique<FakePipeline>(w, c.fps);
    }
};

template <class M>
proto::Bytes payload_of(const M& m) {
    proto::Bytes frame;
    EXPECT_TRUE(proto::encode_control(m, frame));
    return proto::Bytes(frame.begin() + 5, frame.end());
}

Endpoint ep(uint32_t address, uint16_t port) {
    Endpoint e;
    e.address = address;
    e.port = port;
    return e;
}

constexpr uint32_t kPeer = 0x0A000005;  // 10.0.0.5

struct SessionWorld : ::testing::Test {
    sim::ManualClock clock;
    FakeTransport transport;
    FakeMonitors monitors;
    PipelineWorld pw;
    FakePipelines pipelines{pw};
    std::atomic<uint32_t> epoch{0};
    std::mutex notes_mutex;
    std::map<std::string, std::string> notes;
    HostOptions options;
    std::unique_ptr<SessionManager> manager;
    ConnId next_conn = 1;

    void SetUp() override {
        options.host_id = "host";
        options.host_name = "pc";
        SessionServices s;
        s.clock = &clock;
        s.pipelines = &pipelines;
        s.random = [](uint8_t* key, size_t n) { return platform::secure_random(key, n); };
        s.power_epoch = [this] { return epoch.load(); };
        s.note = [this](const std::string& k, const std::string& v) {
            std::lock_guard lock(notes_mutex);
            notes[k] = v;
        };
        s.utc_now = [] { return std::string("2026-12-09T09:00:00Z"); };
        services = s;
    }
    void make_manager() { manager = std::make_unique<SessionManager>(transport, options, monitors, services); }
    SessionServices services;

    proto::Handshake hello_from(const std::string& client) {
        proto::Handshake hs;
        hs.protocol = 0x0100;
        hs.client_id = client;
        hs.client_name = "Tablet";
        hs.caps = std::vector<std::string>{"H264"};
        hs.display_width = 2000;
        hs.display_height = 1200;
        return hs;
    }
    // Opens a control connection presenting the certificate fp; returns the conn id.
    ConnId open_conn(const Fingerprint& fp = Fingerprint{}, uint32_t address = kPeer) {
        if (!manager) make_manager();
        const ConnId conn = next_conn++;
        manager->on_control_connected(conn, ep(address, 40000), fp);
        return conn;
    }
    // Connects and hands over a Handshake; returns the conn id.
    ConnId connect(const proto::Handshake& hs, uint32_t address = kPeer, const Fingerprint& fp = Fingerprint{}) {
        const ConnId conn = open_conn(fp, address);
        send(conn, hs);
        return conn;
    }
    proto::HandshakeAck ack_of(ConnId conn) {
        auto acks = transport.of<proto::HandshakeAck>(conn);
        EXPECT_EQ(acks.size(), 1u);
        return acks.empty() ? proto::HandshakeAck{} : acks[0];
    }
    template <class M>
    void send(ConnId conn, const M& m) {
        auto p = payload_of(m);
        manager->on_control_message(conn, M::kType, p);
    }
    // Handshake, SessionOpenAck and a valid VideoHello: the session streams.
    uint32_t stream(ConnId& conn, const std::string& client = "viewer-a") {
        conn = connect(hello_from(client));
        const uint32_t id = *ack_of(conn).session_id;
        send(conn, proto::SessionOpenAck{id, true});
        auto open = transport.of<proto::SessionOpen>(conn).at(0);
        viewer::VideoKey key{};
        std::copy(open.video_key->begin(), open.video_key->end(), key.begin());
        std::string error;
        auto crypto = viewer::VideoCrypto::create(key, error);
        std::vector<uint8_t> d;
        EXPECT_TRUE(crypto->hello(id, 1, d));
        manager->on_video_hello(ep(kPeer, 50000), id, d);
        EXPECT_EQ(manager->session_by_id(id)->state(), SessionState::Streaming);
        return id;
    }
    void set_stats(uint64_t sent, uint64_t stuck, uint64_t idr, bool ended = false, bool size_changed = false) {
        std::lock_guard lock(pw.mutex);
        pw.stats = {sent, stuck, idr, "sent=" + std::to_string(sent), ended, size_changed};
    }
    // Advances the clock in steps of 200 ms with a tick and a heartbeat
    // from the viewer each second, so the connection stays alive.
    void run_for(ConnId conn, uint32_t id, uint64_t ms) {
        for (uint64_t t = 0; t < ms; t += 200) {
            clock.advance_ms(200);
            if (t % 1000 == 0) send(conn, proto::Heartbeat{id, 1});
            manager->tick_all();
        }
    }
    std::string close_reason(ConnId conn) {
        auto closes = transport.of<proto::SessionClose>(conn);
        return closes.empty() ? "" : closes.back().reason.value_or("");
    }
};

TEST_F(SessionWorld, HandshakeRefusalsCarryTheirReasons) {
    struct Case {
        const char* name;
        uint16_t protocol;
        std::optional<std::vector<std::string>> caps;
        const char* monitor_error;
        const char* pipeline_error;
        std::string_view reason;  // empty: accepted
        const char* monitor_event;
    } cases[] = {
        {"minor newer", 0x0101, std::vector<std::string>{"H264"}, "", "", "", "grace"},
        {"no caps field", 0x0100, std::nullopt, "", "", "", "grace"},
        {"host outdated", 0x0200, std::nullopt, "", "", proto::kReasonHostOutdated, ""},
        {"client outdated", 0x00FF, std::nullopt, "", "", proto::kReasonClientOutdated, ""},
        {"empty caps", 0x0100, std::vector<std::string>{}, "", "", proto::kReasonCodecUnsupported, ""},
        {"allow list", 0x0100, std::nullopt, "pipe: not on the allow list", "", proto::kReasonDriverNotAuthorized, ""},
        {"no driver", 0x0100, std::nullopt, "driver not loaded", "", proto::kReasonDriverMissing, ""},
        {"adapter", 0x0100, std::nullopt, "the adapter is not ready", "", proto::kReasonMonitorDriverNotReady, ""},
        {"desktop", 0x0100, std::nullopt, "desktop unavailable", "", proto::kReasonMonitorDesktopUnavailable, ""},
        {"other", 0x0100, std::nullopt, "boom", "", proto::kReasonMonitorError, ""},
        // A dropped connection keeps the monitor for the grace period; a
        // pipeline that cannot open gives it back at once.
        {"pipeline", 0x0100, std::nullopt, "", "no encoder", proto::kReasonPipelineError, "release"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        monitors.fail = c.monitor_error;
        pw.fail = c.pipeline_error;
        auto hs = hello_from(std::string("dev-") + c.name);
        hs.protocol = c.protocol;
        hs.caps = c.caps;
        manager.reset();
        const ConnId conn = connect(hs);
        const auto ack = ack_of(conn);
        EXPECT_EQ(ack.accepted, c.reason.empty());
        EXPECT_EQ(ack.reason.value_or(""), c.reason);
        EXPECT_EQ(transport.was_closed(conn), !c.reason.empty());
        if (c.reason.empty()) {
            EXPECT_EQ(transport.of<proto::SessionOpen>(conn).at(0).video_key->size(), 32u);
            EXPECT_EQ(*ack.session_id, manager->session_by_id(*ack.session_id)->session_id());
        }
        if (*c.monitor_event) {
            manager->on_control_closed(conn);
            EXPECT_EQ(monitors.last().rfind(c.monitor_event, 0), 0u) << monitors.last();
        }
    }

    // No video key can be drawn: refused, and the monitor goes back at once.
    monitors.fail = pw.fail = "";
    manager.reset();
    platform::test_faults::fail_random_calls(0, 1);
    const ConnId conn = connect(hello_from("dev-no-key"));
    platform::test_faults::reset_random_faults();
    EXPECT_EQ(ack_of(conn).reason.value_or(""), proto::kReasonVideoCryptoError);
    EXPECT_TRUE(transport.of<proto::SessionOpen>(conn).empty());
    manager->on_control_closed(conn);
    EXPECT_EQ(monitors.last().rfind("release", 0), 0u) << monitors.last();

    // A paired certificate naming another device's client id: refused
    // before any monitor is asked for; its own id is welcome.
    test::TempDir dir;
    test::NullProtector protector;
    PairingStore pairings(protector, clock);
    pairings.load(dir.file("pairings.dat"));
    PairingRecord record;
    record.client_id = "dev-real";
    record.fingerprint = Fingerprint{7};
    pairings.upsert(record);
    services.pairings = &pairings;
    manager.reset();
    const size_t asked = monitors.events.size();
    const ConnId posing = connect(hello_from("dev-other"), kPeer, Fingerprint{7});
    EXPECT_EQ(ack_of(posing).reason.value_or(""), proto::kReasonIdentityMismatch);
    EXPECT_EQ(monitors.events.size(), asked);
    const ConnId honest = connect(hello_from("dev-real"), kPeer, Fingerprint{7});
    EXPECT_TRUE(ack_of(honest).accepted);
    manager.reset();
    services.pairings = nullptr;
}

TEST_F(SessionWorld, TheViewersRefreshReachesTheProviderWithinSixtyTo120Hz) {
    const struct {
        std::optional<uint16_t> max_hz;
        uint32_t requested;
    } cases[] = {{std::nullopt, 60}, {30, 60}, {90, 90}, {144, 120}};
    for (const auto& c : cases) {
        auto hs = hello_from("dev-" + std::to_string(c.max_hz.value_or(0)));
        hs.max_hz = c.max_hz;
        manager.reset();
        const ConnId conn = connect(hs);
        EXPECT_EQ(transport.of<proto::SessionOpen>(conn).at(0).fps, c.requested);
        const std::string id = std::to_string(*ack_of(conn).session_id);
        EXPECT_NE(std::find(monitors.events.begin(), monitors.events.end(),
                            "acquire " + id + " " + std::to_string(c.requested)),
                  monitors.events.end())
            << c.requested;
    }
}

TEST_F(SessionWorld, OneDeviceAtATimeAndTheSameDeviceSupersedesItsOlderSession) {
    ConnId a1 = 0;
    const uint32_t s1 = stream(a1, "device-a");
    // Another device is refused with the device-limit text; A goes on.
    const ConnId b = connect(hello_from("device-b"));
    EXPECT_EQ(ack_of(b).reason.value_or(""), proto::kReasonDeviceLimitEnglish);
    manager->on_control_closed(b);
    EXPECT_EQ(manager->session_by_id(s1)->state(), SessionState::Streaming);
    // A reconnects: admitted, and its older session ends keeping the monitor
    // for the grace period (the older never ends the newer one).
    const ConnId a2 = connect(hello_from("device-a"));
    const uint32_t s2 = *ack_of(a2).session_id;
    EXPECT_TRUE(ack_of(a2).accepted);
    EXPECT_EQ(manager->session_by_id(s1)->state(), SessionState::Closed);
    EXPECT_TRUE(transport.was_closed(a1));
    EXPECT_FALSE(transport.was_closed(a2));
    EXPECT_NE(std::find(monitors.events.begin(), monitors.events.end(), "grace " + std::to_string(s1) + " 0"),
              monitors.events.end());
    manager->on_control_closed(a1);
    EXPECT_EQ(manager->open_session_count(), 1u);
    EXPECT_EQ(manager->connected_device_names(), std::vector<std::string>{"Tablet"});
    // With a raised limit, a second device is admitted.
    options.max_devices = 2;
    manager.reset();
    ConnId x = 0, y = 0;
    stream(x, "device-x");
    stream(y, "device-y");
    EXPECT_EQ(manager->device_stream_info().size(), 2u);
    (void)s2;
}

// Two connections of one device whose Handshakes arrive newest first: the
// older one is refused as superseded, one monitor, one stream.
TEST_F(SessionWorld, TheNewestConnectionOfADeviceWinsWhicheverHandshakesFirst) {
    const ConnId older = open_conn();
    const ConnId newer = open_conn();
    send(newer, hello_from("device-a"));
    send(older, hello_from("device-a"));
    EXPECT_TRUE(ack_of(newer).accepted);
    EXPECT_EQ(ack_of(older).reason.value_or(""), proto::kReasonSuperseded);
    EXPECT_TRUE(transport.was_closed(older));
    EXPECT_FALSE(transport.was_closed(newer));
    EXPECT_EQ(monitors.events.size(), 1u);
    EXPECT_EQ(pw.opens.load(), 1);
    manager->on_control_closed(older);
    EXPECT_EQ(manager->connected_device_names(), std::vector<std::string>{"Tablet"});
}

// A paired device that is refused holds no place: its refused connection
// counts no more, and it can keep at most two waiting for their Handshake.
// The streaming device's reconnect still gets in.
TEST_F(SessionWorld, ARefusedDeviceCannotHoldThePlacesOfTheStreamingOne) {
    std::atomic<bool> turkish{false};
    services.turkish = [&] { return turkish.load(); };
    ConnId a1 = 0;
    stream(a1, "device-a");
    const Fingerprint b_cert{0xB};
    const ConnId refused = connect(hello_from("device-b"), kPeer, b_cert);
    EXPECT_EQ(ack_of(refused).reason.value_or(""), proto::kReasonDeviceLimitEnglish);
    // The panel switched the language: the next refusal speaks Turkish.
    turkish = true;
    const ConnId refused_tr = connect(hello_from("device-b"), kPeer, b_cert);
    EXPECT_EQ(ack_of(refused_tr).reason.value_or(""), proto::kReasonDeviceLimitTurkish);
    const ConnId idle1 = open_conn(b_cert), idle2 = open_conn(b_cert), idle3 = open_conn(b_cert);
    EXPECT_FALSE(transport.was_closed(idle1));
    EXPECT_FALSE(transport.was_closed(idle2));
    EXPECT_TRUE(transport.was_closed(idle3));
    EXPECT_TRUE(transport.of<proto::HandshakeAck>(idle3).empty());

    const ConnId a2 = connect(hello_from("device-a"));
    EXPECT_TRUE(ack_of(a2).accepted);
    EXPECT_EQ(manager->session_by_id(*ack_of(a2).session_id)->state(), SessionState::AwaitOpenAck);
}

TEST_F(SessionWorld, HeartbeatsRoundTripsAndTheSixSecondTimeout) {
    ConnId conn = 0;
    const uint32_t id = stream(conn);
    auto session = manager->session_by_id(id);
    // Our heartbeats go out every 2 s; the viewer's acks give round trips,
    // but an echo from the future is not one.
    clock.advance_ms(2000);
    manager->tick_all();
    auto beats = transport.of<proto::Heartbeat>(conn);
    ASSERT_EQ(beats.size(), 1u);
    clock.advance_ms(30);
    send(conn, proto::HeartbeatAck{id, 0, beats[0].timestamp_ms});
    send(conn, proto::HeartbeatAck{id, 0, clock.now_ms() + 100'000});
    send(conn, proto::Heartbeat{id, 77});
    EXPECT_EQ(transport.of<proto::HeartbeatAck>(conn).back().echo_ms, 77u);
    const RoundTrips rtt = session->round_trips();
    EXPECT_EQ(rtt.count, 1u);
    EXPECT_DOUBLE_EQ(rtt.max_ms, 30.0);
    // 6.1 s of silence: SessionClose(timeout); the monitor waits for the
    // viewer's requested grace.
    clock.advance_ms(6'100);
    manager->tick_all();
    EXPECT_EQ(close_reason(conn), "timeout");
    EXPECT_TRUE(transport.was_closed(conn));
    manager->on_control_closed(conn);
    EXPECT_EQ(monitors.last(), "grace " + std::to_string(id) + " 0");
    EXPECT_GE(pw.stops.load(), 1);
}

// The tick thread reads the time, then a viewer's message lands before the
// tick reaches its session: that is not silence, and nothing closes.
TEST_F(SessionWorld, ATickReadBeforeTheLatestMessageClosesNothing) {
    ConnId conn = 0;
    const uint32_t id = stream(conn);
    const uint64_t read_by_tick = clock.now_ms() - 5;
    send(conn, proto::Heartbeat{id, 1});
    manager->session_by_id(id)->tick(read_by_tick);
    EXPECT_EQ(close_reason(conn), "");
    EXPECT_FALSE(transport.was_closed(conn));
    EXPECT_EQ(manager->session_by_id(id)->state(), SessionState::Streaming);
}

TEST_F(SessionWorld, ViewerCloseAndHostDisconnectReleaseTheMonitorAtOnce) {
    ConnId conn = 0;
    uint32_t id = stream(conn);
    send(conn, proto::SessionClose{id, std::string("bye")});
    manager->on_control_closed(conn);
    EXPECT_EQ(monitors.last(), "release " + std::to_string(id));

    auto hs = hello_from("viewer-a");
    hs.protocol = 0x0100;
    id = stream(conn);
    EXPECT_TRUE(manager->disconnect_device("viewer-a", "from the panel"));
    EXPECT_EQ(close_reason(conn), "host_disconnect");
    manager->on_control_closed(conn);
    EXPECT_EQ(monitors.last(), "release " + std::to_string(id));

    // A suspend keeps it for the grace period.
    id = stream(conn);
    send(conn, proto::SessionSuspend{id, std::string("background")});
    manager->on_control_closed(conn);
    EXPECT_EQ(monitors.last(), "grace " + std::to_string(id) + " 0");
}

TEST_F(SessionWorld, OpenHostSettingsOpensTheDisplayPageThroughTheMachinesShell) {
    test::HostLog log;
    auto machine = std::make_shared<sim::Machine>();
    ASSERT_TRUE(machine->initialize({}));
    auto shell = sim::make_sim_shell(machine);
    services.open_display_settings = [&] { return shell->open("ms-settings:display"); };
    ConnId conn = 0;
    const uint32_t id = stream(conn);
    const struct {
        uint64_t after_ms;
        uint32_t session;
        const char* page;
        uint32_t shell_fails_with;
        std::string logged;
        size_t opens;
    } steps[] = {
        {0, id, "display", 0, "OpenHostSettings(display): ShellExecute -> ok (code 42); the window opens on", 1},
        {1'999, id, "display", 0, "OpenHostSettings: repeated within 2 s, ignored", 1},
        {1, id + 1, "display", 0, "OpenHostSettings for another session ignored", 1},
        {0, id, "sound\n", 0, "OpenHostSettings: unknown page \"sound?\" ignored", 1},
        {0, id, "display", 31, "OpenHostSettings(display): ShellExecute -> FAILED (code 31)", 2},
    };
    for (const auto& step : steps) {
        clock.advance_ms(step.after_ms);
        if (step.shell_fails_with != 0) {
            machine->update("arm", [&](sim::MachineState& s) { s.faults.arm("shell.open", 1, step.shell_fails_with); });
        }
        send(conn, proto::OpenHostSettings{step.session, step.page});
        EXPECT_TRUE(log.has("[session " + std::to_string(id) + "] " + step.logged)) << step.logged;
        const std::string journal = machine->journal();
        size_t opens = 0;
        for (size_t at = journal.find(" shell open ms-settings:display\n"); at != std::string::npos;
             at = journal.find(" shell open ms-settings:display\n", at + 1))
            ++opens;
        EXPECT_EQ(opens, step.opens) << step.logged << "\n" << journal;
    }
}

TEST_F(SessionWorld, InputIsRoutedToItsSessionFromTheSessionsOwnDeviceOnly) {
    const Fingerprint own{1}, other{2};
    const ConnId conn = connect(hello_from("viewer-a"), kPeer, own);
    const uint32_t id = *ack_of(conn).session_id;
    auto input = [&](uint32_t session, uint32_t address, const Fingerprint& fp) {
        proto::Bytes frame;
        EXPECT_TRUE(proto::encode_input(proto::KeyEvent{session, 4, true, 0}, frame));
        manager->on_input_message(ep(address, 41000), fp, frame[4], proto::ByteView(frame).subspan(5));
    };
    input(id, kPeer, own);        // before SessionOpenAck: not active
    send(conn, proto::SessionOpenAck{id, true});
    input(id, kPeer, own);        // accepted (other port than control)
    input(id + 1, kPeer, own);    // unknown session
    input(id, kPeer + 1, own);    // wrong IP
    input(id, kPeer, other);      // another paired device on the same address
    const uint8_t junk[] = {1, 2};
    manager->on_input_message(ep(kPeer, 1), own, 3, junk);  // malformed key event
    const auto c = manager->input_counters();
    EXPECT_EQ(c.accepted, 1u);
    EXPECT_EQ(c.not_active, 1u);
    EXPECT_EQ(c.unknown_session, 1u);
    EXPECT_EQ(c.wrong_ip, 1u);
    EXPECT_EQ(c.wrong_device, 1u);
    EXPECT_EQ(c.malformed, 1u);
    EXPECT_TRUE(manager->device_has_session(own));
    EXPECT_FALSE(manager->device_has_session(other));
    send(conn, proto::SessionClose{id, std::string("bye")});
    EXPECT_FALSE(manager->device_has_session(own));
}

// Whatever viewers send, the lines they cause stay within one budget for
// all of them, and what the budget left out is summed up once its window ends.
TEST_F(SessionWorld, LinesViewersCauseHaveOneBudgetAndASummary) {
    test::HostLog log;
    const ConnId conn = connect(hello_from("viewer-a"));
    const uint32_t id = *ack_of(conn).session_id;
    const uint8_t junk[30] = {2};
    for (int i = 0; i < 1000; ++i) {
        proto::Bytes frame;
        proto::encode_input(proto::KeyEvent{id + 7, 4, true, 0}, frame);
        manager->on_input_message(ep(kPeer, 1), Fingerprint{}, frame[4], proto::ByteView(frame).subspan(5));
        manager->on_video_hello(ep(kPeer, 2), id, junk);  // before SessionOpenAck
        manager->on_input_message(ep(kPeer, 1), Fingerprint{}, 3, proto::ByteView(junk, 2));
    }
    // The connection's own line took one of the 16.
    const size_t lines = log.count("REJECTED input for unknown session") + log.count("VideoHello from") +
                         log.count("REJECTED malformed input");
    EXPECT_EQ(lines, 15u);
    // Past the budget a device that is refused writes nothing at all; the
    // admitted device's session writes its Handshake once admitted.
    const ConnId refused = connect(hello_from("viewer-b"));
    EXPECT_EQ(ack_of(refused).reason.value_or(""), proto::kReasonDeviceLimitEnglish);
    manager->on_control_closed(refused);
    EXPECT_EQ(log.count("[session 2]"), 0u) << log.text();
    EXPECT_EQ(log.count("session 2 "), 0u) << log.text();
    const ConnId again = connect(hello_from("viewer-a"));
    EXPECT_TRUE(ack_of(again).accepted);
    EXPECT_EQ(log.count("[session 3] Handshake: protocol 0x0100 client_id=viewer-a"), 1u) << log.text();
    EXPECT_EQ(log.count("[session 3] HandshakeAck sent (accepted"), 1u) << log.text();
    manager->tick_all();
    EXPECT_EQ(log.count("[manager] log budget:"), 0u);
    clock.advance_ms(10'000);
    manager->tick_all();
    EXPECT_TRUE(log.has("[manager] log budget: 2988 lines caused by viewers not written (so far: input rejected for "
                        "unknown session=1000, wrong device=0, wrong IP=0, not active=0, malformed=1000; "))
        << log.text();
}

TEST_F(SessionWorld, NoVideoHelloAndNoFirstFrameCloseTheSession) {
    make_manager();
    ConnId conn = connect(hello_from("viewer-a"));
    uint32_t id = *ack_of(conn).session_id;
    send(conn, proto::SessionOpenAck{id, true});
    run_for(conn, id, 10'200);
    EXPECT_EQ(close_reason(conn).rfind("no_video_hello: udp_rx=0", 0), 0u) << close_reason(conn);
    manager->on_control_closed(conn);
    EXPECT_EQ(monitors.last(), "release " + std::to_string(id));

    // A first frame 9 s after the hello is fine; none within 10 s is not.
    id = stream(conn);
    run_for(conn, id, 9'000);
    set_stats(1, 0, 0);
    run_for(conn, id, 2'000);
    EXPECT_EQ(close_reason(conn), "");
    manager->on_control_closed(conn);
    set_stats(0, 0, 0);
    id = stream(conn);
    run_for(conn, id, 10'400);
    EXPECT_EQ(close_reason(conn), "no_frames: sent=0");
}

TEST_F(SessionWorld, StuckCaptureIsRebuiltTwiceThenTheSessionGivesUp) {
    ConnId conn = 0;
    const uint32_t id = stream(conn);
    set_stats(5, 0, 0);
    run_for(conn, id, 400);  // video started
    pw.seq = 42;
    set_stats(5, 4'000, 0);
    run_for(conn, id, 2'000);
    EXPECT_EQ(pw.opens.load(), 2);  // first rebuild
    EXPECT_EQ(pw.seq_given, 42u);
    EXPECT_NE(notes["last_capture_stall"].find(" | session " + std::to_string(id) + " | sent=5 | hat yeniden kuruluyor"),
              std::string::npos);
    run_for(conn, id, 6'000);  // stuck again within 10 s of the rebuild: wait
    EXPECT_EQ(pw.opens.load(), 2);
    run_for(conn, id, 4'200);  // second rebuild once 10 s have passed
    EXPECT_EQ(pw.opens.load(), 3);
    run_for(conn, id, 2'200);  // stuck again: give up
    EXPECT_EQ(close_reason(conn), "no_frames: sent=5");
    EXPECT_NE(notes["last_capture_stall"].find("DUZELMEDI"), std::string::npos);
    manager->on_control_closed(conn);
    EXPECT_EQ(monitors.last(), "release " + std::to_string(id));
}

// A desktop of a new size is rebuilt at every check without counting as a
// stall; a frame thread that ended is rebuilt at the next check, without
// waiting for the 4 s of a capture stall.
TEST_F(SessionWorld, SizeChangesAndAnEndedFrameThreadAreRebuilt) {
    ConnId conn = 0;
    const uint32_t id = stream(conn);
    set_stats(5, 0, 0);
    run_for(conn, id, 400);
    set_stats(5, 0, 0, true, true);
    run_for(conn, id, 6'000);
    EXPECT_EQ(pw.opens.load(), 4);
    set_stats(5, 0, 0, true, false);
    run_for(conn, id, 2'000);
    EXPECT_EQ(pw.opens.load(), 5);
    EXPECT_EQ(close_reason(conn), "");
}

TEST_F(SessionWorld, PowerResumeRebuildsOnceAndAVanishedMonitorEndsTheSession) {
    ConnId conn = 0;
    uint32_t id = stream(conn);
    set_stats(5, 0, 0);
    run_for(conn, id, 2'400);
    epoch = 1;
    run_for(conn, id, 6'000);
    EXPECT_EQ(pw.opens.load(), 2);  // one rebuild for the resume, not more
    EXPECT_EQ(close_reason(conn), "");
    // The monitor removed while the PC slept.
    epoch = 2;
    monitors.alive = false;
    run_for(conn, id, 2'200);
    EXPECT_EQ(close_reason(conn), "monitor_lost: driver removed the monitor while the PC slept");
    manager->on_control_closed(conn);

    // A rebuild that finds the monitor gone.
    monitors.alive = true;
    id = stream(conn);
    run_for(conn, id, 2'400);
    pw.fail = "capture: \\\\.\\DISPLAY9 not found among the active monitors";
    epoch = 3;
    run_for(conn, id, 2'200);
    EXPECT_EQ(close_reason(conn), "monitor_lost: the monitor disappeared (PC sleep/hibernation?)");
}

// The tick thread runs while control, input and VideoHello arrive from other
// threads and sessions supersede each other.
TEST_F(SessionWorld, TickThreadAndTransportThreadsTogether) {
    options.max_sessions = 64;
    make_manager();
    manager->start_ticks();
    std::vector<std::thread> threads;
    std::atomic<ConnId> conns{1};
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                const ConnId conn = conns++;
                manager->on_control_connected(conn, ep(kPeer, 40000), Fingerprint{});
                auto p = payload_of(hello_from("dev-" + std::to_string(t % 2)));
                manager->on_control_message(conn, proto::Handshake::kType, p);
                proto::Bytes frame;
                proto::encode_input(proto::KeyEvent{uint32_t(conn), 4, true, 0}, frame);
                manager->on_input_message(ep(kPeer, 1), Fingerprint{}, frame[4], proto::ByteView(frame).subspan(5));
                const uint8_t junk[30] = {};
                manager->on_video_hello(ep(kPeer, 2), uint32_t(conn), junk);
                manager->on_control_closed(conn);
            }
        });
    }
    for (int i = 0; i < 20; ++i) clock.advance_ms(200);
    for (auto& th : threads) th.join();
    manager->stop_ticks();
    manager->stop_ticks();
    EXPECT_EQ(manager->open_session_count(), 0u);
}

}  // namespace
}  // namespace sorvane
