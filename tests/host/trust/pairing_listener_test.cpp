#include "host/trust/pairing_listener.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "common/text.h"
#include "host/core/log.h"
#include "host/protocol/frame_reader.h"
#include "platform/cert_store.h"
#include "platform/linux/random_fault.h"
#include "platform/sim/manual_clock.h"
#include "tests/support/host_fakes.h"
#include "tests/support/temp_dir.h"
#include "viewer/pairing/pairing_session.h"
#include "viewer/tls/tls_client.h"

namespace sorvane {
namespace {

using test::TempDir;

const std::string kHostId = "0123abcd-0000-4000-8000-00000000000a";

struct ListenerFixture : ::testing::Test {
    test::HostLog log;
    TempDir dir;
    sim::ManualClock clock{1'000'000, 1'765'000'000'000};
    TrustStatus status;
    TlsIdentity identity;
    struct Protector : test::NullProtector {
        std::atomic<bool> fail{false};
        bool protect(std::string_view plain, std::string_view d, std::string& blob, uint32_t& e) override {
            return !fail.load() && test::NullProtector::protect(plain, d, blob, e);
        }
    } protector;
    PairingStore store{protector, clock};
    std::unique_ptr<PairingListener> listener;
    std::unique_ptr<viewer::ViewerIdentity> phone;

    void SetUp() override {
        auto certs = platform::make_certificate_store(identity_store_folder(dir.path()));
        identity = TlsIdentity::load_or_create(kHostIdentityName, *certs, clock, status);
        ASSERT_TRUE(identity.valid());
        store.load(dir.file("pairings.dat"));
        PairingListenerTuning t;
        t.bind_address = "127.0.0.1";
        t.port = 0;
        t.accept_poll_ms = 20;
        t.socket_timeout_ms = 300;
        listener = std::make_unique<PairingListener>(identity, store, kHostId, "Desk PC", clock, t);
        std::string error;
        phone = viewer::ViewerIdentity::create_ephemeral(clock, "phone", error);
        ASSERT_TRUE(phone) << error;
    }

    std::string open(bool force = false) { return listener->open_window(47000, {"127.0.0.1"}, force, 120); }

    viewer::PairOutcome pair(const std::string& uri_text, const viewer::ViewerIdentity* id,
                             std::optional<std::string> name = "My Phone", std::optional<std::string> token = {},
                             std::string client_id = "phone-1") {
        viewer::PairingUri uri;
        std::string error;
        EXPECT_TRUE(viewer::parse_pairing_uri(uri_text, uri, error)) << error;
        viewer::PairOptions o;
        o.client_id = std::move(client_id);
        o.client_name = std::move(name);
        o.pairing_port = listener->bound_port();
        o.token = std::move(token);
        return viewer::pair_with_host(uri, id, clock, o);
    }

    // A phone appearing from another local address: the reply, or nothing.
    std::optional<proto::PairResult> pair_from(uint32_t local_address, const std::string& token,
                                               const std::string& client_id) {
        proto::Bytes request;
        EXPECT_TRUE(proto::encode_pairing(proto::PairRequest{client_id, token, std::nullopt}, request));
        viewer::TlsClientOptions o;
        o.local_address = local_address;
        o.timeout_ms = 2'000;
        o.first_data.assign(request.begin(), request.end());
        viewer::TlsClient c(clock);
        if (!c.connect({platform::kLoopbackAddress, listener->bound_port()}, identity.fingerprint(), phone.get(), o))
            return std::nullopt;
        proto::FrameReader reader;
        uint8_t buf[512];
        for (int64_t n; (n = c.read(buf, sizeof buf)) > 0;) {
            reader.append(proto::ByteView(buf, static_cast<size_t>(n)));
            const auto f = reader.next();
            if (f.status != proto::FrameReader::Status::frame) continue;
            auto d = proto::decode_pairing(f.type, f.payload);
            if (d.ok() && std::holds_alternative<proto::PairResult>(d.message))
                return std::get<proto::PairResult>(d.message);
        }
        return std::nullopt;
    }

