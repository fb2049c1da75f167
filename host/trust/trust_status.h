// Trust events of this run (identity renewed, pairings file unreadable), kept
// for start-up and the panel. Set once when they happen, never cleared.
// Start-up owns the one record of the process and hands it to whoever notes
// events in it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

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

}  // namespace sorvane
