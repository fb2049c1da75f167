#include "host/trust/trust_status.h"

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

}  // namespace sorvane
