// The host's TLS server channel against the reference viewer's client on
// loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/host/trust/tls_test_util.h"

namespace sorvane {
namespace {

using test::HostIdentityFixture;
using test::OneConnectionServer;
using test::TlsLogCapture;
using viewer::TlsClient;
using viewer::TlsClientOptions;
using viewer::TlsVersion;
using viewer::ViewerIdentity;

std::string pattern(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

class ChannelTest : public ::testing::Test {
protected:
    ChannelTest() {
        std::string error;
        viewer_ = ViewerIdentity::create_ephemeral(host_.clock, "Test Viewer", error);
        EXPECT_NE(viewer_, nullptr) << error;
    }

    // Connects a client to a fresh server and completes both handshakes.
    bool connect(OneConnectionServer& server, TlsClient& client, const ViewerIdentity* identity,
                 TlsClientOptions options = {}) {
        const bool client_ok = client.connect(server.endpoint(), host_.identity.fingerprint(), identity, options);
        EXPECT_TRUE(client_ok) << client.last_error();
        const bool server_ok = server.join();
        EXPECT_TRUE(server_ok);
        return client_ok && server_ok;
    }

    TlsLogCapture log_;
    HostIdentityFixture host_;
    std::unique_ptr<platform::IClock> clock_ = platform::make_system_clock();
    std::unique_ptr<ViewerIdentity> viewer_;
};

struct HandshakeCase {
    TlsVersion version;
    bool client_certificate;
    const char* protocol;
};

void PrintTo(const HandshakeCase& c, std::ostream* os) {
    *os << c.protocol << (c.client_certificate ? " with" : " without") << " client certificate";
}

class Handshakes : public ChannelTest, public ::testing::WithParamInterface<HandshakeCase> {};

TEST_P(Handshakes, CompleteAndReportTheClientCertificate) {
    const HandshakeCase c = GetParam();
    ASSERT_TRUE(host_.identity.valid());
    OneConnectionServer server(host_.identity);
    TlsClient client(*clock_);
    TlsClientOptions options;
    options.version = c.version;
    ASSERT_TRUE(connect(server, client, c.client_certificate ? viewer_.get() : nullptr, options));

    EXPECT_EQ(server.channel().protocol(), c.protocol);
    EXPECT_EQ(client.protocol(), c.protocol);
    EXPECT_EQ(client.host_fingerprint(), host_.identity.fingerprint());
    EXPECT_EQ(server.channel().has_peer_certificate(), c.client_certificate);
    const auto peer = server.channel().peer_fingerprint();
    if (c.client_certificate) {
        ASSERT_TRUE(peer.has_value());
        EXPECT_EQ(to_hex(*peer), viewer::fingerprint_hex(viewer_->fingerprint()));
    } else {
        EXPECT_FALSE(peer.has_value());
    }

    // Both directions carry data.
    ASSERT_TRUE(client.write("ping", 4));
    char buf[16];
    ASSERT_EQ(server.channel().read(buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
    ASSERT_TRUE(server.channel().write("pong", 4));
    ASSERT_TRUE(client.read_exact(buf, 4));
    EXPECT_EQ(std::string(buf, 4), "pong");
}

INSTANTIATE_TEST_SUITE_P(VersionsAndCertificates, Handshakes,
                         ::testing::Values(HandshakeCase{TlsVersion::tls12, true, "TLSv1.2"},
                                           HandshakeCase{TlsVersion::tls12, false, "TLSv1.2"},
                                           HandshakeCase{TlsVersion::tls13, true, "TLSv1.3"},
                                           HandshakeCase{TlsVersion::tls13, false, "TLSv1.3"}),
                         [](const ::testing::TestParamInfo<HandshakeCase>& param_info) {
                             return std::string(param_info.param.version == TlsVersion::tls12 ? "Tls12" : "Tls13") +
                                    (param_info.param.client_certificate ? "WithClientCertificate"
                                                                         : "WithoutClientCertificate");
                         });

TEST_F(ChannelTest, ClientRefusesAHostWithAnotherFingerprint) {
    OneConnectionServer server(host_.identity);
    TlsClient client(*clock_);
    Fingerprint wrong = host_.identity.fingerprint();
    wrong[0] ^= 0xFF;
    EXPECT_FALSE(client.connect(server.endpoint(), wrong, viewer_.get()));
    EXPECT_NE(client.last_error().find("is not the expected"), std::string::npos) << client.last_error();
    // The client aborts before its certificate leaves; the server's handshake fails.
    EXPECT_FALSE(server.join());
    EXPECT_EQ(log_.count_containing("[tls] handshake basarisiz: 0x"), 1u);
}

// A relay that passes the client's first flight to the server one byte at a
// time, so the server's handshake has to gather it over many receives.
class TricklingRelay {
public:
    explicit TricklingRelay(platform::Endpoint server) : server_(server) {
        EXPECT_TRUE(front_.listen("127.0.0.1", 0).ok());
        thread_ = std::thread([this] { run(); });
    }
    ~TricklingRelay() {
        if (thread_.joinable()) thread_.join();
    }
    platform::Endpoint endpoint() const { return {platform::kLoopbackAddress, front_.port()}; }

private:
    void run() {
        platform::TcpStream client;
        if (!front_.accept(client, nullptr, 10'000).ok()) return;
        platform::TcpStream server;
        if (!server.connect(server_, 5'000).ok()) return;
        server.set_no_delay(true);
        client.set_receive_timeout(5'000);
        server.set_receive_timeout(5'000);

        std::thread back([&] { pump(server, client); });
        std::vector<char> buf(16384);
        const platform::SocketResult first = client.recv(buf.data(), buf.size());
        if (first.ok()) {
            for (size_t i = 0; i < first.bytes; ++i) {
                if (!server.send_all(&buf[i], 1).ok()) break;
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            pump(client, server);
        }
        server.shutdown(platform::ShutdownHow::send);
        back.join();
    }

    static void pump(platform::TcpStream& from, platform::TcpStream& to) {
        std::vector<char> buf(16384);
        for (;;) {
            const platform::SocketResult r = from.recv(buf.data(), buf.size());
            if (!r.ok() || !to.send_all(buf.data(), r.bytes).ok()) break;
        }
        to.shutdown(platform::ShutdownHow::send);
    }

    platform::Endpoint server_;
    platform::TcpListener front_;
    std::thread thread_;
};

TEST_F(ChannelTest, FirstFlightInSingleBytesStillCompletes) {
    for (const TlsVersion version : {TlsVersion::tls12, TlsVersion::tls13}) {
        const size_t reads_before = log_.count_containing("[tls] handshake: ek okuma 1 bayt");
        OneConnectionServer server(host_.identity);
        TricklingRelay relay(server.endpoint());
        TlsClient client(*clock_);
        TlsClientOptions options;
        options.version = version;
        ASSERT_TRUE(client.connect(relay.endpoint(), host_.identity.fingerprint(), viewer_.get(), options))
            << client.last_error();
        ASSERT_TRUE(server.join());
        EXPECT_TRUE(server.channel().has_peer_certificate());
        // The hello came in many pieces, each handed on as it arrived.
        EXPECT_GT(log_.count_containing("[tls] handshake: ek okuma 1 bayt") - reads_before, 20u);
        client.close();
        server.socket().shutdown();
    }
}

TEST_F(ChannelTest, DataSentWithTheClientFinishedIsReadFirst) {
    OneConnectionServer server(host_.identity);
    TlsClient client(*clock_);
    TlsClientOptions options;
    options.version = TlsVersion::tls13;
    options.first_data = "arrived-with-finished";
    ASSERT_TRUE(connect(server, client, viewer_.get(), options));
    // The data was already in hand when the handshake ended.
    EXPECT_NE(log_.last_containing("AcceptSecurityContext").find("-> 0x0 (out=0 bayt, extra=evet)"), std::string::npos)
        << log_.last_containing("AcceptSecurityContext");
    const size_t reads_before = log_.lines().size();
    char buf[4096];
    const int64_t n = server.channel().read(buf, sizeof buf);
    ASSERT_EQ(n, static_cast<int64_t>(options.first_data.size()));
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), options.first_data);
    EXPECT_EQ(log_.lines().size(), reads_before);
}

TEST_F(ChannelTest, ReadReturnsWhatIsThereWithoutWaitingForMore) {
    OneConnectionServer server(host_.identity);
    TlsClient client(*clock_);
    ASSERT_TRUE(connect(server, client, viewer_.get()));
    const std::string record = pattern(100, 1);
    ASSERT_TRUE(client.write(record.data(), record.size()));
    std::vector<char> buf(4096);
    // A read that waited for 4096 bytes would run into the 5 s receive guard.
    const int64_t n = server.channel().read(buf.data(), buf.size());
    ASSERT_EQ(n, 100);
    EXPECT_EQ(std::string(buf.data(), 100), record);

    // A record larger than the caller's buffer is handed out in pieces.
    const std::string big = pattern(1000, 2);
    ASSERT_TRUE(client.write(big.data(), big.size()));
    std::string got;
    while (got.size() < big.size()) {
        const int64_t r = server.channel().read(buf.data(), 300);
        ASSERT_GT(r, 0);
        ASSERT_LE(r, 300);
        got.append(buf.data(), static_cast<size_t>(r));
    }
    EXPECT_EQ(got, big);
}

TEST_F(ChannelTest, LargeWritesArriveWholeInBothDirections) {
    OneConnectionServer server(host_.identity);
    TlsClient client(*clock_);
    ASSERT_TRUE(connect(server, client, viewer_.get()));

    const std::string down = pattern(40'000, 3);
    ASSERT_TRUE(server.channel().write(down.data(), down.size()));
    std::string received(down.size(), '\0');
    ASSERT_TRUE(client.read_exact(received.data(), received.size())) << client.last_error();
    EXPECT_EQ(received, down);

    const std::string up = pattern(40'000, 4);
    ASSERT_TRUE(client.write(up.data(), up.size()));
    std::string got;
    std::vector<char> buf(16384);
    while (got.size() < up.size()) {
        const int64_t r = server.channel().read(buf.data(), buf.size());
        ASSERT_GT(r, 0);
        got.append(buf.data(), static_cast<size_t>(r));
    }
    EXPECT_EQ(got, up);
    EXPECT_TRUE(server.channel().write(nullptr, 0));
}

TEST_F(ChannelTest, AFailedSendLeavesTheChannelDead) {
    OneConnectionServer server(host_.identity);
    TlsClient client(*clock_);
    ASSERT_TRUE(connect(server, client, viewer_.get()));
    // The client reads nothing: the socket buffers fill and a send times out
    // part-way through a record.
    server.socket().set_send_timeout(50);
    const std::string chunk = pattern(1 << 20, 5);
    int writes = 0;
    while (writes < 256 && server.channel().write(chunk.data(), chunk.size())) ++writes;
    ASSERT_LT(writes, 256);
    EXPECT_TRUE(server.channel().broken());
    // Nothing more is written, however small, and nothing more is read.
    client.write("ping", 4);
    EXPECT_FALSE(server.channel().write("x", 1));
    char buf[16];
    EXPECT_EQ(server.channel().read(buf, sizeof buf), -1);
}

TEST_F(ChannelTest, EndOfTheConnectionReadsAsZero) {
    // TCP closed without a closing alert.
    {
        OneConnectionServer server(host_.identity);
        TlsClient client(*clock_);
        ASSERT_TRUE(connect(server, client, viewer_.get()));
        client.close();
        char buf[64];
        EXPECT_EQ(server.channel().read(buf, sizeof buf), 0);
    }
    // The TLS session ended: what came before is delivered first, then 0.
    for (const TlsVersion version : {TlsVersion::tls12, TlsVersion::tls13}) {
        OneConnectionServer server(host_.identity);
        TlsClient client(*clock_);
        TlsClientOptions options;
        options.version = version;
        ASSERT_TRUE(connect(server, client, viewer_.get(), options));
        ASSERT_TRUE(client.write("last", 4));
        ASSERT_TRUE(client.close_notify());
        char buf[64];
        std::string got;
        int64_t r = 0;
        while ((r = server.channel().read(buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(r));
        EXPECT_EQ(r, 0);
        EXPECT_EQ(got, "last");
        EXPECT_EQ(server.channel().read(buf, sizeof buf), 0);
    }
}

TEST_F(ChannelTest, ShutdownFromAnotherThreadEndsABlockedRead) {
    OneConnectionServer server(host_.identity);
    TlsClient client(*clock_);
    ASSERT_TRUE(connect(server, client, viewer_.get()));
    std::atomic<int64_t> result{99};
    std::thread reader([&] {
        char buf[64];
        result = server.channel().read(buf, sizeof buf);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    server.socket().shutdown();
    reader.join();
    EXPECT_LE(result.load(), 0);
}

TEST_F(ChannelTest, ReceiveTimeOutAndGarbageFailCleanly) {
    // Nothing sent within the socket's receive time-out: WSAETIMEDOUT, as on Windows.
    {
        OneConnectionServer server(host_.identity, 50);
        platform::TcpStream raw;
        ASSERT_TRUE(raw.connect(server.endpoint(), 5'000).ok());
        EXPECT_FALSE(server.join());
        EXPECT_EQ(log_.count_containing("[tls] handshake: recv (ilk) basarisiz/kapandi (r=-1, wsa=10060)"), 1u);
    }
    // Not TLS at all.
    {
        OneConnectionServer server(host_.identity);
        platform::TcpStream raw;
        ASSERT_TRUE(raw.connect(server.endpoint(), 5'000).ok());
        const std::string http = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
        ASSERT_TRUE(raw.send_all(http.data(), http.size()).ok());
        EXPECT_FALSE(server.join());
        EXPECT_EQ(log_.count_containing("[tls] handshake basarisiz: 0x80090326"), 1u);
        char buf[64];
        EXPECT_EQ(server.channel().read(buf, sizeof buf), -1);
        EXPECT_FALSE(server.channel().write("x", 1));
    }
    // Closed before saying anything.
    {
        OneConnectionServer server(host_.identity);
        platform::TcpStream raw;
        ASSERT_TRUE(raw.connect(server.endpoint(), 5'000).ok());
        raw.close();
        EXPECT_FALSE(server.join());
        EXPECT_EQ(log_.count_containing("[tls] handshake: recv (ilk) basarisiz/kapandi (r=0, wsa=0)"), 1u);
    }
}

TEST_F(ChannelTest, NoIdentityMeansNoCredentialsAndQuietChannelsLogNothing) {
    TlsIdentity none;
    platform::TcpStream unused;
    auto channel = TlsChannel::create(unused, none);
    EXPECT_FALSE(channel->handshake());
    EXPECT_EQ(log_.count_containing("[tls] AcquireCredentialsHandle failed: 0x8009030e"), 1u);

    auto quiet = TlsChannel::create(unused, none, TlsLines::quiet);
    EXPECT_FALSE(quiet->handshake());
    EXPECT_EQ(log_.count_containing("[tls] AcquireCredentialsHandle failed"), 1u);
}

TEST_F(ChannelTest, EveryConnectionPresentsItsCertificateAgain) {
    for (int i = 0; i < 2; ++i) {
        OneConnectionServer server(host_.identity);
        TlsClient client(*clock_);
        ASSERT_TRUE(connect(server, client, viewer_.get()));
        ASSERT_TRUE(server.channel().peer_fingerprint().has_value());
        EXPECT_EQ(*server.channel().peer_fingerprint(), viewer_->fingerprint());
    }
}

}  // namespace
}  // namespace sorvane
