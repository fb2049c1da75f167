#include "host/trust/pairing_store.h"

#include <cstdio>

#include "common/text.h"
#include "host/core/log.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace sorvane {

namespace {

// pairings.dat is a handful of short lines; anything far larger is not ours.
constexpr size_t kMaxFileBytes = 64u * 1024 * 1024;

bool upper_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }
int hex_value(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

std::string ascii_file_name(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // One "?" per character that is not ASCII.
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if ((c & 0xC0) != 0x80) {
            out.push_back('?');
        }
    }
    return scrub_control(out);
}

}  // namespace

PairingStore::PairingStore(platform::IDataProtector& protector, platform::IClock& clock)
    : protector_(protector), clock_(clock) {}

std::string PairingStore::escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '%':
                out += "%25";
                break;
            case '|':
                out += "%7C";
                break;
            case '\n':
                out += "%0A";
                break;
            case '\r':
                out += "%0D";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string PairingStore::unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && upper_hex(text[i + 1]) && upper_hex(text[i + 2])) {
            out.push_back(static_cast<char>(hex_value(text[i + 1]) << 4 | hex_value(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string PairingStore::serialize(const std::vector<PairingRecord>& records) {
    std::string out;
    for (const PairingRecord& r : records) {
        out += escape(r.client_id);
        out += '|';
        out += to_hex(r.fingerprint.data(), r.fingerprint.size());
        out += '|';
        out += escape(r.name);
        out += '|';
        out += escape(r.paired_at);
        out += '|';
        out += escape(r.last_seen_at);
        out += '\n';
    }
    return out;
}

std::vector<PairingRecord> PairingStore::parse(std::string_view plain) {
    std::vector<PairingRecord> records;
    size_t start = 0;
    while (start < plain.size()) {
        size_t end = plain.find('\n', start);
        if (end == std::string_view::npos) end = plain.size();
        const std::string_view line = plain.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        std::vector<std::string_view> fields;
        size_t f = 0;
        for (;;) {
            const size_t bar = line.find('|', f);
            fields.push_back(line.substr(f, bar == std::string_view::npos ? std::string_view::npos : bar - f));
            if (bar == std::string_view::npos) break;
            f = bar + 1;
        }
        if (fields.size() != 5) continue;
        PairingRecord r;
        r.client_id = unescape(fields[0]);
        if (!from_hex(fields[1], r.fingerprint.data(), r.fingerprint.size())) r.fingerprint.fill(0);
        r.name = unescape(fields[2]);
        r.paired_at = unescape(fields[3]);
        r.last_seen_at = unescape(fields[4]);
        records.push_back(std::move(r));
    }
    return records;
}

void PairingStore::load(const std::string& path) {
    std::lock_guard<std::mutex> g(mutex_);
    path_ = path;
    records_.clear();
    persisted_.clear();
    status_ = {};

    // A save cut short by a kill leaves its temporary file; the next load
    // clears them, so they never pile up.
    platform::remove_stale_temporaries(path);

    std::string blob;
    const platform::FileResult r = platform::read_file(path, kMaxFileBytes, blob);
    if (r.status == platform::FileStatus::not_found) return;
    if (!r.ok()) {
        // It is there but we cannot read it: never overwrite what we could not read.
        status_.write_blocked = true;
        log("[pairing] pairings.dat okunamadi (hata %d): bos kayitla baslaniyor, bu calismada pairings.dat'a "
            "yazilmayacak",
            r.error_code);
        return;
    }
    std::string plain;
    uint32_t error = 0;
    if (!protector_.unprotect(blob, plain, error)) {
        handle_unreadable(error);
        return;
    }
    records_ = parse(plain);
}

void PairingStore::handle_unreadable(uint32_t error) {
    const platform::CivilTime t = clock_.local_time(clock_.wall_ms());
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".unreadable-%04u%02u%02u-%02u%02u%02u", static_cast<unsigned>(t.year),
                  static_cast<unsigned>(t.month), static_cast<unsigned>(t.day), static_cast<unsigned>(t.hour),
                  static_cast<unsigned>(t.minute), static_cast<unsigned>(t.second));
    const std::string backup = path_ + suffix;
    const platform::FileResult moved = platform::move_file_no_replace(path_, backup);
    status_.unreadable = true;
    status_.error_code = error;
    if (moved.ok()) {
        status_.backup_name = ascii_file_name(backup);
        log("[pairing] pairings.dat cozulemedi (DPAPI hata %u): dosya %s olarak saklandi, bos kayitla baslaniyor; "
            "telefonlari QR ile yeniden eslestirmek gerekebilir (Windows kullanici parolasi sifirlanmis olabilir)",
            static_cast<unsigned>(error), status_.backup_name.c_str());
    } else {
        log("[pairing] pairings.dat cozulemedi (DPAPI hata %u) ve saklanamadi (MoveFileEx hata %u): bu calismada "
            "pairings.dat'a yazilmayacak",
            static_cast<unsigned>(error), static_cast<unsigned>(moved.error_code));
        status_.write_blocked = true;
        status_.backup_name.clear();
    }
}

std::optional<PairingRecord> PairingStore::find_by_fingerprint(const Fingerprint& fp) const {
    std::lock_guard<std::mutex> g(mutex_);
    for (const PairingRecord& r : records_) {
        if (r.fingerprint == fp) return r;
    }
    return std::nullopt;
}

std::vector<PairingRecord> PairingStore::list() const {
    std::lock_guard<std::mutex> g(mutex_);
    return records_;
}

size_t PairingStore::size() const {
    std::lock_guard<std::mutex> g(mutex_);
    return records_.size();
}

void PairingStore::upsert(const PairingRecord& record) {
    std::lock_guard<std::mutex> g(mutex_);
    persisted_.erase(record.client_id);
    for (PairingRecord& r : records_) {
        if (r.fingerprint == record.fingerprint) {
            r = record;
            return;
        }
    }
    records_.push_back(record);
}

bool PairingStore::remove_by_client_id(const std::string& client_id) {
    std::lock_guard<std::mutex> g(mutex_);
    persisted_.erase(client_id);
    const size_t before = records_.size();
    std::erase_if(records_, [&](const PairingRecord& r) { return r.client_id == client_id; });
    return records_.size() != before;
}

bool PairingStore::remove_by_fingerprint(const Fingerprint& fp) {
    std::lock_guard<std::mutex> g(mutex_);
    const size_t before = records_.size();
    std::erase_if(records_, [&](const PairingRecord& r) { return r.fingerprint == fp; });
    return records_.size() != before;
}

bool PairingStore::save() {
    std::lock_guard<std::mutex> g(mutex_);
    return save_locked();
}

bool PairingStore::save_locked() {
    last_save_failed_ = !write_locked();
    return !last_save_failed_;
}

bool PairingStore::write_locked() {
    if (status_.write_blocked) {
        log("[pairing] pairings.dat yazilmadi: okunamayan eski dosya korunuyor");
        return false;
    }
    const std::string dir = platform::parent_of(path_);
    if (!dir.empty()) platform::create_directories(dir);
    std::string blob;
    uint32_t error = 0;
    if (!protector_.protect(serialize(records_), kPairingsDescription, blob, error)) {
        log("[pairing] pairings.dat sifrelenemedi (DPAPI): %u", static_cast<unsigned>(error));
        return false;
    }
    // Temporary file and rename: a crash mid-write leaves the old file whole.
    return platform::write_file_atomic(path_, blob).ok();
}

PairingRecord* PairingStore::first_of(const std::string& client_id) {
    for (PairingRecord& r : records_) {
        if (r.client_id == client_id) return &r;
    }
    return nullptr;
}

bool PairingStore::touch_last_seen(const std::string& client_id, const std::string& timestamp, uint64_t now_ms,
                                   uint64_t min_interval_ms) {
    std::lock_guard<std::mutex> g(mutex_);
    PairingRecord* record = first_of(client_id);
    if (record == nullptr || timestamp.empty()) return false;
    Persisted& entry = persisted_[client_id];
    if (!entry.written && entry.text.empty()) entry.text = record->last_seen_at;
    record->last_seen_at = timestamp;
    const bool new_day = timestamp.substr(0, 10) != entry.text.substr(0, 10);
    const bool due = new_day || !entry.written || now_ms - entry.time_ms >= min_interval_ms;
    if (!due || !save_locked()) return false;
    for (auto& [id, p] : persisted_) {
        if (const PairingRecord* r = first_of(id)) p.text = r->last_seen_at;
    }
    entry.time_ms = now_ms;
    entry.written = true;
    return true;
}

bool PairingStore::flush_last_seen() {
    std::lock_guard<std::mutex> g(mutex_);
    bool dirty = false;
    for (const auto& [id, p] : persisted_) {
        const PairingRecord* r = first_of(id);
        if (r != nullptr && r->last_seen_at != p.text) dirty = true;
    }
    if (!dirty || !save_locked()) return false;
    for (auto& [id, p] : persisted_) {
        if (const PairingRecord* r = first_of(id)) p.text = r->last_seen_at;
    }
    return true;
}

bool PairingStore::last_save_failed() const {
    std::lock_guard<std::mutex> g(mutex_);
    return last_save_failed_;
}

PairingsLoadStatus PairingStore::load_status() const {
    std::lock_guard<std::mutex> g(mutex_);
    return status_;
}

}  // namespace sorvane
