#include "host/report/report_zip.h"

#include <algorithm>

#include "common/crc32.h"

namespace sorvane::hostreport {

namespace {

constexpr uint32_t kLocalHeader = 0x04034B50;
constexpr uint32_t kCentralHeader = 0x02014B50;
constexpr uint32_t kEndRecord = 0x06054B50;
constexpr uint16_t kVersion = 20;        // 2.0: stored entries and folders
constexpr uint16_t kFlagUtf8 = 0x0800;   // names are UTF-8
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kEndRecordSize = 22;

void put16(std::string& out, uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

void put32(std::string& out, uint32_t v) {
    for (int s = 0; s < 32; s += 8) out += static_cast<char>((v >> s) & 0xFF);
}

}  // namespace

uint16_t dos_time(const platform::CivilTime& t) {
    return static_cast<uint16_t>(std::min(t.hour, 23u) << 11 | std::min(t.minute, 59u) << 5 | std::min(t.second, 59u) / 2);
}

uint16_t dos_date(const platform::CivilTime& t) {
    const uint32_t year = std::clamp(t.year, 1980u, 2107u);
    return static_cast<uint16_t>((year - 1980) << 9 | std::clamp(t.month, 1u, 12u) << 5 | std::clamp(t.day, 1u, 31u));
}

ReportZip::ReportZip(std::unique_ptr<platform::OutputFile> file) : file_(std::move(file)) { ok_ = file_ != nullptr; }

void ReportZip::write(std::string_view bytes) {
    if (!ok_) return;
    if (!file_->write(bytes)) {
        ok_ = false;
        return;
    }
    offset_ += bytes.size();
}

void ReportZip::add(std::string_view name, std::string_view data, const platform::CivilTime& local) {
    if (!ok_ || closed_) return;
    // The entry, its central record and the end record must all fit below 4 GiB.
    const uint64_t end = offset_ + kLocalHeaderSize + name.size() + data.size();
    const uint64_t directory = directory_bytes_ + kCentralHeaderSize + name.size() + kEndRecordSize;
    if (name.empty() || name.size() > 0xFFFF || entries_.size() >= kMaxEntries || end + directory > kMaxSize) {
        ok_ = false;
        return;
    }
    Entry e;
    e.name = std::string(name);
    e.crc = crc32(data.data(), data.size());
    e.size = static_cast<uint32_t>(data.size());
    e.offset = static_cast<uint32_t>(offset_);
    e.time = dos_time(local);
    e.date = dos_date(local);

    std::string header;
    put32(header, kLocalHeader);
    put16(header, kVersion);
    put16(header, kFlagUtf8);
    put16(header, 0);  // stored
    put16(header, e.time);
    put16(header, e.date);
    put32(header, e.crc);
    put32(header, e.size);  // compressed
    put32(header, e.size);  // uncompressed
    put16(header, static_cast<uint16_t>(e.name.size()));
    put16(header, 0);  // extra field
    header += e.name;
    write(header);
    write(data);
    if (!ok_) return;
    directory_bytes_ += kCentralHeaderSize + e.name.size();
    entries_.push_back(std::move(e));
}

bool ReportZip::close() {
    if (closed_) return false;
    closed_ = true;
    if (!ok_) {
        if (file_) file_->close();
        return false;
    }
    const uint64_t directory_offset = offset_;
    std::string directory;
    for (const Entry& e : entries_) {
        put32(directory, kCentralHeader);
        put16(directory, kVersion);  // made by
        put16(directory, kVersion);  // needed
        put16(directory, kFlagUtf8);
        put16(directory, 0);  // stored
        put16(directory, e.time);
        put16(directory, e.date);
        put32(directory, e.crc);
        put32(directory, e.size);
        put32(directory, e.size);
        put16(directory, static_cast<uint16_t>(e.name.size()));
        put16(directory, 0);  // extra field
        put16(directory, 0);  // comment
        put16(directory, 0);  // disk number start
        put16(directory, 0);  // internal attributes
        put32(directory, 0);  // external attributes
        put32(directory, e.offset);
        directory += e.name;
    }
    const auto directory_size = static_cast<uint32_t>(directory.size());
    put32(directory, kEndRecord);
    put16(directory, 0);  // this disk
    put16(directory, 0);  // disk of the central directory
    put16(directory, static_cast<uint16_t>(entries_.size()));
    put16(directory, static_cast<uint16_t>(entries_.size()));
    put32(directory, directory_size);
    put32(directory, static_cast<uint32_t>(directory_offset));
    put16(directory, 0);  // comment
    write(directory);
    const bool closed = file_->close();
    ok_ = ok_ && closed;
    return ok_;
}

}  // namespace sorvane::hostreport
