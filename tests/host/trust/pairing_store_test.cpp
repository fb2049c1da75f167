#include "host/trust/pairing_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "platform/files.h"
#include "platform/sim/manual_clock.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

using test::read_all;
using test::TempDir;
using test::write_all;

// Wraps the plaintext visibly so the tests can read what would be protected.
class ClearProtector : public platform::IDataProtector {
public:
    bool protect(std::string_view plain, std::string_view description, std::string& blob, uint32_t& error) override {
        if (fail_protect) {
            error = 5;
            return false;
        }
        blob = "CLEAR[" + std::string(description) + "]" + std::string(plain);
        return true;
    }
    bool unprotect(std::string_view blob, std::string& plain, uint32_t& error) override {
        const std::string prefix = "CLEAR[Sorvane pairings]";
        if (blob.substr(0, prefix.size()) != prefix) {
            error = 13;
            return false;
        }
        plain = std::string(blob.substr(prefix.size()));
        return true;
    }
    bool fail_protect = false;
};

Fingerprint fp(uint8_t fill) {
    Fingerprint f;
    f.fill(fill);
    return f;
}

PairingRecord record(std::string id, uint8_t fill, std::string name = "Phone") {
    return {std::move(id), fp(fill), std::move(name), "2026-12-01T10:00:00Z", "2026-12-01T10:00:00Z"};
}

struct StoreFixture : ::testing::Test {
    TempDir dir;
    ClearProtector protector;
    sim::ManualClock clock{1'000'000, 1'765'000'000'000};
    std::string path = dir.path() + "/Sorvane/pairings.dat";
    std::string plain() { return read_all(path).substr(std::string("CLEAR[Sorvane pairings]").size()); }
};

TEST_F(StoreFixture, PlaintextEscapesTrickyTextAndReadsItBack) {
    PairingStore store(protector, clock);
    store.load(path);  // no file: empty, nothing logged
    EXPECT_EQ(store.size(), 0u);
    store.upsert(record("id|1", 0xAB, "Ayşe's 100% \"tab\"|\r\n"));
    ASSERT_TRUE(store.save());  // creates the folder
    std::string fp_hex;
    for (int i = 0; i < 32; ++i) fp_hex += "ab";
    EXPECT_EQ(plain(), "id%7C1|" + fp_hex +
                           "|Ay\xC5\x9F"
                           "e's 100%25 \"tab\"%7C%0D%0A|2026-12-01T10:00:00Z|2026-12-01T10:00:00Z\n");
    PairingStore again(protector, clock);
    again.load(path);
    ASSERT_EQ(again.list().size(), 1u);
    EXPECT_EQ(again.list()[0], record("id|1", 0xAB, "Ayşe's 100% \"tab\"|\r\n"));

    // An empty store is still a protected file.
    again.remove_by_client_id("id|1");
    ASSERT_TRUE(again.save());
    EXPECT_EQ(read_all(path), "CLEAR[Sorvane pairings]");
}

TEST_F(StoreFixture, LoadToleratesBadLines) {
    const std::string good_fp(64, 'c');
    write_all(dir.file("p.dat"),
              "CLEAR[Sorvane pairings]"
              "a|" + good_fp + "|A|t1|t2\n"
              "\n"
              "four|" + good_fp + "|x|t1\n"
              "six|" + good_fp + "|x|t1|t2|t3\n"
              "short|" + std::string(63, 'c') + "|S|t1|t2\n"
              "upper|" + std::string(64, 'C') + "|%41%4a%4|t1|t2");
    PairingStore store(protector, clock);
    store.load(dir.file("p.dat"));
    const auto list = store.list();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].client_id, "a");
    EXPECT_EQ(list[1].client_id, "short");
    EXPECT_EQ(list[1].fingerprint, fp(0));  // malformed fingerprint: all zero
    EXPECT_EQ(list[2].fingerprint, fp(0xCC));
    EXPECT_EQ(list[2].name, "A%4a%4");  // only uppercase hex pairs decode
    EXPECT_TRUE(store.find_by_fingerprint(fp(0xCC)).has_value());
    EXPECT_FALSE(store.find_by_fingerprint(fp(0xCD)).has_value());
    // The zero fingerprint is written back as 64 zeros.
    ASSERT_TRUE(store.save());
    EXPECT_NE(read_all(dir.file("p.dat")).find("short|" + std::string(64, '0') + "|S|"), std::string::npos);
}

