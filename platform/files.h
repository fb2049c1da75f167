// File port: whole-file reads with a size limit, whole-file atomic writes
// (temporary file in the same folder, then rename), folders, and the
// append-only stream the logs use. Paths are UTF-8.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane::platform {

enum class FileStatus {
    ok,
    not_found,  // the file (or a folder on its path) does not exist
    error,      // it exists but could not be read or written; see the error code
};

struct FileResult {
    FileStatus status = FileStatus::ok;
    int error_code = 0;  // the system's error number, 0 when none
    bool ok() const { return status == FileStatus::ok; }
};

// Who may read a file the system writes. owner_only: 0600 files and 0700 folders
// on Linux; the user's own ACL on Windows.
enum class FileAccess { normal, owner_only };

// Reads at most max_bytes of the file. truncated (when given) tells whether
// the file held more than that.
FileResult read_file(const std::string& path, size_t max_bytes, std::string& out,
                     bool* truncated = nullptr);

// Reads the last max_bytes of the file (all of it when it is shorter). cut
// (when given) tells whether bytes before them were left out.
FileResult read_file_tail(const std::string& path, size_t max_bytes, std::string& out, bool* cut = nullptr);

// The time the file was last written, in milliseconds since 1970-01-01 UTC.
FileResult file_write_time(const std::string& path, int64_t& wall_ms);

// Writes data to a temporary file beside path, flushes it to disk and renames
// it over path, so readers see the old or the new content, never a mix.
FileResult write_file_atomic(const std::string& path, std::string_view data,
                             FileAccess access = FileAccess::normal);

// Removes the temporary files that write_file_atomic(path, ...) left beside
// path when the process writing them was killed before its rename. Only
// names of that function's own making are touched, never those of the
// running process (whose writes may be under way). Returns how many went.
size_t remove_stale_temporaries(const std::string& path);

// Creates the folder and its missing parents. Succeeds when it already exists.
FileResult create_directories(const std::string& path, FileAccess access = FileAccess::normal);

// Creates one folder level; succeeds when it already exists.
FileResult create_directory(const std::string& path);

FileResult remove_file(const std::string& path);
// Renames from over to (replacing to when it exists).
FileResult rename_file(const std::string& from, const std::string& to);
// Moves from to to, failing when to already exists; the data is on disk
// before this returns.
FileResult move_file_no_replace(const std::string& from, const std::string& to);
// Size in bytes of a regular file.
FileResult file_size(const std::string& path, uint64_t& size);
bool file_exists(const std::string& path);
// Names (not paths) of the entries of a folder, sorted.
FileResult list_directory(const std::string& path, std::vector<std::string>& names);
// Removes a file or a folder with everything in it.
FileResult remove_tree(const std::string& path);

// Text describing a FileResult, for last-error texts ("not found", "error 13").
std::string describe(const FileResult& r);

// An append-only file that others may read while it is open. Every write is
// flushed before append() returns.
class AppendFile {
public:
    virtual ~AppendFile() = default;
    virtual bool append(std::string_view data) = 0;
};

// Opens (creating when missing) path for appending; null when it cannot.
std::unique_ptr<AppendFile> open_append(const std::string& path);

// A file written from start to end by one writer, which no one else may
// open for writing meanwhile.
class OutputFile {
public:
    virtual ~OutputFile() = default;
    // Writes all of data; false when any of it could not be written.
    virtual bool write(std::string_view data) = 0;
    // Flushes the data to disk and closes the file; false when that failed.
    // Further writes fail. Destroying an open file closes it without the flush.
    virtual bool close() = 0;
};

// Creates path (replacing an existing file) for writing; null, with the
// reason in result, when it cannot.
std::unique_ptr<OutputFile> create_output_file(const std::string& path, FileResult& result);

}  // namespace sorvane::platform
