// The transport on real sockets and real TLS over loopback: admission limits,
// the handshake deadline, the certificate gate, framing, closing and stop.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/protocol/control_messages.h"
#include "host/protocol/input_messages.h"
#include "host/trust/log_rate_limiter.h"
#include "host/net/video_datagram.h"
#include "host/trust/pairing_listener.h"
#include "tests/host/net/transport_fixture.h"
#include "viewer/protocol/raw_frame.h"

namespace sorvane {
namespace {

using test::eventually;
using Ev = test::RecordingSink::Event;

constexpr uint32_t kAddr2 = 0x7F000002;  // 127.0.0.2

// True when the peer ended the stream (or reset it) without sending a byte.
bool ends_without_bytes(platform::TcpStream& s) {
    char b[64];
    const platform::SocketResult r = s.recv(b, sizeof b);
    return r.status == platform::SocketStatus::closed ||
           (r.status == platform::SocketStatus::error && r.bytes == 0);
}

struct Transport : test::TransportFixture {};

TEST_F(Transport, HalfOpenConnectionsAreLimitedPerAddressAndEndAtTheDeadline) {
    start();
    std::vector<platform::TcpStream> half;
    for (int i = 0; i < 4; ++i) {
        half.push_back(raw(control(), kAddr2));
        ASSERT_TRUE(eventually([&] { return transport->connection_count() == half.size(); }));
    }
    // The fifth from the same address is refused at once; another address still gets in.
    platform::TcpStream fifth = raw(control(), kAddr2);
    EXPECT_TRUE(ends_without_bytes(fifth));
    EXPECT_EQ(transport->refused_count(), 1u);
    EXPECT_EQ(log.count("[transport] control connection from 127.0.0.2:"), 1u);
    EXPECT_EQ(log.count("refused: too many unauthenticated connections (limit 16 total, 4 per address)"), 1u);
    platform::TcpStream elsewhere = raw(input(), 0x7F000003);
    ASSERT_TRUE(eventually([&] { return transport->connection_count() == 5; }));
    // The input listener counts too: one more from 127.0.0.2 there is refused.
    platform::TcpStream sixth = raw(input(), kAddr2);
    EXPECT_TRUE(ends_without_bytes(sixth));
    EXPECT_EQ(transport->refused_count(), 2u);

    // Five seconds later every half-open connection is shut down.
    clock.advance_ms(5'000);
    ASSERT_TRUE(eventually([&] { return transport->deadline_count() == 5; }));
    for (auto& s : half) EXPECT_TRUE(ends_without_bytes(s));
    EXPECT_TRUE(ends_without_bytes(elsewhere));
    ASSERT_TRUE(eventually([&] { return transport->connection_count() == 0; }));

    // The address is free again: a paired viewer from it is admitted.
    auto viewer = tls(control(), phone.get(), kAddr2);
    ASSERT_TRUE(sink.wait_for(Ev::connected, 1));
    const Ev c = sink.of(Ev::connected)[0];
    EXPECT_EQ(c.peer.address, kAddr2);
    EXPECT_EQ(c.fingerprint, phone->fingerprint());
    // A deadline never touches a connection that authenticated in time.
    clock.advance_ms(60'000);
    transport->wait_for_housekeeping();
    EXPECT_EQ(transport->deadline_count(), 5u);
    proto::Bytes beat;
    ASSERT_TRUE(proto::encode_control(proto::Heartbeat{1, 1}, beat));
    ASSERT_TRUE(viewer->write(beat.data(), beat.size()));
    ASSERT_TRUE(sink.wait_for(Ev::message, 1));
    EXPECT_TRUE(sink.of(Ev::closed).empty());
}

// Sixteen stalled sockets from four addresses fill the places; a newcomer
// from a fifth takes the place of the oldest socket of the address holding
// the most, so the flood's sockets only ever replace each other.
TEST_F(Transport, AtTheLimitANewcomerReplacesAStalledSocketOfTheBusiestAddress) {
    start();
    std::vector<platform::TcpStream> half;
    for (uint32_t i = 0; i < 16; ++i) {
        half.push_back(raw(i % 2 ? control() : input(), 0x7F00000A + i / 4));
        ASSERT_TRUE(eventually([&] { return transport->connection_count() == half.size(); }));
    }
    platform::TcpStream lone = raw(control(), 0x7F000020);
    EXPECT_TRUE(ends_without_bytes(half[0]));
    EXPECT_EQ(transport->evicted_count(), 1u);
    // The first address, down to three, comes back: the oldest of the second goes.
    platform::TcpStream again = raw(control(), 0x7F00000A);
    EXPECT_TRUE(ends_without_bytes(half[4]));
    EXPECT_EQ(transport->evicted_count(), 2u);
    EXPECT_EQ(transport->refused_count(), 0u);
    // A paired viewer from another address gets through at once.
    auto viewer = tls(control(), phone.get(), 0x7F000021);
    ASSERT_TRUE(sink.wait_for(Ev::connected, 1));
    EXPECT_EQ(sink.of(Ev::connected)[0].peer.address, 0x7F000021u);
    EXPECT_EQ(transport->evicted_count(), 3u);
}

// Unpaired viewers that neither read their refusal to the end nor close hold
// places only until someone needs one.
TEST_F(Transport, RefusedViewersBeingSeenOutMakeRoomForANewcomer) {
    start();
    proto::HandshakeAck refusal;
    refusal.protocol = 0x0100;
    refusal.host_id = test::kTestHostId;
    refusal.reason = "not_paired";
    proto::Bytes expected;
    ASSERT_TRUE(proto::encode_control(refusal, expected));
    std::vector<std::unique_ptr<viewer::TlsClient>> refused;
    for (uint32_t i = 0; i < 16; ++i) {
        refused.push_back(tls(control(), stranger.get(), 0x7F00000A + i / 4));
        proto::Bytes got(expected.size());
        ASSERT_TRUE(refused.back()->read_exact(got.data(), got.size()));
    }
    auto viewer = tls(control(), phone.get(), 0x7F000021);
    ASSERT_TRUE(sink.wait_for(Ev::connected, 1));
    EXPECT_EQ(transport->evicted_count(), 1u);
    EXPECT_EQ(transport->refused_count(), 0u);
    bool ended = false;
    EXPECT_EQ(read_to_end(*refused[0], ended), proto::Bytes{});
    EXPECT_TRUE(ended);
}

TEST_F(Transport, OnlyPairedCertificatesGetThrough) {
    start();
    // 1: an unknown certificate on control gets exactly one not_paired HandshakeAck, then the end.
    {
        auto c = tls(control(), stranger.get());
        bool ended = false;
        const proto::Bytes got = read_to_end(*c, ended);
        EXPECT_TRUE(ended);
        proto::HandshakeAck expected;
        expected.protocol = 0x0100;
        expected.host_id = test::kTestHostId;
        expected.accepted = false;
        expected.reason = "not_paired";
        proto::Bytes frame;
        ASSERT_TRUE(proto::encode_control(expected, frame));
        EXPECT_EQ(got, frame);
    }
    // 2: the same certificate on input: the end, no bytes.
    {
        auto c = tls(input(), stranger.get());
        bool ended = false;
        EXPECT_TRUE(read_to_end(*c, ended).empty());
        EXPECT_TRUE(ended);
    }
    // 3: no certificate at all: the end, no bytes.
    {
        auto c = tls(control(), nullptr);
        bool ended = false;
        EXPECT_TRUE(read_to_end(*c, ended).empty());
        EXPECT_TRUE(ended);
    }
    EXPECT_TRUE(eventually([&] {
        return log.count("[transport] control connection 1: certificate " + viewer::fingerprint_hex(stranger->fingerprint()) +
                         " is not a paired device, rejected") == 1 &&
               log.count("[transport] input connection 2: certificate") == 1 &&
               log.count("[transport] control connection 3: no client certificate presented, rejected") == 1;
    }));
    EXPECT_TRUE(sink.events().empty());

    // 4 and 5: the paired phone, on both ports; ids keep counting across the listeners.
    auto c = tls(control(), phone.get());
    ASSERT_TRUE(sink.wait_for(Ev::connected, 1));
    EXPECT_EQ(sink.of(Ev::connected)[0].conn_id, 4u);
    EXPECT_EQ(sink.of(Ev::connected)[0].fingerprint, phone->fingerprint());
    auto in = tls(input(), phone.get());
    proto::Bytes frame;
    ASSERT_TRUE(proto::encode_input(proto::RelativeMove{7, 3, -4}, frame));
    ASSERT_TRUE(in->write(frame.data(), frame.size()));
    ASSERT_TRUE(sink.wait_for(Ev::input, 1));
    const Ev i = sink.of(Ev::input)[0];
    EXPECT_EQ(i.type, proto::RelativeMove::kType);
    EXPECT_EQ(i.peer.address, platform::kLoopbackAddress);
    EXPECT_EQ(proto::Bytes(frame.begin() + 5, frame.end()), i.bytes);
    EXPECT_EQ(log.count("[transport] input connection 5 from 127.0.0.1:"), 1u);
}

// Input connections carry their certificate up; one certificate holds at
// most two (a newer one closes the oldest), and one whose device has no
// session is closed once the handshake time is over.
TEST_F(Transport, InputConnectionsAreCappedPerCertificateAndNeedASessionOfTheirDevice) {
    PairingRecord second;
    second.client_id = "tablet-2";
    second.fingerprint = stranger->fingerprint();
    second.name = "Tablet";
    store.upsert(second);
    start();
    proto::Bytes frame;
    ASSERT_TRUE(proto::encode_input(proto::RelativeMove{7, 1, 1}, frame));
    // Authenticated once its first frame is through.
    auto open = [&](const viewer::ViewerIdentity& id) {
        auto c = tls(input(), &id);
        const size_t before = sink.of(Ev::input).size();
        EXPECT_TRUE(c->write(frame.data(), frame.size()));
        EXPECT_TRUE(sink.wait_for(Ev::input, before + 1));
        EXPECT_EQ(sink.of(Ev::input).back().fingerprint, id.fingerprint());
        return c;
    };
    auto first = open(*phone);
    auto second_of_phone = open(*phone);
    auto third_of_phone = open(*phone);
    auto tablet = open(*stranger);
    bool ended = false;
    read_to_end(*first, ended);
    EXPECT_TRUE(ended);
    EXPECT_EQ(transport->input_over_limit_count(), 1u);
    EXPECT_EQ(log.count("[transport] input connection 1 closed: its certificate opened a newer one (at most 2 at a "
                        "time)"),
              1u);

    // The tablet's device has no session: once the handshake time is over
    // its connection goes. The phone's, whose device has one, were looked at
    // first and stay.
    sink.end_sessions_of(stranger->fingerprint());
    clock.advance_ms(4'999);
    transport->wait_for_housekeeping();
    ASSERT_TRUE(tablet->write(frame.data(), frame.size()));
    ASSERT_TRUE(sink.wait_for(Ev::input, 5));
    clock.advance_ms(1);
    transport->wait_for_housekeeping();
    read_to_end(*tablet, ended);
    EXPECT_TRUE(ended);
    EXPECT_EQ(transport->input_without_session_count(), 1u);
    EXPECT_EQ(log.count("[transport] input connection 4 closed: its device has no session"), 1u);
    for (auto* c : {second_of_phone.get(), third_of_phone.get()}) ASSERT_TRUE(c->write(frame.data(), frame.size()));
    ASSERT_TRUE(sink.wait_for(Ev::input, 7));
}

TEST_F(Transport, FramesSurviveAnyRecordBoundariesAndABadLengthEndsTheConnection) {
    start();
    auto c = tls(control(), phone.get());
    ASSERT_TRUE(sink.wait_for(Ev::connected, 1));
    const ConnId id = sink.of(Ev::connected)[0].conn_id;

    proto::Bytes a, b, big;
    ASSERT_TRUE(proto::encode_control(proto::Heartbeat{1, 111}, a));
    ASSERT_TRUE(proto::encode_control(proto::SessionClose{1, std::string("bye")}, b));
    proto::OpenHostSettings settings{1, std::string(40'000, 'x')};
    ASSERT_TRUE(proto::encode_control(settings, big));
    // One frame over three records, then three frames in one record, then a
    // frame larger than a record.
    ASSERT_TRUE(c->write(a.data(), 2));
    ASSERT_TRUE(c->write(a.data() + 2, 5));
    ASSERT_TRUE(c->write(a.data() + 7, a.size() - 7));
    proto::Bytes three = b;
    three.insert(three.end(), a.begin(), a.end());
    three.insert(three.end(), b.begin(), b.end());
    ASSERT_TRUE(c->write(three.data(), three.size()));
    ASSERT_TRUE(c->write(big.data(), big.size()));
    ASSERT_TRUE(sink.wait_for(Ev::message, 5));
    const auto m = sink.of(Ev::message);
    const std::vector<const proto::Bytes*> sent = {&a, &b, &a, &b, &big};
    for (size_t k = 0; k < sent.size(); ++k) {
        EXPECT_EQ(m[k].conn_id, id);
        EXPECT_EQ(m[k].type, (*sent[k])[4]);
        EXPECT_EQ(m[k].bytes, proto::Bytes(sent[k]->begin() + 5, sent[k]->end())) << k;
    }

    // The host's own messages reach the viewer.
    ASSERT_TRUE(transport->send_control(id, a));
    proto::Bytes back(a.size());
    ASSERT_TRUE(c->read_exact(back.data(), back.size()));
    EXPECT_EQ(back, a);

    const proto::Bytes zero = viewer::zero_length_frame();
    ASSERT_TRUE(c->write(zero.data(), zero.size()));
    ASSERT_TRUE(sink.wait_for(Ev::closed, 1));
    bool ended = false;
    read_to_end(*c, ended);
    EXPECT_TRUE(ended);
    EXPECT_EQ(log.count("[transport] control connection " + std::to_string(id) + ": invalid frame length, closing"),
              1u);
    EXPECT_FALSE(transport->send_control(id, a));
    transport->stop();
    EXPECT_EQ(sink.of(Ev::closed).size(), 1u);
    EXPECT_EQ(sink.of(Ev::message).size(), 5u);
}

TEST_F(Transport, CloseConnectionDeliversWhatWasSentThenShutsDownLater) {
    start();
    auto c = tls(control(), phone.get());
    ASSERT_TRUE(sink.wait_for(Ev::connected, 1));
    const ConnId id = sink.of(Ev::connected)[0].conn_id;
    proto::Bytes close;
    ASSERT_TRUE(proto::encode_control(proto::SessionClose{1, std::string("host_disconnect")}, close));
    ASSERT_TRUE(transport->send_control(id, close));
    transport->close_connection(id);
    transport->close_connection(999);  // unknown: ignored
    bool ended = false;
    EXPECT_EQ(read_to_end(*c, ended), close);
    EXPECT_TRUE(ended);
    // The host still reads until the delayed shutdown, 400 ms on its clock.
    clock.advance_ms(399);
    transport->wait_for_housekeeping();
    ASSERT_TRUE(c->write(close.data(), close.size()));
    ASSERT_TRUE(sink.wait_for(Ev::message, 1));
    EXPECT_TRUE(sink.of(Ev::closed).empty());
    clock.advance_ms(1);
    ASSERT_TRUE(sink.wait_for(Ev::closed, 1));
    EXPECT_EQ(sink.of(Ev::closed)[0].conn_id, id);
}

TEST_F(Transport, StopIsPromptWithEveryKindOfConnection) {
    start();
    platform::TcpStream half = raw(control());             // mid-handshake
    auto stuck = tls(control(), phone.get());              // authenticated, never reads
    auto in = tls(input(), phone.get());
    ASSERT_TRUE(sink.wait_for(Ev::connected, 1));
    const ConnId id = sink.of(Ev::connected)[0].conn_id;
    // An unpaired viewer that neither reads the refusal nor closes: the host
    // sits in its drain (whose time runs on the manual clock, which stands still).
    auto unpaired = tls(control(), stranger.get());
    ASSERT_TRUE(eventually([&] { return log.count("is not a paired device, rejected") == 1; }));
    // A writer that fills the viewer's window and blocks in send.
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        const proto::Bytes chunk(60'000, 0x55);
        while (transport->send_control(id, chunk)) {
        }
        writing.store(false);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto t0 = std::chrono::steady_clock::now();
    transport->stop();
    const auto took = std::chrono::steady_clock::now() - t0;
    writer.join();
    EXPECT_FALSE(writing.load());
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_EQ(sink.of(Ev::closed).size(), 1u);
    EXPECT_EQ(transport->connection_count(), 0u);
    EXPECT_TRUE(ends_without_bytes(half));
    transport->stop();  // a second stop does nothing
}

TEST_F(Transport, VideoSocketPassesHelloHeadersUpAndCountsTheRest) {
    start();
    platform::UdpSocket u;
    ASSERT_TRUE(u.open("127.0.0.1", 0).ok());
    proto::Bytes hello(25, 0);
    hello[0] = 0x02;
    proto::store_u32(hello.data() + 1, 42);
    proto::store_u32(hello.data() + 5, 9);
    const proto::Bytes junk = {0x01, 2, 3};
    ASSERT_TRUE(u.send_to(video(), junk.data(), junk.size()).ok());
    ASSERT_TRUE(u.send_to(video(), hello.data(), hello.size()).ok());
    ASSERT_TRUE(sink.wait_for(Ev::hello, 1));
    const Ev h = sink.of(Ev::hello)[0];
    EXPECT_EQ(h.session_id, 42u);
    EXPECT_EQ(h.bytes, hello);
    EXPECT_EQ(h.peer, (Endpoint{platform::kLoopbackAddress, u.port()}));
    const UdpStats s = transport->udp_stats(platform::kLoopbackAddress);
    EXPECT_EQ(s.udp_rx, 2u);
    EXPECT_EQ(s.from_peer, 2u);
    EXPECT_EQ(s.malformed, 1u);
    EXPECT_EQ(s.last_source, h.peer);
    EXPECT_EQ(transport->udp_stats(0x7F000009).from_peer, 0u);
    EXPECT_EQ(log.count("[transport] video udp: first datagram from 127.0.0.1:" + std::to_string(u.port()) +
                        " (3 bytes, type 0x01)"),
              1u);
    EXPECT_EQ(log.count("could not be decoded as a VideoHello (3 bytes, type 0x01); 1 so far"), 1u);
    // The host sends to whoever asks.
    EXPECT_TRUE(transport->send_video(h.peer, junk));
    uint8_t buf[16];
    Endpoint from;
    const platform::SocketResult r = u.receive_from(buf, sizeof buf, &from, 2'000);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.bytes, 3u);
    EXPECT_EQ(from, video());
    // An access unit at once: in order, each datagram whole.
    const proto::Bytes second = {0x01, 9};
    const proto::ByteView unit[2] = {junk, second};
    bool sent[2] = {false, false};
    transport->send_video_batch(h.peer, unit, 2, sent);
    EXPECT_TRUE(sent[0] && sent[1]);
    for (const proto::Bytes& want : {junk, second}) {
        const platform::SocketResult got = u.receive_from(buf, sizeof buf, nullptr, 2'000);
        ASSERT_TRUE(got.ok());
        EXPECT_EQ(proto::Bytes(buf, buf + got.bytes), want);
    }
}

TEST_F(Transport, ABusyPortFailsStartAndClosesEverything) {
    start();
    HostOptions o;
    o.bind_address = "127.0.0.1";
    o.control_port = 0;
    o.input_port = 0;
    o.video_port = transport->video_port();  // taken
    WifiTransport second(clock, identity, store, tuning);
    EXPECT_FALSE(second.start(o, sink));
    EXPECT_EQ(second.control_port(), 0);
    EXPECT_EQ(log.count("bind failed: WSA error"), 1u);
    o.video_port = 0;
    o.bind_address = "1.2.3";
    EXPECT_FALSE(second.start(o, sink));
    EXPECT_EQ(log.count("[transport] bad bind address '1.2.3'"), 1u);
    EXPECT_EQ(second.last_error(), "bad bind address");
    TlsIdentity none;
    WifiTransport third(clock, none, store, tuning);
    EXPECT_FALSE(third.start(o, sink));
    EXPECT_EQ(log.count("[transport] no usable TLS identity"), 1u);
    EXPECT_EQ(third.last_error(), "no usable TLS identity");
}

TEST_F(Transport, ConnectionLinesHaveABudgetAndSuppressedOnesAreReported) {
    tuning.log_budget = 2;
    tuning.log_window_ms = 1'000;
    start();
    std::vector<platform::TcpStream> half;
    for (int i = 0; i < 4; ++i) {
        half.push_back(raw(control()));
        ASSERT_TRUE(eventually([&] { return transport->connection_count() == half.size(); }));
    }
    EXPECT_EQ(log.count("[transport] control connection 1 from"), 1u);
    EXPECT_EQ(log.count("[transport] control connection 2 from"), 1u);
    EXPECT_EQ(log.count("[transport] control connection 3 from"), 0u);
    clock.advance_ms(5'000);
    ASSERT_TRUE(eventually([&] { return transport->deadline_count() == 4; }));
    ASSERT_TRUE(eventually([&] {
        return log.count("[transport] gunluk hiz siniri: 2 baglanti satiri yazilmadi (bu calismada: sinira takilan 0, "
                         "el sikisma son tarihi ") == 1;
    })) << log.text();
    // Only the connections whose first line was written write their later ones.
    ASSERT_TRUE(eventually([&] { return transport->connection_count() == 0; }));
    EXPECT_EQ(log.count(": TLS handshake failed (5 s deadline), closing"), 2u);
    EXPECT_EQ(log.count("[transport] control connection 4: TLS handshake failed"), 0u);
}

TEST_F(Transport, APortInUseIsReportedWithTheWindowsErrorNumberByBothListeners) {
    platform::TcpListener taken;
    ASSERT_TRUE(taken.listen("127.0.0.1", 0).ok());
    const uint16_t port = taken.port();
    const std::string port_text = std::to_string(port);

    PairingListenerTuning pt;
    pt.bind_address = "127.0.0.1";
    pt.port = port;
    PairingListener pairing(identity, store, test::kTestHostId, "PC", clock, pt);
    pairing.open_window(47000, {"127.0.0.1"}, false, 120);
    EXPECT_EQ(pairing.bound_port(), 0);
    EXPECT_TRUE(log.has("[pairing] port " + port_text + " dinlenemedi: WSA 10048\n"));
    EXPECT_EQ(pairing.last_error(), "pairing port " + port_text + " listen: error 10048 (address already in use)");

    HostOptions o;
    o.bind_address = "127.0.0.1";
    o.control_port = port;
    o.video_port = 0;
    o.input_port = 0;
    WifiTransport second(clock, identity, store, tuning);
    EXPECT_FALSE(second.start(o, sink));
    EXPECT_TRUE(log.has("[transport] control tcp 127.0.0.1:" + port_text + " bind/listen failed: WSA error 10048\n"));
    EXPECT_EQ(log.count("socket() failed"), 0u);
    EXPECT_EQ(second.last_error(), "control tcp listen: error 10048 (address already in use)");
}

TEST(LogRateLimiterTest, EightLinesPerWindowThenOneReport) {
    LogRateLimiter l;
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(l.request(1'000 + i));
    EXPECT_FALSE(l.request(1'100));
    EXPECT_FALSE(l.request(5'000));
    // Not reported before the window ends.
    EXPECT_EQ(l.take_suppressed(10'999), 0u);
    EXPECT_EQ(l.take_suppressed(11'000), 2u);
    EXPECT_EQ(l.take_suppressed(11'001), 0u);
    EXPECT_TRUE(l.request(11'002));
}

}  // namespace
}  // namespace sorvane
