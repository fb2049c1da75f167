// The viewer's live session against the host's real transport: a lost
// connection is reconnected and input follows the new session; the host's
// reason decides between coming back and giving up; a host that stays away
// past the grace ends it.
#include <gtest/gtest.h>

#include "host/protocol/control_messages.h"
#include "host/protocol/input_messages.h"
#include "tests/viewer/host_side_session.h"
#include "viewer/net/input_sender.h"
#include "viewer/net/live_session.h"

namespace sorvane {
namespace {

using test::eventually;
using Ev = test::RecordingSink::Event;
using viewer::LiveState;

struct LiveSessionTest : test::TransportFixture {
    void SetUp() override {
        TransportFixture::SetUp();
        start();
    }

    viewer::LiveOptions options() {
        viewer::LiveOptions o;
        o.addresses = {"127.0.0.1"};
        o.control_port = transport->control_port();
        o.pin = identity.fingerprint();
        o.identity = phone.get();
        o.hello = viewer::default_handshake("phone-1");
        o.timeout_ms = 2'000;
        o.retry_ms = 20;
        o.video.hello_fast_ms = 20;
        return o;
    }

    // Answers the viewer's n-th connection (0-based) with a session.
    std::unique_ptr<test::HostSideSession> answer(size_t connection, uint32_t session_id) {
        if (!sink.wait_for(Ev::connected, connection + 1)) return nullptr;
        // The Handshake of that connection.
        if (!eventually([&] { return messages_of(connection).size() >= 1; })) return nullptr;
        auto s = std::make_unique<test::HostSideSession>(*this, session_id, test::HostSideSession::Key{7}, connection);
        return s->open(640, 360, 30) ? std::move(s) : nullptr;
    }
    std::vector<Ev> messages_of(size_t connection) {
        const ConnId id = sink.of(Ev::connected).at(connection).conn_id;
        std::vector<Ev> out;
        for (const Ev& e : sink.of(Ev::message))
            if (e.conn_id == id) out.push_back(e);
        return out;
    }
    static bool state_is(viewer::LiveSession& live, LiveState s) {
        return eventually([&] { return live.status().state == s; });
    }
    void send_close(ConnId conn, uint32_t session_id, const std::string& reason) {
        proto::Bytes out;
        ASSERT_TRUE(proto::encode_control(proto::SessionClose{session_id, reason}, out));
        ASSERT_TRUE(transport->send_control(conn, out));
    }
    // The session ids of the key events the host received, in order.
    std::vector<uint32_t> key_sessions() {
        std::vector<uint32_t> ids;
        for (const Ev& e : sink.of(Ev::input)) {
            const auto m = proto::decode_input(e.type, e.bytes);
            if (m.ok() && std::holds_alternative<proto::KeyEvent>(m.message)) ids.push_back(proto::session_id_of(m.message));
        }
        return ids;
    }
};

TEST_F(LiveSessionTest, ALostConnectionIsReconnectedAndInputFollowsTheNewSession) {
    viewer::InputSender input(*real_clock);
    input.start();
    viewer::LiveSession live(*real_clock, options(), input);
    live.start({}, {}, {});
    auto first = answer(0, 11);
    ASSERT_TRUE(first);
    ASSERT_TRUE(state_is(live, LiveState::streaming));
    ASSERT_TRUE(eventually([&] { return sink.of(Ev::message).size() >= 2; }));  // SessionOpenAck
    std::vector<proto::InputMessage> keys = {proto::KeyEvent{0, 0x28, true, 0}};
    input.post(keys);
    ASSERT_TRUE(eventually([&] { return key_sessions().size() == 1; }));

    // The connection drops: the viewer says so and comes back on a new one.
    transport->close_connection(first->conn_id());
    ASSERT_TRUE(state_is(live, LiveState::reconnecting));
    EXPECT_EQ(live.status().reason, "the connection to the host was lost");
    auto second = answer(1, 12);
    ASSERT_TRUE(second);
    ASSERT_TRUE(state_is(live, LiveState::streaming));
    EXPECT_EQ(live.status().sessions, 2u);
    EXPECT_EQ(live.status().session.session_id, 12u);
    ASSERT_TRUE(eventually([&] { return messages_of(1).size() >= 2; }));
    keys = {proto::KeyEvent{0, 0x28, false, 0}};
    input.post(keys);
    ASSERT_TRUE(eventually([&] { return key_sessions().size() == 2; }));
    EXPECT_EQ(key_sessions(), (std::vector<uint32_t>{11, 12}));

    // Closing the window suspends: the host keeps the monitor for its grace.
    live.finish(true, "window_closed");
    ASSERT_TRUE(eventually([&] {
        const auto m = messages_of(1);
        return !m.empty() && m.back().type == proto::SessionSuspend::kType;
    }));
    EXPECT_TRUE(live.status().ended_by_viewer);
    input.stop();
}

TEST_F(LiveSessionTest, TheHostsReasonDecidesWhetherToComeBack) {
    viewer::InputSender input(*real_clock);
    // Its watchdog gave up on the stream: a new session is what it asks for.
    {
        viewer::LiveSession live(*real_clock, options(), input);
        live.start({}, {}, {});
        auto first = answer(0, 1);
        ASSERT_TRUE(first);
        ASSERT_TRUE(state_is(live, LiveState::streaming));
        send_close(first->conn_id(), 1, "monitor_lost: driver removed the monitor");
        ASSERT_TRUE(state_is(live, LiveState::reconnecting));
        auto second = answer(1, 2);
        ASSERT_TRUE(second);
        ASSERT_TRUE(state_is(live, LiveState::streaming));
        // Disconnected from the host's panel: that is the end.
        send_close(second->conn_id(), 2, "host_disconnect");
        ASSERT_TRUE(state_is(live, LiveState::ended));
        EXPECT_EQ(live.status().reason, "the host closed the session (host_disconnect)");
        EXPECT_FALSE(live.status().ended_by_viewer);
    }
    EXPECT_EQ(sink.of(Ev::connected).size(), 2u);

    // A refusal no retry can change ends it at once; the first attempt is never retried.
    store.remove_by_client_id("phone-1");
    viewer::LiveSession refused(*real_clock, options(), input);
    refused.start({}, {}, {});
    ASSERT_TRUE(state_is(refused, LiveState::ended));
    EXPECT_EQ(refused.status().reason, "refused by the host: not_paired");
    EXPECT_EQ(refused.status().sessions, 0u);
}

TEST_F(LiveSessionTest, AHostThatStaysAwayPastTheGraceEndsTheSession) {
    viewer::InputSender input(*real_clock);
    viewer::LiveOptions o = options();
    o.reconnect_ms = 1'000;
    viewer::LiveSession live(*real_clock, o, input);
    live.start({}, {}, {});
    ASSERT_TRUE(answer(0, 1));
    ASSERT_TRUE(state_is(live, LiveState::streaming));
    transport->stop();
    ASSERT_TRUE(state_is(live, LiveState::reconnecting));
    ASSERT_TRUE(state_is(live, LiveState::ended));
    const std::string reason = live.status().reason;
    EXPECT_EQ(reason.rfind("the host did not come back within 1 s (the connection to the host was lost; last try: ", 0), 0u)
        << reason;
}

}  // namespace
}  // namespace sorvane