TEST_F(StoreFixture, LoadClearsTheTemporaryFilesOfKilledSaves) {
    // Left by saves of processes killed between writing and renaming, and
    // files that only look alike.
    const std::string folder = dir.path() + "/Sorvane";
    platform::create_directories(folder);
    const std::string own = "pairings.dat.tmp" + std::to_string(::getpid()) + ".3";
    const std::vector<std::string> stale = {"pairings.dat.tmp4242.0", "pairings.dat.tmp1.17"};
    const std::vector<std::string> kept = {own, "pairings.dat.tmp", "pairings.dat.tmpx.1", "pairings.dat.tmp12.",
                                           "other.dat.tmp4242.0", "pairings.dat.unreadable-20261201-100000"};
    for (const auto& n : stale) write_all(folder + "/" + n, "half");
    for (const auto& n : kept) write_all(folder + "/" + n, "keep");
    PairingStore store(protector, clock);
    store.load(path);
    std::vector<std::string> names;
    ASSERT_TRUE(platform::list_directory(folder, names).ok());
    std::vector<std::string> expected = kept;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
}

TEST_F(StoreFixture, UpsertAndRemoveFollowFingerprintsAndClientIds) {
    PairingStore store(protector, clock);
    store.load(path);
    store.upsert(record("phone", 1, "Old name"));
    store.upsert(record("phone", 1, "New name"));  // same certificate: overwritten
    store.upsert(record("phone", 2));               // new certificate, same device: second record
    store.upsert(record("tablet", 3));
    ASSERT_EQ(store.size(), 3u);
    EXPECT_EQ(store.find_by_fingerprint(fp(1))->name, "New name");
    EXPECT_TRUE(store.remove_by_client_id("phone"));
    EXPECT_FALSE(store.remove_by_client_id("phone"));
    ASSERT_EQ(store.size(), 1u);
    EXPECT_EQ(store.list()[0].client_id, "tablet");
}

TEST_F(StoreFixture, UnreadableFileIsKeptAsideAndNeverOverwritten) {
    platform::create_directories(dir.path() + "/Sorvane");
    write_all(path, "garbage");
    clock.set_local_offset_minutes(0);
    clock.set_wall_ms(1'765'000'000'000);  // 2025-12-06T05:46:40Z
    PairingStore store(protector, clock);
    store.load(path);
    PairingsLoadStatus st = store.load_status();
    EXPECT_TRUE(st.unreadable);
    EXPECT_EQ(st.error_code, 13u);
    EXPECT_EQ(st.backup_name, "pairings.dat.unreadable-20251206-054640");
    EXPECT_FALSE(st.write_blocked);
    EXPECT_EQ(read_all(path + ".unreadable-20251206-054640"), "garbage");
    store.upsert(record("new", 9));
    EXPECT_TRUE(store.save());
    EXPECT_EQ(read_all(path + ".unreadable-20251206-054640"), "garbage");

    // A second unreadable file in the same second cannot take the backup's
    // name: it stays where it is and no save touches it.
    write_all(path, "garbage 2");
    PairingStore second(protector, clock);
    second.load(path);
    st = second.load_status();
    EXPECT_TRUE(st.write_blocked);
    EXPECT_EQ(st.backup_name, "");
    second.upsert(record("x", 7));
    EXPECT_FALSE(second.save());
    EXPECT_EQ(read_all(path), "garbage 2");
    EXPECT_EQ(read_all(path + ".unreadable-20251206-054640"), "garbage");
}

TEST_F(StoreFixture, AFileThatCannotBeOpenedBlocksWrites) {
    platform::create_directories(path);  // a folder where the file should be
    PairingStore store(protector, clock);
    store.load(path);
    EXPECT_TRUE(store.load_status().write_blocked);
    store.upsert(record("a", 1));
    EXPECT_FALSE(store.save());
}

