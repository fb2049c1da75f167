// The paired viewer devices: one record per client certificate, kept in
// pairings.dat, protected for the current user. The transport admits a
// connection only when its certificate's fingerprint is here.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/trust/fingerprint.h"
#include "platform/clock.h"
#include "platform/protect.h"

namespace sorvane {

struct PairingRecord {
    std::string client_id;
    Fingerprint fingerprint{};
    std::string name;
    std::string paired_at;     // UTC "YYYY-MM-DDTHH:MM:SSZ"
    std::string last_seen_at;  // same form
    bool operator==(const PairingRecord&) const = default;
};

// What loading found, for the start-up's trust notes and the panel.
struct PairingsLoadStatus {
    bool unreadable = false;     // the file could not be unprotected
    std::string backup_name;     // where it was moved; empty when the move failed
    uint32_t error_code = 0;     // the unprotect error
    bool write_blocked = false;  // no save touches pairings.dat in this run
};

class PairingStore {
public:
    // clock: local time for the backup name of an unreadable file.
    PairingStore(platform::IDataProtector& protector, platform::IClock& clock);

    void load(const std::string& path);
    std::optional<PairingRecord> find_by_fingerprint(const Fingerprint& fp) const;
    std::vector<PairingRecord> list() const;
    size_t size() const;
    // Overwrites the record with the same fingerprint or appends. No write.
    void upsert(const PairingRecord& record);
    // Removes every record of client_id; true when one was removed. No write.
    bool remove_by_client_id(const std::string& client_id);
    // Removes the record of fp; true when there was one. No write.
    bool remove_by_fingerprint(const Fingerprint& fp);
    bool save();
    // Records a session's open or end; writes only when due (see the .cpp).
    bool touch_last_seen(const std::string& client_id, const std::string& timestamp, uint64_t now_ms,
                         uint64_t min_interval_ms);
    // At host stop: writes when a last-seen time is newer than the file's.
    bool flush_last_seen();

    PairingsLoadStatus load_status() const;
    // The last write of the file failed: what is in memory (a removal, a
    // pairing) is lost at the next start unless a later save succeeds.
    bool last_save_failed() const;
    const std::string& path() const { return path_; }

    // The plaintext of pairings.dat, and its reading.
    static std::string serialize(const std::vector<PairingRecord>& records);
    static std::vector<PairingRecord> parse(std::string_view plain);
    static std::string escape(std::string_view text);
    static std::string unescape(std::string_view text);

private:
    struct Persisted {
        std::string text;  // last_seen_at known to be on disk
        uint64_t time_ms = 0;
        bool written = false;
    };

    bool save_locked();
    bool write_locked();
    void handle_unreadable(uint32_t error);
    PairingRecord* first_of(const std::string& client_id);

    platform::IDataProtector& protector_;
    platform::IClock& clock_;
    mutable std::mutex mutex_;
    std::string path_;
    std::vector<PairingRecord> records_;
    std::map<std::string, Persisted> persisted_;
    PairingsLoadStatus status_;
    bool last_save_failed_ = false;
};

inline constexpr const char* kPairingsDescription = "Sorvane pairings";

}  // namespace sorvane
