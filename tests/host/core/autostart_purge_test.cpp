#include <gtest/gtest.h>

#include <deque>

#include "host/core/autostart.h"
#include "host/core/gpu_preference.h"
#include "host/core/purge.h"
#include "platform/files.h"
#include "platform/sim/machine.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/ports.h"
#include "platform/sim/startup_model.h"
#include "tests/support/host_fakes.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

const std::string kShortcut = std::string(sim::kStartupFolder) + "\\Sorvane.lnk";

class AutostartTest : public ::testing::Test {
protected:
    std::shared_ptr<sim::Machine> machine_ = std::make_shared<sim::Machine>();
    std::unique_ptr<platform::IShellLinks> links_ = sim::make_sim_shell_links(machine_);
    test::HostLog log_;
};

TEST_F(AutostartTest, WhatItDidAndWhatFailed) {
    // A machine that was never set up has no Startup folder.
    test::TempDir dir;
    auto unset = sim::make_sim_shell_links(std::make_shared<sim::Machine>(dir.file("none")));
    EXPECT_FALSE(set_autostart(*unset, "/bin/sorvane-host", true));
    EXPECT_TRUE(log_.has("[autostart] Startup klasoru bulunamadi"));
    EXPECT_FALSE(autostart_enabled(*unset));

    // The shortcut, and the lines of switching it off twice.
    ASSERT_TRUE(machine_->initialize({}));
    ASSERT_TRUE(set_autostart(*links_, "/opt/sorvane/sorvane-host", true));
    EXPECT_TRUE(log_.has("[autostart] acildi (" + kShortcut + " -> /opt/sorvane/sorvane-host)"));
    platform::ShellLink link;
    ASSERT_EQ(links_->load(kShortcut, link), 0u);
    EXPECT_EQ(link, (platform::ShellLink{"/opt/sorvane/sorvane-host", "/opt/sorvane", "Sorvane"}));
    EXPECT_TRUE(set_autostart(*links_, "", false));
    EXPECT_TRUE(set_autostart(*links_, "", false));
    EXPECT_TRUE(log_.has("[autostart] kapatildi (kisayol silindi)"));
    EXPECT_TRUE(log_.has("[autostart] kapatildi (kisayol zaten yoktu)"));

    EXPECT_FALSE(set_autostart(*links_, "", true));
    EXPECT_FALSE(set_autostart(*links_, "/" + std::string(259, 'x'), true));
    EXPECT_EQ(log_.count("[autostart] exe yolu okunamadi"), 2u);

    machine_->update("fault", [](sim::MachineState& s) { s.faults.arm("shell.save_link", 1, 0x80070005); });
    EXPECT_FALSE(set_autostart(*links_, "/bin/sorvane-host", true));
    EXPECT_TRUE(log_.has("[autostart] acilamadi (" + kShortcut + " -> /bin/sorvane-host)"));

    ASSERT_TRUE(set_autostart(*links_, "/bin/sorvane-host", true));
    machine_->update("fault", [](sim::MachineState& s) { s.faults.arm("shell.delete_link", 1, 5); });
    EXPECT_FALSE(set_autostart(*links_, "", false));
    EXPECT_TRUE(log_.has("[autostart] kapatilamadi (kisayol " + kShortcut + " silinemedi: hata 5)"));
    EXPECT_TRUE(autostart_enabled(*links_));
}

// A tray host as --quit sees it: its window until it has gone, its process
// until it ended, each after a number of looks.
struct FakeHost {
    bool window = true;
    uint32_t pid = 77;
    int ends_after = -1;  // polls of the process (or of the window without one); -1: never
    int posts = 0;
    int polls = 0;

    RunningTrayHost access() {
        RunningTrayHost h;
        h.find_window = [this](uint32_t& id) {
            id = pid;
            if (posts > 0 && pid == 0 && ends_after >= 0 && polls++ >= ends_after) window = false;
            return window;
        };
        h.post_quit = [this] { return ++posts, window; };
        h.watch = [this](uint32_t id) -> std::unique_ptr<platform::ProcessWatch> {
            struct Watch : platform::ProcessWatch {
                FakeHost* host;
                bool ended() override { return host->ends_after >= 0 && host->polls++ >= host->ends_after; }
            };
            if (id != 77) return nullptr;
            auto w = std::make_unique<Watch>();
            w->host = this;
            return w;
        };
        return h;
    }
};

TEST(QuitRunningHost, WaitsForTheProcessOrTheWindowOnTheClock) {
    struct Row {
        const char* what;
        bool window;
        uint32_t pid;
        int ends_after;
        int result;
        uint64_t waited_ms;
    };
    const Row rows[] = {
        {"no host", false, 77, -1, 0, 0},
        {"ends after 3 looks", true, 77, 3, 0, 300},
        {"ignores the message", true, 77, -1, 1, kQuitTimeoutMs},
        {"no process id: window goes", true, 0, 2, 0, 200},
        {"process cannot be opened: window stays", true, 78, -1, 1, kQuitTimeoutMs},
    };
    for (const Row& r : rows) {
        sim::ManualClock clock;
        const uint64_t start = clock.now_ms();
        FakeHost host;
        host.window = r.window;
        host.pid = r.pid;
        host.ends_after = r.ends_after;
        EXPECT_EQ(quit_running_host(host.access(), clock, kQuitTimeoutMs), r.result) << r.what;
        EXPECT_EQ(clock.now_ms() - start, r.waited_ms) << r.what;
        EXPECT_EQ(host.posts, r.window ? 1 : 0) << r.what;
    }
    EXPECT_EQ(std::string(quit_result_text(0)), "sorvane-host --quit: tamam (calisan ornek yok ya da temiz kapandi)\n");
    EXPECT_EQ(std::string(quit_result_text(1)), "sorvane-host --quit: ZAMAN ASIMI (ornek hala calisiyor)\n");
}

