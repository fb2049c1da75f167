// A started WifiTransport on 127.0.0.1 (ports chosen by the system) with a
// host identity, a pairing store that knows one phone, a sink that records
// everything, and helpers to reach it as raw TCP or as the reference viewer.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/core/log.h"
#include "host/net/wifi_transport.h"
#include "host/trust/pairing_store.h"
#include "host/trust/tls_identity.h"
#include "host/trust/tls_log.h"
#include "platform/cert_store.h"
#include "platform/sim/manual_clock.h"
#include "tests/support/host_fakes.h"
#include "tests/support/temp_dir.h"
#include "viewer/net/host_link.h"
#include "viewer/tls/tls_client.h"
#include "viewer/tls/viewer_identity.h"

namespace sorvane::test {

// Everything the transport reported, in order.
class RecordingSink : public ITransportSink {
public:
    struct Event {
        enum Kind { connected, message, closed, input, hello } kind;
        ConnId conn_id = 0;
        Endpoint peer;
        Fingerprint fingerprint{};
        uint8_t type = 0;
        uint32_t session_id = 0;
        proto::Bytes bytes;
    };

    void on_control_connected(ConnId id, const Endpoint& peer, const Fingerprint& fp) override {
        add({Event::connected, id, peer, fp, 0, 0, {}});
    }
    void on_control_message(ConnId id, uint8_t type, proto::ByteView payload) override {
        add({Event::message, id, {}, {}, type, 0, proto::Bytes(payload.begin(), payload.end())});
    }
    void on_control_closed(ConnId id) override { add({Event::closed, id, {}, {}, 0, 0, {}}); }
    void on_input_message(const Endpoint& peer, const Fingerprint& fp, uint8_t type, proto::ByteView payload) override {
        add({Event::input, 0, peer, fp, type, 0, proto::Bytes(payload.begin(), payload.end())});
    }
    bool device_has_session(const Fingerprint& fp) override {
        std::lock_guard<std::mutex> g(mutex_);
        return !sessionless_.contains(fp);
    }
    // From now on the device of fp has no session.
    void end_sessions_of(const Fingerprint& fp) {
        std::lock_guard<std::mutex> g(mutex_);
        sessionless_.insert(fp);
    }
    void on_video_hello(const Endpoint& source, uint32_t session_id, proto::ByteView datagram) override {
        std::function<void(const Endpoint&, proto::ByteView)> hook;
        {
            std::lock_guard<std::mutex> g(mutex_);
            hook = hello_hook;
        }
        if (hook) hook(source, datagram);
        add({Event::hello, 0, source, {}, 0, session_id, proto::Bytes(datagram.begin(), datagram.end())});
    }

    std::vector<Event> events() const {
        std::lock_guard<std::mutex> g(mutex_);
        return events_;
    }
    std::vector<Event> of(Event::Kind kind) const {
        std::vector<Event> out;
        for (auto& e : events())
            if (e.kind == kind) out.push_back(e);
        return out;
    }
    bool wait_for(Event::Kind kind, size_t n) {
        return eventually([&] { return of(kind).size() >= n; });
    }
    void set_hello_hook(std::function<void(const Endpoint&, proto::ByteView)> hook) {
        std::lock_guard<std::mutex> g(mutex_);
        hello_hook = std::move(hook);
    }

private:
    void add(Event e) {
        std::lock_guard<std::mutex> g(mutex_);
        events_.push_back(std::move(e));
    }
    mutable std::mutex mutex_;
    std::vector<Event> events_;
    std::function<void(const Endpoint&, proto::ByteView)> hello_hook;
    std::set<Fingerprint> sessionless_;
};

inline const std::string kTestHostId = "0123abcd-0000-4000-8000-0000000000cc";

struct TransportFixture : ::testing::Test {
    HostLog log;
    TempDir dir;
    sim::ManualClock clock{1'000'000, 1'765'000'000'000};
    std::unique_ptr<platform::IClock> real_clock = platform::make_system_clock();
    TrustStatus status;
    TlsIdentity identity;
    NullProtector protector;
    PairingStore store{protector, clock};
    std::unique_ptr<viewer::ViewerIdentity> phone;     // paired
    std::unique_ptr<viewer::ViewerIdentity> stranger;  // not paired
    RecordingSink sink;
    TransportTuning tuning;
    std::unique_ptr<WifiTransport> transport;

    void SetUp() override {
        auto certs = platform::make_certificate_store(identity_store_folder(dir.path()));
        identity = TlsIdentity::load_or_create(kHostIdentityName, *certs, clock, status);
        ASSERT_TRUE(identity.valid());
        store.load(dir.file("pairings.dat"));
        std::string error;
        phone = viewer::ViewerIdentity::create_ephemeral(*real_clock, "phone", error);
        stranger = viewer::ViewerIdentity::create_ephemeral(*real_clock, "stranger", error);
        ASSERT_TRUE(phone && stranger) << error;
        PairingRecord r;
        r.client_id = "phone-1";
        r.fingerprint = phone->fingerprint();
        r.name = "Phone";
        store.upsert(r);
        tuning.poll_ms = 10;
    }
    void TearDown() override {
        if (transport) transport->stop();
    }

    void start() {
        HostOptions o;
        o.bind_address = "127.0.0.1";
        o.control_port = 0;
        o.video_port = 0;
        o.input_port = 0;
        o.host_id = kTestHostId;
        o.transport_host_id = kTestHostId;
        transport = std::make_unique<WifiTransport>(clock, identity, store, tuning);
        ASSERT_TRUE(transport->start(o, sink));
        ASSERT_NE(transport->control_port(), 0);
        ASSERT_NE(transport->input_port(), 0);
        ASSERT_NE(transport->video_port(), 0);
    }

    Endpoint control() const { return {platform::kLoopbackAddress, transport->control_port()}; }
    Endpoint input() const { return {platform::kLoopbackAddress, transport->input_port()}; }
    Endpoint video() const { return {platform::kLoopbackAddress, transport->video_port()}; }

    // A TCP connection that never starts TLS.
    platform::TcpStream raw(const Endpoint& to, uint32_t local = 0) {
        platform::TcpStream s;
        const platform::SocketResult r = s.connect(to, 2'000, local);
        EXPECT_TRUE(r.ok()) << platform::describe(r);
        s.set_receive_timeout(5'000);
        return s;
    }

    // A TLS client presenting id (null: none), host pinned.
    std::unique_ptr<viewer::TlsClient> tls(const Endpoint& to, const viewer::ViewerIdentity* id, uint32_t local = 0) {
        auto c = std::make_unique<viewer::TlsClient>(*real_clock);
        viewer::TlsClientOptions o;
        o.local_address = local;
        EXPECT_TRUE(c->connect(to, identity.fingerprint(), id, o)) << c->last_error();
        return c;
    }

    // Reads until the end of the stream (bounded by the client's time-out).
    static proto::Bytes read_to_end(viewer::TlsClient& c, bool& ended) {
        proto::Bytes all;
        uint8_t buf[4096];
        for (;;) {
            const int64_t n = c.read(buf, sizeof buf);
            if (n <= 0) {
                ended = n == 0;
                return all;
            }
            all.insert(all.end(), buf, buf + n);
        }
    }
};

}  // namespace sorvane::test
