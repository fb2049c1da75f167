// The advertisement's registrations against a registrar that records them.
#include "host/net/mdns_advertisement.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

#include "tests/support/host_fakes.h"

namespace sorvane {
namespace {

using Txt = std::vector<std::pair<std::string, std::string>>;

// Records every submitted instance; a registration counts as live until its
// handle is destroyed.
class RecordingRegistrar : public platform::IDnsServiceRegistrar {
public:
    struct Live {
        platform::DnsServiceInstance instance;
        platform::DnsServiceCompletion done;
        bool withdrawn = false;
    };

    uint32_t register_service(const platform::DnsServiceInstance& instance, platform::DnsServiceCompletion done,
                              std::unique_ptr<platform::IDnsServiceRegistration>& out) override {
        ++submitted;
        if (!running) return platform::kErrorServiceNotActive;
        auto live = std::make_shared<Live>(Live{instance, std::move(done)});
        all.push_back(live);
        out = std::make_unique<Handle>(live);
        return platform::kDnsRequestPending;
    }
    bool responder_available() override { return running; }

    std::vector<std::shared_ptr<Live>> live() const {
        std::vector<std::shared_ptr<Live>> out;
        for (const auto& l : all)
            if (!l->withdrawn) out.push_back(l);
        return out;
    }

