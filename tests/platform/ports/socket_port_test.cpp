// The socket port on loopback: TCP and UDP.
#include "platform/socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace sorvane::platform {
namespace {

TEST(EndpointText, FormatsAndParsesDottedAddresses) {
    EXPECT_EQ(address_text(0xC0A8010A), "192.168.1.10");
    EXPECT_EQ(endpoint_text({0x7F000001, 47000}), "127.0.0.1:47000");
    uint32_t a = 0;
    ASSERT_TRUE(parse_ipv4("10.0.255.1", a));
    EXPECT_EQ(a, 0x0A00FF01u);
    ASSERT_TRUE(parse_ipv4("0.0.0.0", a));
    EXPECT_EQ(a, 0u);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4 ", " 1.2.3.4", "1..2.3", "1.2.3.0004",
                            "a.b.c.d", "1.2.3.-4", "localhost"})
        EXPECT_FALSE(parse_ipv4(bad, a)) << bad;
}

TEST(TcpSockets, ConnectAcceptAndEndpoints) {
    TcpListener listener;
    ASSERT_TRUE(listener.listen("127.0.0.1", 0).ok());
    ASSERT_NE(listener.port(), 0);

    TcpStream client;
    // The client side bound to another loopback address, as another device.
    ASSERT_TRUE(client.connect({kLoopbackAddress, listener.port()}, 2'000, 0x7F000002).ok());
    TcpStream server;
    Endpoint peer;
    ASSERT_TRUE(listener.accept(server, &peer, 2'000).ok());
    EXPECT_EQ(address_text(peer.address), "127.0.0.2");

    Endpoint local, remote;
    ASSERT_TRUE(client.local_endpoint(local));
    ASSERT_TRUE(client.peer_endpoint(remote));
    EXPECT_EQ(local, peer);
    EXPECT_EQ(remote, (Endpoint{kLoopbackAddress, listener.port()}));
    EXPECT_TRUE(server.set_no_delay(true).ok());

    ASSERT_TRUE(client.send_all("hello", 5).ok());
    char buf[16];
    const SocketResult r = server.recv(buf, sizeof buf);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(std::string(buf, r.bytes), "hello");

    // An orderly end reads as closed; sending to a vanished peer raises no signal.
    client.close();
    EXPECT_EQ(server.recv(buf, sizeof buf).status, SocketStatus::closed);
    SocketResult sent;
    for (int i = 0; i < 50 && sent.ok(); ++i) sent = server.send_all(buf, sizeof buf);
    EXPECT_EQ(sent.status, SocketStatus::error);
}

TEST(TcpSockets, TimeOutsAndRefusals) {
    TcpListener listener;
    ASSERT_TRUE(listener.listen("127.0.0.1", 0).ok());
    TcpStream none;
    const SocketResult waited = listener.accept(none, nullptr, 10);
    EXPECT_EQ(waited.status, SocketStatus::timed_out);

    TcpStream client;
    ASSERT_TRUE(client.connect({kLoopbackAddress, listener.port()}, 2'000).ok());
    TcpStream server;
    ASSERT_TRUE(listener.accept(server, nullptr, 2'000).ok());
    ASSERT_TRUE(server.set_receive_timeout(20).ok());
    char buf[4];
    EXPECT_EQ(server.recv(buf, sizeof buf).status, SocketStatus::timed_out);
    EXPECT_EQ(server.wait_readable(10).status, SocketStatus::timed_out);

    // Nobody listens on a port that was just released.
    const uint16_t port = listener.port();
    listener.close();
    TcpStream refused;
    const SocketResult r = refused.connect({kLoopbackAddress, port}, 2'000);
    EXPECT_EQ(r.status, SocketStatus::error);
    EXPECT_NE(r.error_code, 0);
    EXPECT_FALSE(refused.is_open());

    TcpListener bad;
    EXPECT_EQ(bad.listen("127.0.0.256", 0).status, SocketStatus::error);
    // A busy port is reported, not taken over.
    TcpListener first, second;
    ASSERT_TRUE(first.listen("127.0.0.1", 0).ok());
    EXPECT_EQ(second.listen("127.0.0.1", first.port()).status, SocketStatus::error);
}

TEST(TcpSockets, ShutdownWakesBlockedAcceptAndReceive) {
    TcpListener listener;
    ASSERT_TRUE(listener.listen("127.0.0.1", 0).ok());
    std::atomic<int> accept_status{-1};
    std::thread acceptor([&] {
        TcpStream s;
        accept_status = static_cast<int>(listener.accept(s, nullptr, -1).status);
    });

    TcpStream client;
    ASSERT_TRUE(client.connect({kLoopbackAddress, listener.port()}, 2'000).ok());
    acceptor.join();
    ASSERT_EQ(accept_status.load(), static_cast<int>(SocketStatus::ok));

    std::thread blocked([&] {
        TcpStream s;
        accept_status = static_cast<int>(listener.accept(s, nullptr, -1).status);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    listener.shutdown();
    blocked.join();
    EXPECT_EQ(accept_status.load(), static_cast<int>(SocketStatus::closed));

    std::atomic<int> recv_status{-1};
    std::thread reader([&] {
        char buf[8];
        recv_status = static_cast<int>(client.recv(buf, sizeof buf).status);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(client.shutdown().ok());
    reader.join();
    EXPECT_EQ(recv_status.load(), static_cast<int>(SocketStatus::closed));
}

TEST(TcpSockets, MovedHandlesCloseOnce) {
    TcpListener listener;
    ASSERT_TRUE(listener.listen("127.0.0.1", 0).ok());
    TcpListener moved(std::move(listener));
    EXPECT_FALSE(listener.is_open());
    EXPECT_EQ(listener.port(), 0);
    ASSERT_TRUE(moved.is_open());
    TcpStream a;
    ASSERT_TRUE(a.connect({kLoopbackAddress, moved.port()}, 2'000).ok());
    TcpStream b = std::move(a);
    EXPECT_FALSE(a.is_open());
    EXPECT_TRUE(b.is_open());
    EXPECT_EQ(a.send_all("x", 1).status, SocketStatus::error);
}

TEST(UdpSockets, RoundTripTruncationAndTimeOut) {
    UdpSocket a, b;
    ASSERT_TRUE(a.open("127.0.0.1", 0).ok());
    ASSERT_TRUE(b.open("127.0.0.1", 0).ok());
    ASSERT_NE(a.port(), 0);
    uint32_t granted = 0;
    EXPECT_TRUE(a.set_send_buffer(1 << 20, granted).ok());
    EXPECT_GT(granted, 0u);

    const std::string datagram(1361, 'v');
    const SocketResult sent = a.send_to({kLoopbackAddress, b.port()}, datagram.data(), datagram.size());
    ASSERT_TRUE(sent.ok());
    EXPECT_EQ(sent.bytes, datagram.size());
    char buf[2048];
    Endpoint from;
    bool truncated = true;
    SocketResult got = b.receive_from(buf, sizeof buf, &from, 2'000, &truncated);
    ASSERT_TRUE(got.ok()) << describe(got);
    EXPECT_EQ(std::string(buf, got.bytes), datagram);
    EXPECT_EQ(from, (Endpoint{kLoopbackAddress, a.port()}));
    EXPECT_FALSE(truncated);

    // A longer datagram keeps its first bytes and says it was cut; an empty
    // one arrives as zero bytes.
    ASSERT_TRUE(a.send_to({kLoopbackAddress, b.port()}, datagram.data(), datagram.size()).ok());
    got = b.receive_from(buf, 100, nullptr, 2'000, &truncated);
    ASSERT_TRUE(got.ok()) << describe(got);
    EXPECT_EQ(got.bytes, 100u);
    EXPECT_TRUE(truncated);
    ASSERT_TRUE(a.send_to({kLoopbackAddress, b.port()}, "", 0).ok());
    got = b.receive_from(buf, sizeof buf, nullptr, 2'000, &truncated);
    ASSERT_TRUE(got.ok()) << describe(got);
    EXPECT_EQ(got.bytes, 0u);

    // Nobody listens on a released port: the unreachable answer to that send
    // never fails a later receive.
    uint16_t gone_port = 0;
    {
        UdpSocket gone;
        ASSERT_TRUE(gone.open("127.0.0.1", 0).ok());
        gone_port = gone.port();
    }
    ASSERT_TRUE(b.send_to({kLoopbackAddress, gone_port}, "x", 1).ok());
    EXPECT_EQ(b.receive_from(buf, sizeof buf, nullptr, 50).status, SocketStatus::timed_out);
    ASSERT_TRUE(a.send_to({kLoopbackAddress, b.port()}, "y", 1).ok());
    got = b.receive_from(buf, sizeof buf, nullptr, 2'000);
    ASSERT_TRUE(got.ok()) << describe(got);
    EXPECT_EQ(std::string(buf, got.bytes), "y");

    UdpSocket bad;
    EXPECT_EQ(bad.open("1.2.3", 0).status, SocketStatus::error);
}

TEST(UdpSockets, BatchKeepsEachDatagramsOrderAndOutcome) {
    UdpSocket a, b;
    ASSERT_TRUE(a.open("127.0.0.1", 0).ok());
    ASSERT_TRUE(b.open("127.0.0.1", 0).ok());
    uint32_t granted = 0;
    b.set_receive_buffer(1 << 20, granted);
    const Endpoint to{kLoopbackAddress, b.port()};

    // More than one system call's worth; two that no UDP datagram can carry,
    // one opening the batch and one closing the first call.
    const size_t count = kUdpBatchMax + 36;
    const std::string too_long(70'000, 'x');
    std::vector<std::string> payloads(count);
    std::vector<DatagramView> views(count);
    for (size_t i = 0; i < count; ++i) {
        payloads[i] = (i == 0 || i == kUdpBatchMax - 1) ? too_long : std::string(1 + i * 37 % 200, static_cast<char>('a' + i % 26));
        payloads[i][0] = static_cast<char>(i);
        views[i] = {payloads[i].data(), payloads[i].size()};
    }
    std::vector<SocketResult> results(count);
    EXPECT_EQ(a.send_batch(to, views.data(), count, results.data()), count - 2);
    const SocketResult alone = a.send_to(to, too_long.data(), too_long.size());
    ASSERT_FALSE(alone.ok());
    for (size_t i = 0; i < count; ++i) {
        if (payloads[i].size() == too_long.size()) {
            EXPECT_EQ(results[i].status, alone.status) << i;  // what send_to says of it
            EXPECT_EQ(results[i].error_code, alone.error_code) << i;
        } else {
            EXPECT_TRUE(results[i].ok()) << i << ": " << describe(results[i]);
            EXPECT_EQ(results[i].bytes, payloads[i].size()) << i;
        }
    }
    char buf[2048];
    for (size_t i = 1; i < count; ++i) {
        if (i == kUdpBatchMax - 1) continue;
        const SocketResult got = b.receive_from(buf, sizeof buf, nullptr, 2'000);
        ASSERT_TRUE(got.ok()) << i << ": " << describe(got);
        EXPECT_EQ(std::string(buf, got.bytes), payloads[i]) << i;
    }

    UdpSocket closed;
    EXPECT_EQ(closed.send_batch(to, views.data() + 1, 2, results.data()), 0u);
    EXPECT_EQ(results[0].status, SocketStatus::error);
    EXPECT_EQ(results[1].status, SocketStatus::error);
}

TEST(UdpSockets, ShutdownWakesABlockedReceive) {
    UdpSocket s;
    ASSERT_TRUE(s.open("127.0.0.1", 0).ok());
    std::atomic<int> status{-1};
    std::thread reader([&] {
        char buf[16];
        status = static_cast<int>(s.receive_from(buf, sizeof buf, nullptr, -1).status);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    s.shutdown();
    reader.join();
    EXPECT_EQ(status.load(), static_cast<int>(SocketStatus::closed));
    char buf[4];
    EXPECT_EQ(s.receive_from(buf, sizeof buf, nullptr, 1'000).status, SocketStatus::closed);
}

}  // namespace
}  // namespace sorvane::platform