    std::string token_of(const std::string& uri) {
        const size_t at = uri.find("&token=") + 7;
        return uri.substr(at, 32);
    }
};

TEST_F(ListenerFixture, APhonePairsOnceWithItsCertificate) {
    const std::string uri = open();
    EXPECT_EQ(uri, "sorvane://pair?host=" + kHostId + "&port=47000&fp=" + to_hex(identity.fingerprint()) +
                       "&token=" + token_of(uri) + "&ip=127.0.0.1&name=Desk%20PC");
    EXPECT_EQ(listener->remaining_seconds(), 120u);
    EXPECT_EQ(listener->verify_code(), viewer::verify_code(identity.fingerprint()));

    const viewer::PairOutcome ok = pair(uri, phone.get());
    ASSERT_TRUE(ok.reached) << ok.error;
    EXPECT_TRUE(ok.result.ok);
    EXPECT_EQ(ok.result.host_id, kHostId);
    EXPECT_EQ(ok.result.host_name, "Desk PC");
    EXPECT_FALSE(ok.result.reason.has_value());

    const auto records = store.list();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].client_id, "phone-1");
    EXPECT_EQ(records[0].fingerprint, phone->fingerprint());
    EXPECT_EQ(records[0].name, "My Phone");
    EXPECT_EQ(records[0].paired_at, "2025-12-06T05:46:40Z");
    EXPECT_EQ(records[0].last_seen_at, records[0].paired_at);
    EXPECT_TRUE(platform::file_exists(dir.file("pairings.dat")));
    EXPECT_TRUE(log.has("[pairing] SONUC: eslesti client_id=phone-1 fp=" + to_hex(phone->fingerprint()) +
                        " 127.0.0.1:"));

    // The token is spent: another phone with it is refused.
    std::string error;
    auto other = viewer::ViewerIdentity::create_ephemeral(clock, "other", error);
    const viewer::PairOutcome again = pair(uri, other.get());
    ASSERT_TRUE(again.reached) << again.error;
    EXPECT_FALSE(again.result.ok);
    EXPECT_EQ(again.result.reason, "invalid_or_expired_token");
    EXPECT_FALSE(again.result.host_name.has_value());

    // A used window reopens with a fresh token; without a name the client id is used.
    const std::string uri2 = open();
    EXPECT_NE(token_of(uri2), token_of(uri));
    const viewer::PairOutcome named = pair(uri2, other.get(), std::nullopt, {}, "tablet-7");
    ASSERT_TRUE(named.reached && named.result.ok) << named.error;
    EXPECT_EQ(store.find_by_fingerprint(other->fingerprint())->name, "tablet-7");
}

TEST_F(ListenerFixture, RefusalsCarryTheirReasons) {
    const std::string uri = open();
    // The same window shows the same token; force makes a new one.
    EXPECT_EQ(open(), uri);
    const std::string token = token_of(uri);

    std::string off = token;
    off[5] = off[5] == 'a' ? 'b' : 'a';
    for (const std::string& bad : {off, token.substr(0, 31), token + "0", std::string()}) {
        const viewer::PairOutcome r = pair(uri, phone.get(), "x", bad);
        ASSERT_TRUE(r.reached) << r.error;
        EXPECT_EQ(r.result.reason, "invalid_or_expired_token") << bad;
    }
    EXPECT_TRUE(log.has("[pairing] SONUC: reddedildi (gecersiz/suresi dolmus token) client_id=phone-1 127.0.0.1:"));

    const viewer::PairOutcome nocert = pair(uri, nullptr);
    ASSERT_TRUE(nocert.reached) << nocert.error;
    EXPECT_FALSE(nocert.result.ok);
    EXPECT_EQ(nocert.result.reason, "no_certificate");
    EXPECT_FALSE(nocert.result.host_name.has_value());

    // A phone that says nothing.
    viewer::TlsClient silent(clock);
    ASSERT_TRUE(silent.connect({platform::kLoopbackAddress, listener->bound_port()}, identity.fingerprint(),
                               phone.get()));
    std::string reply;
    uint8_t buf[512];
    for (int64_t n; (n = silent.read(buf, sizeof buf)) > 0;) reply.append(reinterpret_cast<char*>(buf), n);
    EXPECT_NE(reply.find("no_request"), std::string::npos);
    EXPECT_TRUE(log.has("[pairing] SONUC: reddedildi (PairRequest gelmedi) 127.0.0.1:"));

    // None of these used the token.
    EXPECT_TRUE(pair(uri, phone.get()).result.ok);
    EXPECT_NE(token_of(open(true)), token);
}

