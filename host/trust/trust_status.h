// Trust events of this run (identity renewed, pairings file unreadable), kept
// for start-up and the panel. Set once when they happen, never cleared.
// Start-up owns the one record of the process and hands it to whoever notes
// events in it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace sorvane {

struct TrustStatusRecord {
    bool pairings_unreadable = false;
    std::string backup_name;  // file name (no folder) the unreadable file was kept under; empty when not kept
    uint32_t pairings_error = 0;
    bool tls_renewed = false;  // the identity was made anew because the old key was unusable
    uint32_t tls_error = 0;    // the system error observed then
};

class TrustStatus {
public:
    void note_tls_renewed(uint32_t error);
    void note_pairings_unreadable(const std::string& backup_name, uint32_t error);
    TrustStatusRecord snapshot() const;

private:
    mutable std::mutex mutex_;
    TrustStatusRecord record_;
};

// The settings notes of a record at a wall time: "last_pairings_unreadable"
// ("<UTC stamp> | <backup name or saklanamadi> | DPAPI hata <code>") and
// "last_tls_identity_renewed" ("<UTC stamp> | ozel anahtar hatasi <code>"),
// each present only when its event happened.
std::vector<std::pair<std::string, std::string>> trust_notes(const TrustStatusRecord& record, int64_t wall_ms);
// Stores those notes in settings.txt.
void store_trust_notes(const TrustStatusRecord& record, int64_t wall_ms);

}  // namespace sorvane