// The identity store of the host, whose certificate removal can be made to fail.
class IdentityStore final : public platform::ICertificateStore {
public:
    explicit IdentityStore(const std::string& folder) : store_(platform::make_certificate_store(folder)) {}
    platform::StoreResult open() override { return store_->open(); }
    platform::StoreResult open_existing() override { return store_->open_existing(); }
    platform::StoreResult find_by_subject(std::string_view t, std::vector<platform::StoredCertificate>& o) override {
        return store_->find_by_subject(t, o);
    }
    platform::StoreResult open_key(std::string_view n, std::unique_ptr<platform::PrivateKey>& o) override {
        return store_->open_key(n, o);
    }
    platform::StoreResult create_key(std::string_view n, std::unique_ptr<platform::PrivateKey>& o) override {
        return store_->create_key(n, o);
    }
    platform::StoreResult delete_key(std::string_view n) override { return store_->delete_key(n); }
    platform::StoreResult create_certificate(const platform::PrivateKey& k, const platform::IdentityCertificateRequest& r,
                                             platform::StoredCertificate& o) override {
        return store_->create_certificate(k, r, o);
    }
    platform::StoreResult add_certificate(platform::StoredCertificate& c) override { return store_->add_certificate(c); }
    platform::StoreResult remove_certificate(const platform::StoredCertificate& c) override {
        if (fail_removal) return {false, 5};
        return store_->remove_certificate(c);
    }
    platform::StoreResult bind_key(const platform::StoredCertificate& c, const platform::PrivateKey& k,
                                   std::unique_ptr<platform::TlsCredential>& o) override {
        return store_->bind_key(c, k, o);
    }

    // Two identity certificates (one left behind by a renewal) and their key.
    void make_identity() {
        ASSERT_TRUE(store_->open().ok);
        for (int i = 0; i < 2; ++i) {
            std::unique_ptr<platform::PrivateKey> key;
            ASSERT_TRUE(store_->create_key("key", key).ok);
            platform::StoredCertificate cert;
            ASSERT_TRUE(store_->create_certificate(*key, {"Host Identity", i, 1'000'000'000'000}, cert).ok);
            ASSERT_TRUE(store_->add_certificate(cert).ok);
        }
    }
    bool fail_removal = false;

private:
    std::unique_ptr<platform::ICertificateStore> store_;
};

class PurgeTest : public ::testing::Test {
protected:
    PurgeTest() { EXPECT_TRUE(machine_->initialize({})); }

    int purge() {
        printed_.clear();
        PurgePorts ports{data_,          [this] { return still_running_; },
                         [this] { return set_autostart(*links_, "", false); },
                         identity_,      "Host Identity",
                         "key",          *registry_,
                         "/bin/host",    [this](std::string_view s) { printed_ += s; }};
        return purge_user_data(ports);
    }
    test::TempDir dir_;
    const std::string data_ = dir_.file("Sorvane");
    std::shared_ptr<sim::Machine> machine_ = std::make_shared<sim::Machine>();
    std::unique_ptr<platform::IShellLinks> links_ = sim::make_sim_shell_links(machine_);
    std::unique_ptr<platform::IRegistry> registry_ = sim::make_sim_registry(machine_);
    IdentityStore identity_{data_ + "/tls"};
    int still_running_ = 0;
    std::string printed_;
    test::HostLog log_;
};

TEST_F(PurgeTest, ARunningHostThatStaysStopsEverything) {
    ASSERT_TRUE(set_autostart(*links_, "/bin/host", true));
    still_running_ = 1;
    EXPECT_EQ(purge(), 2);
    EXPECT_EQ(printed_, "sorvane-host --purge-user-data: " + data_ +
                            "\n  HATA: calisan Sorvane kapatilamadi; hicbir sey silinmedi.\n");
    EXPECT_TRUE(autostart_enabled(*links_));
}

TEST_F(PurgeTest, EachFailureIsNamedAndThePurgeGoesOn) {
    identity_.make_identity();
    identity_.fail_removal = true;
    ASSERT_TRUE(set_autostart(*links_, "/bin/host", true));
    machine_->update("faults", [](sim::MachineState& s) {
        s.faults.arm("shell.delete_link", 1, 5);
        s.faults.arm("registry.delete_value", 1, 5);
    });
    EXPECT_EQ(purge(), 1);
    EXPECT_EQ(printed_, "sorvane-host --purge-user-data: " + data_ +
                            "\n  UYARI: Baslangic kisayolu kaldirilamadi\n"
                            "  HATA: host kimlik sertifikasi/anahtari silinemedi\n"
                            "  UYARI: GPU tercih girdisi silinemedi\n"
                            "  " + data_ + ": silindi/yok\nkismen tamamlandi\n");
}

}  // namespace
}  // namespace sorvane
