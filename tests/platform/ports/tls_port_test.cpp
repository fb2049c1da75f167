// The TLS engine port: what every implementation must refuse, a client and
// a server engine agreeing with each other, and (in the Windows build) the
// client against OpenSSL's server on loopback, whose port
// scripts/run-windows-tests.sh passes in SORVANE_TLS_SERVER_PORT.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/cert_store.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/tls.h"
#include "tests/platform/ports/port_test.h"

namespace sorvane::platform {
namespace {

// Moves every pending output byte of one engine into the other.
void pass(ITlsEngine& from, ITlsEngine& to) {
    uint8_t buf[4096];
    while (from.output_pending() > 0) {
        const size_t n = from.take_output(buf, sizeof buf);
        ASSERT_TRUE(to.put_input(buf, n));
    }
}

bool busy(uint32_t s) { return s == kSecContinueNeeded || s == kSecIncompleteMessage; }

TEST(TlsEngine, RefusesAServerWithoutCredentials) {
    uint32_t status = 0;
    EXPECT_EQ(make_tls_server_engine(nullptr, status), nullptr);
    EXPECT_EQ(status, kSecNoCredentials);
}

TEST(TlsEngine, AClientAndAServerAgreeAndCarryRecordsBothWays) {
#ifdef _WIN32
    if (port_test::under_wine()) GTEST_SKIP() << "Wine's Schannel has no server side";
#endif
    port_test::TempFolder dir;
    auto store = make_certificate_store(dir.path());
    ASSERT_TRUE(store->open().ok);
    const std::string name = port_test::unique_name("sorvane-tls-key");
    std::unique_ptr<PrivateKey> key;
    ASSERT_TRUE(store->create_key(name, key).ok);
    const int64_t now = make_system_clock()->wall_ms();
    StoredCertificate cert;
    ASSERT_TRUE(store->create_certificate(*key, {name, now - 60'000, now + 3'600'000}, cert).ok);
    std::unique_ptr<TlsCredential> credential;
    ASSERT_TRUE(store->bind_key(cert, *key, credential).ok);

    uint32_t status = 0;
    auto server = make_tls_server_engine(credential.get(), status);
    ASSERT_NE(server, nullptr) << std::hex << status;
    auto client = make_tls_client_engine(nullptr, status);
    ASSERT_NE(client, nullptr) << std::hex << status;
    uint32_t cs = client->handshake(), ss = kSecIncompleteMessage;
    for (int round = 0; round < 10 && (cs != kSecOk || ss != kSecOk); ++round) {
        pass(*client, *server);
        if (ss != kSecOk) ss = server->handshake();
        pass(*server, *client);
        if (cs != kSecOk) cs = client->handshake();
        ASSERT_TRUE(busy(cs) || cs == kSecOk) << client->last_error();
        ASSERT_TRUE(busy(ss) || ss == kSecOk) << server->last_error();
    }
    pass(*client, *server);  // a last flight (TLS 1.3 tickets, finished)
    ASSERT_EQ(cs, kSecOk);
    ASSERT_EQ(ss, kSecOk);
    std::vector<uint8_t> seen;
    ASSERT_TRUE(client->peer_certificate(seen));
    EXPECT_EQ(seen, cert.der);

    const std::string hello = "bir ekran daha";
    ASSERT_EQ(client->encrypt(reinterpret_cast<const uint8_t*>(hello.data()), hello.size()), kSecOk);
    pass(*client, *server);
    uint8_t out[64];
    size_t got = 0;
    ASSERT_EQ(server->decrypt(out, sizeof out, got), kSecOk) << server->last_error();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), got), hello);
    ASSERT_EQ(server->encrypt(out, got), kSecOk);
    pass(*server, *client);
    got = 0;
    // A TLS 1.3 client may first meet the server's session tickets.
    for (int i = 0; i < 4 && got == 0; ++i) {
        const uint32_t r = client->decrypt(out, sizeof out, got);
        ASSERT_TRUE(r == kSecOk || r == kSecIncompleteMessage) << std::hex << r << " " << client->last_error();
    }
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), got), hello);
    store->delete_key(name);
}

#ifdef _WIN32
// OpenSSL's s_server -rev answers each line reversed.
TEST(TlsEngine, TheClientTalksToAnOpenSslServerOnLoopback) {
    const char* port_text = std::getenv("SORVANE_TLS_SERVER_PORT");
    if (port_text == nullptr) GTEST_SKIP() << "no OpenSSL server was started (scripts/run-windows-tests.sh starts one)";
    TcpStream s;
    uint32_t loopback = 0;
    ASSERT_TRUE(parse_ipv4("127.0.0.1", loopback));
    ASSERT_TRUE(s.connect({loopback, static_cast<uint16_t>(std::atoi(port_text))}, 10'000).ok());
    ASSERT_TRUE(s.set_receive_timeout(10'000).ok());
    uint32_t status = 0;
    auto client = make_tls_client_engine(nullptr, status);
    ASSERT_NE(client, nullptr) << std::hex << status;
    uint8_t buf[16384];
    const auto flush = [&] {
        while (client->output_pending() > 0) {
            const size_t n = client->take_output(buf, sizeof buf);
            ASSERT_TRUE(s.send_all(buf, n).ok());
        }
    };
    const auto receive = [&] {
        const SocketResult r = s.recv(buf, sizeof buf);
        ASSERT_TRUE(r.ok()) << describe(r);
        ASSERT_TRUE(client->put_input(buf, r.bytes));
    };
    uint32_t hs = client->handshake();
    for (int round = 0; round < 20 && hs != kSecOk; ++round) {
        ASSERT_TRUE(busy(hs)) << std::hex << hs << " " << client->last_error();
        flush();
        if (hs == kSecIncompleteMessage || client->output_pending() == 0) receive();
        hs = client->handshake();
    }
    ASSERT_EQ(hs, kSecOk) << client->last_error();
    flush();
    std::vector<uint8_t> der;
    EXPECT_TRUE(client->peer_certificate(der));
    EXPECT_FALSE(der.empty());

    const std::string line = "sorvane\n";
    ASSERT_EQ(client->encrypt(reinterpret_cast<const uint8_t*>(line.data()), line.size()), kSecOk);
    flush();
    std::string answer;
    uint8_t text[256];
    for (int i = 0; i < 20 && answer.find('\n') == std::string::npos; ++i) {
        size_t got = 0;
        const uint32_t r = client->decrypt(text, sizeof text, got);
        if (r == kSecIncompleteMessage) {
            receive();
            continue;
        }
        ASSERT_EQ(r, kSecOk) << std::hex << r << " " << client->last_error();
        answer.append(reinterpret_cast<char*>(text), got);
    }
    EXPECT_EQ(answer, "enavros\n");
    EXPECT_EQ(client->protocol(), "TLSv1.2");  // the only version the client offers
}
#endif

}  // namespace
}  // namespace sorvane::platform