TEST_F(StoreFixture, LastSeenIsWrittenSparingly) {
    PairingStore setup(protector, clock);
    setup.load(path);
    setup.upsert(record("phone", 1));
    setup.upsert(record("idle", 2));
    ASSERT_TRUE(setup.save());

    PairingStore store(protector, clock);
    store.load(path);
    uint64_t now = 5'000'000;
    // The first touch of a run always writes.
    EXPECT_TRUE(store.touch_last_seen("phone", "2026-12-01T11:00:00Z", now, 600'000));
    EXPECT_NE(plain().find("|2026-12-01T11:00:00Z\n"), std::string::npos);
    // A second open within 10 minutes on the same day stays in memory.
    EXPECT_FALSE(store.touch_last_seen("phone", "2026-12-01T11:05:00Z", now + 300'000, 600'000));
    EXPECT_EQ(plain().find("11:05:00Z"), std::string::npos);
    EXPECT_EQ(store.find_by_fingerprint(fp(1))->last_seen_at, "2026-12-01T11:05:00Z");
    // The session end a minute later writes it.
    EXPECT_TRUE(store.touch_last_seen("phone", "2026-12-01T11:06:00Z", now + 360'000, 60'000));
    EXPECT_NE(plain().find("|2026-12-01T11:06:00Z\n"), std::string::npos);
    // A new day writes at once.
    EXPECT_TRUE(store.touch_last_seen("phone", "2026-12-02T00:00:01Z", now + 361'000, 600'000));
    // Unknown devices and empty times change nothing.
    EXPECT_FALSE(store.touch_last_seen("nobody", "2026-12-02T00:00:01Z", now, 0));
    EXPECT_FALSE(store.touch_last_seen("phone", "", now, 0));

    // Host stop writes only what is newer than the file.
    EXPECT_FALSE(store.flush_last_seen());
    EXPECT_FALSE(store.touch_last_seen("phone", "2026-12-02T00:00:30Z", now + 391'000, 600'000));
    EXPECT_TRUE(store.flush_last_seen());
    EXPECT_NE(plain().find("|2026-12-02T00:00:30Z\n"), std::string::npos);
    EXPECT_FALSE(store.flush_last_seen());

    // A failed save keeps the new value for the next one.
    protector.fail_protect = true;
    EXPECT_FALSE(store.touch_last_seen("phone", "2026-12-03T00:00:00Z", now + 400'000, 0));
    protector.fail_protect = false;
    EXPECT_TRUE(store.flush_last_seen());
    EXPECT_NE(plain().find("|2026-12-03T00:00:00Z\n"), std::string::npos);
}

TEST(DataProtector, RealProtectorRoundTripsAndRefusesTampering) {
    TempDir dir;
    setenv("LOCALAPPDATA", dir.path().c_str(), 1);
    auto protector = platform::make_user_data_protector();
    std::string plain;
    uint32_t error = 0;
    // Unprotect never creates the key.
    EXPECT_FALSE(protector->unprotect("SVDP\x01\x00\x00" + std::string(40, 'x'), plain, error));
    EXPECT_FALSE(platform::file_exists(dir.path() + "/DataProtection/user.key"));

    std::string blob;
    ASSERT_TRUE(protector->protect("a|b\n", "Sorvane pairings", blob, error));
    EXPECT_EQ(blob.find("a|b"), std::string::npos);
    ASSERT_TRUE(protector->unprotect(blob, plain, error));
    EXPECT_EQ(plain, "a|b\n");

    struct stat st{};
    ASSERT_EQ(stat((dir.path() + "/DataProtection/user.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((dir.path() + "/DataProtection").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    for (size_t i = 0; i < blob.size(); ++i) {
        std::string bad = blob;
        bad[i] = static_cast<char>(bad[i] ^ 0x01);
        EXPECT_FALSE(protector->unprotect(bad, plain, error)) << "byte " << i;
        EXPECT_EQ(error, platform::kProtectErrorInvalidData);
    }
    EXPECT_FALSE(protector->unprotect(blob.substr(0, blob.size() - 1), plain, error));

    // Another user's key (another data folder) cannot open it.
    TempDir other;
    setenv("LOCALAPPDATA", other.path().c_str(), 1);
    auto other_protector = platform::make_user_data_protector();
    std::string other_blob;
    ASSERT_TRUE(other_protector->protect("x", "d", other_blob, error));
    EXPECT_FALSE(other_protector->unprotect(blob, plain, error));
    EXPECT_EQ(error, platform::kProtectErrorInvalidData);
    unsetenv("LOCALAPPDATA");
}

}  // namespace
}  // namespace sorvane
