#include "host/trust/trust_status.h"

#include "host/core/settings.h"
#include "platform/clock.h"

namespace sorvane {

void TrustStatus::note_tls_renewed(uint32_t error) {
    std::lock_guard<std::mutex> lock(mutex_);
    record_.tls_renewed = true;
    record_.tls_error = error;
}

void TrustStatus::note_pairings_unreadable(const std::string& backup_name, uint32_t error) {
    std::lock_guard<std::mutex> lock(mutex_);
    record_.pairings_unreadable = true;
    record_.backup_name = backup_name;
    record_.pairings_error = error;
}

TrustStatusRecord TrustStatus::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_;
}

std::vector<std::pair<std::string, std::string>> trust_notes(const TrustStatusRecord& record, int64_t wall_ms) {
    std::vector<std::pair<std::string, std::string>> out;
    const std::string stamp = platform::utc_stamp(platform::utc_civil(wall_ms));
    if (record.pairings_unreadable) {
        out.emplace_back(kSettingLastPairingsUnreadable,
                         stamp + " | " + (record.backup_name.empty() ? std::string("saklanamadi") : record.backup_name) +
                             " | DPAPI hata " + std::to_string(record.pairings_error));
    }
    if (record.tls_renewed) {
        out.emplace_back(kSettingLastTlsIdentityRenewed,
                         stamp + " | ozel anahtar hatasi " + std::to_string(record.tls_error));
    }
    return out;
}

void store_trust_notes(const TrustStatusRecord& record, int64_t wall_ms) {
    for (const auto& [key, value] : trust_notes(record, wall_ms)) settings_set(key, value);
}

}  // namespace sorvane