    bool running = true;
    int submitted = 0;
    std::vector<std::shared_ptr<Live>> all;

private:
    struct Handle : platform::IDnsServiceRegistration {
        explicit Handle(std::shared_ptr<Live> l) : live(std::move(l)) {}
        ~Handle() override { live->withdrawn = true; }
        std::shared_ptr<Live> live;
    };
};

AdvertisementSettings settings(std::string fingerprint_prefix = "0caf0585ab051220") {
    AdvertisementSettings s;
    s.host_id = "d95a5ea1-d5c1-4013-8876-88a91d5583da";
    s.host_name = "DESKTOP-7";
    s.port = 47000;
    s.protocol_version = 0x0100;
    s.fingerprint_prefix = std::move(fingerprint_prefix);
    return s;
}

TEST(MdnsAdvertisement, RegistrationShapes) {
    const std::string id = "d95a5ea1-d5c1-4013-8876-88a91d5583da";
    struct Case {
        const char* what;
        std::vector<netprofile::PhysIf> interfaces;
        std::string fingerprint_prefix;
        std::vector<std::pair<uint32_t, Txt>> expected;  // interface index and TXT, in registration order
        const char* log_line;
    };
    const Case cases[] = {
        {"one home Wi-Fi (Private): once for every interface, with the name",
         {{11, "{WIFI}", false}},
         "0caf0585ab051220",
         {{0, {{"v", "256"}, {"id", id}, {"n", "DESKTOP-7"}, {"f", "0caf0585ab051220"}}}},
         "[mdns] _sorvane._tcp ilani basladi (port 47000, id=d95a5ea1, f=0caf0585ab051220, bilgisayar adi gorunur)"},
        {"cafe Wi-Fi (Public) and a Private Ethernet: one per interface, the name only on the Ethernet",
         {{11, "{WIFI}", true}, {12, "{ETH}", false}},
         "0caf0585ab051220",
         {{11, {{"v", "256"}, {"id", id}, {"f", "0caf0585ab051220"}}},
          {12, {{"v", "256"}, {"id", id}, {"n", "DESKTOP-7"}, {"f", "0caf0585ab051220"}}}},
         "[mdns] _sorvane._tcp ilani basladi (port 47000, id=d95a5ea1, f=0caf0585ab051220, arayuz basina: 1 Ortak "
         "arayuzde bilgisayar adi GIZLI (Ortak ag), 1 arayuzde gorunur)"},
        {"no physical interface and no fingerprint: once, without f",
         {},
         "",
         {{0, {{"v", "256"}, {"id", id}, {"n", "DESKTOP-7"}}}},
         "[mdns] _sorvane._tcp ilani basladi (port 47000, id=d95a5ea1, f=, bilgisayar adi gorunur)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::HostLog log;
        RecordingRegistrar registrar;
        MdnsAdvertisement ad(registrar);
        EXPECT_TRUE(ad.start_advertising(settings(c.fingerprint_prefix), c.interfaces));
        const auto live = registrar.live();
        ASSERT_EQ(live.size(), c.expected.size());
        for (size_t i = 0; i < live.size(); ++i) {
            const platform::DnsServiceInstance& in = live[i]->instance;
            EXPECT_EQ(in.instance_name, "d95a5ea1._sorvane._tcp.local");
            EXPECT_EQ(in.host_name, "DESKTOP-7.local");
            EXPECT_EQ(in.port, 47000);
            EXPECT_EQ(in.interface_index, c.expected[i].first);
            EXPECT_EQ(in.properties, c.expected[i].second);
        }
        EXPECT_TRUE(log.has(c.log_line)) << log.text();
    }
}

TEST(MdnsAdvertisement, InterfaceChangesRegisterAgainAndStopWithdraws) {
    test::HostLog log;
    RecordingRegistrar registrar;
    MdnsAdvertisement ad(registrar);
    // Changes before the start are not the advertisement's business.
    ad.update_interfaces({{11, "{WIFI}", true}});
    EXPECT_EQ(registrar.submitted, 0);

    ad.start_advertising(settings(), {{11, "{WIFI}", false}});
    ASSERT_EQ(registrar.submitted, 1);

    // The same list again: nothing happens, not even a log line.
    ad.update_interfaces({{11, "{WIFI}", false}});
    EXPECT_EQ(registrar.submitted, 1);
    EXPECT_FALSE(log.has("arayuzleri degisti"));

    // The network turned Public: the old registration goes, per-interface ones come.
    ad.update_interfaces({{11, "{WIFI}", true}, {12, "{ETH}", false}});
    EXPECT_TRUE(log.has("[mdns] ag arayuzleri degisti: yeniden ilan"));
    EXPECT_TRUE(log.has("[mdns] ilan geri cekildi"));
    EXPECT_EQ(registrar.submitted, 3);
    ASSERT_EQ(registrar.live().size(), 2u);
    EXPECT_EQ(registrar.live()[0]->instance.interface_index, 11u);

    // Completions only log.
    registrar.live()[0]->done(0, "d95a5ea1._sorvane._tcp.local");
    registrar.live()[1]->done(0, "");
    EXPECT_TRUE(log.has("[mdns] ilan edildi: d95a5ea1._sorvane._tcp.local"));
    EXPECT_TRUE(log.has("[mdns] ilan edildi: (bilinmiyor)"));

    ad.stop_advertising();
    EXPECT_TRUE(registrar.live().empty());
    EXPECT_FALSE(ad.started());
    ad.update_interfaces({{12, "{ETH}", false}});
    EXPECT_EQ(registrar.submitted, 3);
}

TEST(MdnsAdvertisement, ARegistrationTheResponderLostIsMadeAgainWhenItIsBack) {
    test::HostLog log;
    RecordingRegistrar registrar;
    registrar.running = false;  // the daemon is not up yet at start
    MdnsAdvertisement ad(registrar);
    EXPECT_FALSE(ad.start_advertising(settings(), {{11, "{WIFI}", false}}));
    EXPECT_TRUE(log.has("[mdns] DnsServiceRegister basarisiz (arayuz 0): 1062"));
    EXPECT_EQ(ad.registrations(), 0u);

    // Passes while it is away do nothing.
    ad.retry_failed();
    EXPECT_EQ(registrar.submitted, 1);

    registrar.running = true;
    ad.retry_failed();
    EXPECT_EQ(registrar.submitted, 2);
    EXPECT_EQ(ad.registrations(), 1u);
    ad.retry_failed();  // nothing failed any more
    EXPECT_EQ(registrar.submitted, 2);

    // The daemon restarts: the registration it held is reported lost.
    registrar.live()[0]->done(platform::kErrorServiceNotActive, "");
    EXPECT_TRUE(log.has("[mdns] ilan HATASI: 1062"));
    ad.retry_failed();
    EXPECT_EQ(registrar.submitted, 3);
    EXPECT_EQ(registrar.live().size(), 1u);
    EXPECT_TRUE(log.has("[mdns] yanitlayici yeniden hazir: ilan yenileniyor"));

    // A name taken by another machine is not retried on every pass; the next
    // interface change tries again.
    registrar.live()[0]->done(platform::kDnsErrorNameTaken, "");
    ad.retry_failed();
    EXPECT_EQ(registrar.submitted, 3);
}

}  // namespace
}  // namespace sorvane
