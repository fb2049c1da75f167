// The report's ZIP archive, written front to back through one file: stored
// (uncompressed) entries with UTF-8 names and their CRC-32, no extra fields,
// no data descriptors, no ZIP64. Any ZIP reader opens it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"

namespace sorvane::hostreport {

class ReportZip {
public:
    // Largest entry and archive this writer produces (no ZIP64).
    static constexpr uint64_t kMaxSize = 0xFFFFFFFFull;
    static constexpr size_t kMaxEntries = 0xFFFF;

    explicit ReportZip(std::unique_ptr<platform::OutputFile> file);

    // Appends one entry; local is the local time the entry is dated with.
    // A failed or short write, a name that is empty or longer than 65,535
    // bytes, or an archive that would pass 4 GiB clears the success flag;
    // later calls then do nothing.
    void add(std::string_view name, std::string_view data, const platform::CivilTime& local);

    // Writes the central directory and the end record and closes the file.
    // Returns the success flag; a second call returns false.
    bool close();

    bool ok() const { return ok_; }
    size_t entries() const { return entries_.size(); }

private:
    struct Entry {
        std::string name;
        uint32_t crc = 0;
        uint32_t size = 0;
        uint32_t offset = 0;
        uint16_t time = 0;
        uint16_t date = 0;
    };
    void write(std::string_view bytes);

    std::unique_ptr<platform::OutputFile> file_;
    std::vector<Entry> entries_;
    uint64_t offset_ = 0;
    uint64_t directory_bytes_ = 0;  // central records of the entries so far
    bool ok_ = true;
    bool closed_ = false;
};

// MS-DOS time and date of a local time (two-second steps; years before 1980
// are written as 1980, after 2107 as 2107).
uint16_t dos_time(const platform::CivilTime& t);
uint16_t dos_date(const platform::CivilTime& t);

}  // namespace sorvane::hostreport