TEST_F(ListenerFixture, TheWindowClosesAtItsDeadline) {
    const std::string uri = open();
    const uint16_t port = listener->bound_port();
    ASSERT_NE(port, 0);
    clock.advance_ms(119'500);
    EXPECT_EQ(listener->remaining_seconds(), 1u);
    clock.advance_ms(1'500);
    EXPECT_EQ(listener->remaining_seconds(), 0u);
    // The acceptor notices within its poll and stops listening.
    for (int i = 0; i < 500 && listener->bound_port() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(listener->bound_port(), 0);
    platform::TcpStream s;
    EXPECT_FALSE(s.connect({platform::kLoopbackAddress, port}, 1000).ok());
    // Reopening makes a new token and listens again.
    const std::string uri2 = open();
    EXPECT_NE(token_of(uri2), token_of(uri));
    EXPECT_TRUE(pair(uri2, phone.get()).result.ok);
}

TEST_F(ListenerFixture, NoWindowOpensOrStaysOpenWithoutAToken) {
    struct ResetFaults {
        ~ResetFaults() { platform::test_faults::reset_random_faults(); }
    } reset;
    const std::string line = "[pairing] eslestirme belirteci olusturulamadi (rastgele kaynak hatasi)";
    // A first window: nothing listens.
    platform::test_faults::fail_random_calls(0, 1);
    EXPECT_EQ(open(), "");
    EXPECT_EQ(listener->last_error(), "pairing token: the random source failed");
    EXPECT_EQ(listener->bound_port(), 0);
    EXPECT_EQ(listener->remaining_seconds(), 0u);
    EXPECT_EQ(log.count(line), 1u);

    // An open window asked for a new token: the old one stops pairing too.
    const std::string uri = open();
    ASSERT_NE(uri, "");
    platform::test_faults::fail_random_calls(0, 1);
    EXPECT_EQ(open(true), "");
    EXPECT_EQ(log.count(line), 2u);
    EXPECT_EQ(listener->remaining_seconds(), 0u);
    EXPECT_FALSE(pair(uri, phone.get()).result.ok);
    EXPECT_TRUE(test::eventually([&] { return listener->bound_port() == 0; }));
    EXPECT_EQ(store.size(), 0u);

    // The source is back: a fresh token pairs.
    const std::string again = open();
    EXPECT_NE(token_of(again), token_of(uri));
    EXPECT_TRUE(pair(again, phone.get()).result.ok);
}

TEST_F(ListenerFixture, TwoPhonesRacingForOneTokenPairOnce) {
    const std::string uri = open();
    std::string error;
    auto second = viewer::ViewerIdentity::create_ephemeral(clock, "second", error);
    viewer::PairOutcome a;
    viewer::PairOutcome b;
    std::thread ta([&] { a = pair(uri, phone.get(), "A", {}, "a"); });
    std::thread tb([&] { b = pair(uri, second.get(), "B", {}, "b"); });
    ta.join();
    tb.join();
    ASSERT_TRUE(a.reached && b.reached) << a.error << b.error;
    EXPECT_EQ(int(a.result.ok) + int(b.result.ok), 1);
    EXPECT_EQ(store.size(), 1u);
}

TEST_F(ListenerFixture, CloseWindowEndsConnectionsThatHangOn) {
    open();
    // A peer that never starts TLS holds a connection thread.
    platform::TcpStream idle;
    ASSERT_TRUE(idle.connect({platform::kLoopbackAddress, listener->bound_port()}, 1000).ok());
    for (int i = 0; i < 500 && listener->active_connections() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(listener->active_connections(), 1);
    listener->close_window();
    EXPECT_EQ(listener->active_connections(), 0);
    EXPECT_EQ(listener->bound_port(), 0);
    EXPECT_EQ(listener->remaining_seconds(), 0u);
}

TEST_F(ListenerFixture, AConnectionHasAnOverallDeadline) {
    open();
    // One byte of a ClientHello now and then keeps every receive short of its
    // time-out; the handshake still ends at its deadline.
    platform::TcpStream slow;
    ASSERT_TRUE(slow.connect({platform::kLoopbackAddress, listener->bound_port()}, 1000).ok());
    const uint8_t hello_start[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01};
    for (uint8_t b : hello_start) {
        ASSERT_TRUE(slow.send_all(&b, 1).ok());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        clock.advance_ms(500);
    }
    for (int i = 0; i < 500 && listener->active_connections() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(listener->active_connections(), 0);
    EXPECT_TRUE(log.has("[pairing] el sikisma basarisiz, reddedildi: 127.0.0.1:"));
}

TEST_F(ListenerFixture, TheDrainAfterAReplyRunsOnTheClock) {
    const std::string uri = open();
    // A phone that reads the refusal but never closes its end.
    viewer::TlsClient silent(clock);
    ASSERT_TRUE(silent.connect({platform::kLoopbackAddress, listener->bound_port()}, identity.fingerprint(),
                               phone.get()));
    std::string reply;
    uint8_t buf[512];
    for (int64_t n; (n = silent.read(buf, sizeof buf)) > 0;) reply.append(reinterpret_cast<char*>(buf), n);
    ASSERT_NE(reply.find("no_request"), std::string::npos);
    // The host reads away what might still come for 1 s of its clock, which stands still.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(listener->active_connections(), 1);
    clock.advance_ms(1'000);
    for (int i = 0; i < 500 && listener->active_connections() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(listener->active_connections(), 0);
}

TEST_F(ListenerFixture, SilentAndSlowPeersCannotKeepAPhoneOut) {
    const std::string token = token_of(open());
    const uint16_t port = listener->bound_port();
    auto from = [&](uint8_t last) { return platform::kLoopbackAddress - 1 + last; };  // 127.0.0.<last>
    // Two addresses fill the listener with peers that never start TLS; a
    // third socket of one address is refused at once.
    std::vector<platform::TcpStream> silent(5);
    const uint8_t sources[] = {1, 1, 3, 3, 1};
    for (size_t i = 0; i < silent.size(); ++i) {
        ASSERT_TRUE(silent[i].connect({platform::kLoopbackAddress, port}, 1000, from(sources[i])).ok());
        ASSERT_TRUE(test::eventually([&] { return listener->active_connections() + listener->refused_count() == i + 1; }));
    }
    EXPECT_EQ(listener->refused_count(), 1u);
    EXPECT_TRUE(log.has("[pairing] cok fazla esanli baglanti, reddedildi: 127.0.0.1:"));

    // The phone takes the place of the oldest and pairs at its first try.
    const auto result = pair_from(from(2), token, "phone-2");
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->ok) << result->reason.value_or("");
    EXPECT_EQ(listener->evicted_count(), 1u);
    EXPECT_EQ(store.size(), 1u);

    // A handshake that has not finished within 3 s of the clock ends.
    clock.advance_ms(2'999);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(listener->deadline_count(), 0u);
    clock.advance_ms(1);
    EXPECT_TRUE(test::eventually([&] { return listener->deadline_count() == 3; }));
}

TEST_F(ListenerFixture, AFloodOfRefusedSocketsStaysWithinTheLineBudget) {
    PairingListenerTuning t;
    t.bind_address = "127.0.0.1";
    t.port = 0;
    t.accept_poll_ms = 20;  // the holders' receives wait longer than the flood lasts
    listener = std::make_unique<PairingListener>(identity, store, kHostId, "Desk PC", clock, t);
    open();
    const uint16_t port = listener->bound_port();
    // Two sockets take the places of their address; the rest are refused.
    platform::TcpStream holders[2];
    for (auto& h : holders) ASSERT_TRUE(h.connect({platform::kLoopbackAddress, port}, 1000).ok());
    ASSERT_TRUE(test::eventually([&] { return listener->active_connections() == 2; }));
    auto lines = [&] { const std::string all = log.text(); return std::count(all.begin(), all.end(), '\n'); };
    const auto before = lines();
    for (int i = 0; i < 1000; ++i) {
        platform::TcpStream s;
        ASSERT_TRUE(s.connect({platform::kLoopbackAddress, port}, 1000).ok());
        ASSERT_TRUE(test::eventually([&] { return listener->refused_count() == static_cast<uint64_t>(i + 1); }));
    }
    // 8 lines in the window: the holders' accept lines and six of the flood's.
    EXPECT_EQ(lines() - before, 6);
    clock.advance_ms(10'000);
    EXPECT_TRUE(test::eventually([&] {
        return log.has("[pairing] gunluk hiz siniri: 1994 baglanti satiri yazilmadi (bu calismada: sinira takilan "
                       "1000, el sikisma son tarihi ");
    })) << log.text();
}

TEST_F(ListenerFixture, APairingThatCannotBeSavedIsRefused) {
    const std::string uri = open();
    protector.fail = true;
    const viewer::PairOutcome refused = pair(uri, phone.get());
    ASSERT_TRUE(refused.reached) << refused.error;
    EXPECT_FALSE(refused.result.ok);
    EXPECT_EQ(refused.result.reason, "pairing_not_saved");
    EXPECT_EQ(store.size(), 0u);  // not even for this run
    EXPECT_TRUE(listener->pairing_not_saved());
    EXPECT_TRUE(log.has("[pairing] SONUC: reddedildi (eslesme kaydedilemedi) client_id=phone-1 fp=" +
                        to_hex(phone->fingerprint())));
    // The same token works once the file can be written.
    protector.fail = false;
    const viewer::PairOutcome ok = pair(uri, phone.get());
    ASSERT_TRUE(ok.reached) << ok.error;
    EXPECT_TRUE(ok.result.ok);
    EXPECT_EQ(store.size(), 1u);
}

TEST_F(ListenerFixture, AHostileClientIdKeepsEachLineWholeAndMatchesTheStoredOne) {
    const std::string uri = open();
    // NUL, DEL, invalid UTF-8, then a kilobyte.
    const std::string id = std::string("ph\0one\x7f\xC0\xAF", 9) + std::string(1000, 'x');
    const std::string shown = peer_text(id);
    ASSERT_LT(shown.size(), 200u);
    const viewer::PairOutcome refused = pair(uri, phone.get(), "x", std::string(32, '0'), id);
    ASSERT_TRUE(refused.reached) << refused.error;
    const viewer::PairOutcome ok = pair(uri, phone.get(), "x", {}, id);
    ASSERT_TRUE(ok.reached && ok.result.ok) << ok.error;
    ASSERT_EQ(store.list().size(), 1u);
    EXPECT_EQ(store.list()[0].client_id, id);  // stored as sent; logged as peer_text shows it
    const std::string fp = to_hex(phone->fingerprint());
    for (const std::string& line :
         {"[pairing] SONUC: reddedildi (gecersiz/suresi dolmus token) client_id=" + shown + " 127.0.0.1:",
          "[pairing] SONUC: eslesti client_id=" + shown + " fp=" + fp + " 127.0.0.1:"}) {
        EXPECT_EQ(log.count(line), 1u) << line << "\n" << log.text();
    }
    const std::string text = log.text();
    EXPECT_EQ(text.find(std::string(1, '\0')), std::string::npos);
    EXPECT_EQ(text.find('\x7f'), std::string::npos);
}

TEST(PairingUri, NameEncodingAndTheLengthRule) {
    EXPECT_EQ(encode_uri_name("Desk PC"), "Desk%20PC");
    EXPECT_EQ(encode_uri_name("A-b.c_d~e/f"), "A-b.c_d~e%2Ff");
    EXPECT_EQ(encode_uri_name("\xC3\x87" "ALI\xC5\x9E"), "%C3%87ALI%C5%9E");  // bytes, not characters

    const std::string fp(64, 'a');
    const std::string token(32, 'b');
    const std::string base = "sorvane://pair?host=" + kHostId + "&port=47000&fp=" + fp + "&token=" + token + "&ip=";
    ASSERT_EQ(base.size(), 178u);
    bool over = true;
    // No address: "&ip=" is followed directly by the name.
    EXPECT_EQ(fit_pairing_uri(kHostId, 47000, fp, token, {}, "PC", over), base + "&name=PC");
    EXPECT_FALSE(over);

    // Addresses go first (one always stays), then name units from the end;
    // a percent group leaves whole.
    const std::vector<std::string> ips = {"192.168.100.200", "10.20.30.40", "172.16.100.200", "100.101.102.103"};
    const std::string name = encode_uri_name("Cok uzun bilgisayar adi \xC3\xA7");
    std::string uri = fit_pairing_uri(kHostId, 47000, fp, token, ips, name, over);
    EXPECT_FALSE(over);
    EXPECT_LE(uri.size(), kPairingUriLimit);
    EXPECT_EQ(uri.substr(0, base.size() + 15), base + "192.168.100.200");
    EXPECT_EQ(uri.find(",10.20.30.40"), std::string::npos);
    const std::string kept = uri.substr(uri.find("&name=") + 6);
    EXPECT_EQ(name.rfind(kept, 0), 0u);
    EXPECT_GE(uri.size(), kPairingUriLimit - 2);  // dropping one more unit would not have been needed

    // Exactly at the limit nothing is dropped; one byte more drops one address.
    const std::string two = base + "1.1.1.1,2.2.2.2&name=";
    std::string n(kPairingUriLimit - two.size(), 'x');
    uri = fit_pairing_uri(kHostId, 47000, fp, token, {"1.1.1.1", "2.2.2.2"}, n, over);
    EXPECT_EQ(uri, two + n);
    uri = fit_pairing_uri(kHostId, 47000, fp, token, {"1.1.1.1", "2.2.2.2"}, n + "y", over);
    EXPECT_EQ(uri, base + "1.1.1.1&name=" + n + "y");

    // A percent group at the cut goes as a whole.
    std::string pad(kPairingUriLimit - (base + "1.1.1.1&name=").size() - 2, 'x');
    uri = fit_pairing_uri(kHostId, 47000, fp, token, {"1.1.1.1"}, pad + "%C3%A7", over);
    EXPECT_EQ(uri, base + "1.1.1.1&name=" + pad);

    EXPECT_EQ(verify_code_of("1a2b3c4d" + std::string(56, '0')), "1A2B-3C4D");
    EXPECT_EQ(verify_code_of("1a2b"), "");
}

}  // namespace
}  // namespace sorvane
