#include "host/ui/device_management.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "host/core/settings.h"
#include "platform/sim/manual_clock.h"
#include "tests/support/host_fakes.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

// Keeps the plaintext; fails while told to.
class SwitchableProtector final : public platform::IDataProtector {
public:
    bool protect(std::string_view plain, std::string_view, std::string& blob, uint32_t& error) override {
        if (fail) {
            error = 5;
            return false;
        }
        blob = plain;
        return true;
    }
    bool unprotect(std::string_view blob, std::string& plain, uint32_t&) override {
        plain = blob;
        return true;
    }
    bool fail = false;
};

PairingRecord record(const std::string& id, uint8_t fp, const std::string& name = "") {
    PairingRecord r;
    r.client_id = id;
    r.fingerprint.fill(fp);
    r.name = name;
    r.paired_at = r.last_seen_at = "2025-01-02T03:04:05Z";
    return r;
}

class DeviceRemovalTest : public ::testing::Test {
protected:
    DeviceRemovalTest() : pairings_(protector_, clock_) {
        setenv(kSettingsPathVariable, dir_.file("settings.txt").c_str(), 1);
        clock_.set_wall_ms(1'736'000'000'000);  // 2025-01-04 14:13 UTC
        clock_.set_local_offset_minutes(180);
        pairings_.load(dir_.file("pairings.dat"));
        for (const PairingRecord& r : {record("phone-1234567890", 1, "Pixel"), record("tab let", 2),
                                       record("phone-1234567890", 3, "Pixel (new key)")})
            pairings_.upsert(r);
        EXPECT_TRUE(pairings_.save());
        kinds_.load(dir_.file("device_kinds.txt"));
        kinds_.set("phone-1234567890", "phone");
        kinds_.set("tab let", "tablet");
        positions_.load(dir_.file("display_positions.txt"));
        positions_.set("phone-1234567890", SavedPosition{"anchor", 'L', -10});
    }
    ~DeviceRemovalTest() override { unsetenv(kSettingsPathVariable); }

    // The session manager's part: records what it was asked while the store
    // shows whether the device could still connect.
    DeviceRemovalPorts ports(bool connected) {
        return DeviceRemovalPorts{pairings_, kinds_, positions_,
                                  [this, connected](const std::string& id, const std::string& reason) {
                                      ended_.push_back(id + " / " + reason);
                                      for (const PairingRecord& r : pairings_.list())
                                          if (r.client_id == id) still_paired_when_ended_ = true;
                                      return connected;
                                  },
                                  clock_};
    }

    test::TempDir dir_;
    test::HostLog log_;
    sim::ManualClock clock_;
    SwitchableProtector protector_;
    PairingStore pairings_;
    DeviceKindStore kinds_;
    DisplayPositionStore positions_;
    std::vector<std::string> ended_;
    bool still_paired_when_ended_ = false;
};

TEST_F(DeviceRemovalTest, AConnectedDeviceIsForgottenEverywhere) {
    auto p = ports(true);
    ASSERT_TRUE(remove_device(p, "phone-1234567890", "panel"));
    EXPECT_EQ(ended_, (std::vector<std::string>{"phone-1234567890 / panel 'Kaldir': cihaz kaldiriliyor"}));
    // The records were gone before the session ended: no reconnection in between.
    EXPECT_FALSE(still_paired_when_ended_);
    EXPECT_TRUE(log_.has("[devices] cihaz kaldirildi (kaynak: panel): client phone-12, bagliydi: baglanti kesildi; "
                         "eslesme silindi, telefon yeniden QR ile eslesmeli"));
    EXPECT_EQ(settings_get(kSettingLastDeviceRemoved),
              "2025-01-04 17:13 | client phone-12 | kaynak: panel | bagliydi: evet");
    EXPECT_EQ(removal_note_for_report(),
              "Son cihaz kaldirma (K78): 2025-01-04 17:13 | client phone-12 | kaynak: panel | bagliydi: evet");

    // Both records went, in memory and on disk, with the notes beside them.
    PairingStore reread(protector_, clock_);
    reread.load(dir_.file("pairings.dat"));
    ASSERT_EQ(reread.size(), 1u);
    EXPECT_EQ(reread.list()[0].client_id, "tab let");
    EXPECT_EQ(test::read_all(dir_.file("device_kinds.txt")), "tab let|tablet\n");
    EXPECT_EQ(test::read_all(dir_.file("display_positions.txt")), "");
    EXPECT_FALSE(pairings_.last_save_failed());

    // The panel's list: store order, name or client id, kind, connection.
    const auto listed = paired_devices(pairings_, kinds_, {"tab let"});
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "tab let");
    EXPECT_EQ(listed[0].kind, "tablet");
    EXPECT_TRUE(listed[0].connected);
    EXPECT_EQ(listed[0].last_seen_at, "2025-01-02T03:04:05Z");
}

TEST_F(DeviceRemovalTest, AnUnknownDeviceLeavesNoNote) {
    auto p = ports(false);
    EXPECT_FALSE(remove_device(p, "nobody", "somewhere"));
    EXPECT_TRUE(log_.has("[devices] cihaz kaldirma: client nobody eslesmis listede yok (kaynak: bilinmiyor)"));
    EXPECT_FALSE(settings_get(kSettingLastDeviceRemoved));
    EXPECT_EQ(removal_note_for_report(), "Son cihaz kaldirma (K78): yok");
    EXPECT_EQ(pairings_.size(), 3u);
}

TEST_F(DeviceRemovalTest, AFailedSaveIsNotReportedAsAClearRemoval) {
    protector_.fail = true;
    auto p = ports(false);
    ASSERT_TRUE(remove_device(p, "tab let", "tepsi"));
    EXPECT_TRUE(log_.has("[devices] cihaz kaldirildi (kaynak: tepsi): client tab?let, bagli degildi; eslesme yalniz "
                         "bu calismada silindi: pairings.dat KAYDEDILEMEDI, yeniden baslatinca cihaz geri gelebilir"));
    EXPECT_FALSE(log_.has("eslesme silindi, telefon"));
    EXPECT_EQ(settings_get(kSettingLastDeviceRemoved),
              "2025-01-04 17:13 | client tab?let | kaynak: tepsi | bagliydi: hayir | pairings.dat kaydedilemedi");
    EXPECT_TRUE(pairings_.last_save_failed());
    // Gone for this run; the file still has it until a save succeeds.
    EXPECT_EQ(pairings_.size(), 2u);
    protector_.fail = false;
    ASSERT_TRUE(pairings_.save());
    EXPECT_FALSE(pairings_.last_save_failed());
}

TEST(DeviceMasking, ClientIdsAndSources) {
    EXPECT_EQ(masked_client_id(""), "-");
    EXPECT_EQ(masked_client_id("abcdefghijkl"), "abcdefgh");
    EXPECT_EQ(masked_client_id("a b\x7f\x01\xc3\xa7z"), "a?b????z");
    EXPECT_EQ(removal_source("panel"), "panel");
    EXPECT_EQ(removal_source("tepsi"), "tepsi");
    EXPECT_EQ(removal_source("Panel"), "bilinmiyor");
}

}  // namespace
}  // namespace sorvane
