#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"

#include "platform/linux/windows_errors.h"
#include "platform/paths.h"

namespace sorvane::platform {

namespace {

FileResult from_errno(int e) {
    FileResult r;
    r.status = (e == ENOENT || e == ENOTDIR) ? FileStatus::not_found : FileStatus::error;
    r.error_code = static_cast<int>(win32_error_from_errno(e));
    return r;
}

FileResult ok() { return {}; }

bool write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

std::atomic<unsigned> g_temp_counter{0};

// Makes a rename or link in the folder of path durable.
void sync_parent(const std::string& path) {
    std::string dir = parent_of(path);
    if (dir.empty()) dir = ".";
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

}  // namespace

FileResult read_file(const std::string& path, size_t max_bytes, std::string& out, bool* truncated) {
    out.clear();
    if (truncated != nullptr) *truncated = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return from_errno(errno);
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return from_errno(EISDIR);
    }
    char buf[16384];
    FileResult result;
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0) {
            if (errno == EINTR) continue;
            result = from_errno(errno);
            break;
        }
        if (got == 0) break;
        const size_t room = max_bytes - out.size();
        const size_t take = std::min(room, static_cast<size_t>(got));
        out.append(buf, take);
        if (take < static_cast<size_t>(got)) {
            if (truncated != nullptr) *truncated = true;
            break;
        }
        if (out.size() == max_bytes) {
            // Full: one more byte tells whether the file was longer.
            char extra = 0;
            ssize_t more = 0;
            do {
                more = ::read(fd, &extra, 1);
            } while (more < 0 && errno == EINTR);
            if (more > 0 && truncated != nullptr) *truncated = true;
            break;
        }
    }
    ::close(fd);
    return result;
}

FileResult read_file_tail(const std::string& path, size_t max_bytes, std::string& out, bool* cut) {
    out.clear();
    if (cut != nullptr) *cut = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return from_errno(errno);
    struct stat st{};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const int e = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        return from_errno(e);
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const uint64_t start = size > max_bytes ? size - max_bytes : 0;
    if (start > 0 && ::lseek(fd, static_cast<off_t>(start), SEEK_SET) < 0) {
        const int e = errno;
        ::close(fd);
        return from_errno(e);
    }
    if (cut != nullptr) *cut = start > 0;
    // The file may grow while it is read: take no more than max_bytes.
    char buf[16384];
    FileResult result;
    while (out.size() < max_bytes) {
        const ssize_t got = ::read(fd, buf, std::min(sizeof buf, max_bytes - out.size()));
        if (got < 0) {
            if (errno == EINTR) continue;
            result = from_errno(errno);
            break;
        }
        if (got == 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    ::close(fd);
    return result;
}

FileResult file_write_time(const std::string& path, int64_t& wall_ms) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return from_errno(errno);
    wall_ms = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1'000'000;
    return ok();
}

FileResult write_file_atomic(const std::string& path, std::string_view data, FileAccess access) {
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".tmp%d.%u", static_cast<int>(::getpid()),
                  g_temp_counter.fetch_add(1, std::memory_order_relaxed));
    const std::string temp = path + suffix;
    const mode_t mode = access == FileAccess::owner_only ? 0600 : 0644;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return from_errno(errno);
    if (access == FileAccess::owner_only && ::fchmod(fd, 0600) != 0) {
        const int e = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        return from_errno(e);
    }
    if (!write_all(fd, data.data(), data.size()) || ::fsync(fd) != 0) {
        const int e = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        return from_errno(e);
    }
    if (::close(fd) != 0) {
        const int e = errno;
        ::unlink(temp.c_str());
        return from_errno(e);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        ::unlink(temp.c_str());
        return from_errno(e);
    }
    sync_parent(path);
    return ok();
}

FileResult create_directory(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) == 0) return ok();
    const int e = errno;
    struct stat st{};
    if (e == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ok();
    return from_errno(e);
}

FileResult create_directories(const std::string& path, FileAccess access) {
    if (path.empty()) return from_errno(ENOENT);
    const mode_t mode = access == FileAccess::owner_only ? 0700 : 0755;
    size_t pos = 0;
    for (;;) {
        pos = path.find('/', pos + 1);
        const std::string part = path.substr(0, pos);
        if (!part.empty() && ::mkdir(part.c_str(), mode) != 0) {
            const int e = errno;
            struct stat st{};
            if (e != EEXIST || ::stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return from_errno(e);
        }
        if (pos == std::string::npos) break;
    }
    if (access == FileAccess::owner_only && ::chmod(path.c_str(), 0700) != 0) return from_errno(errno);
    return ok();
}

FileResult remove_file(const std::string& path) {
    if (::unlink(path.c_str()) != 0) return from_errno(errno);
    return ok();
}

FileResult rename_file(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return from_errno(errno);
    return ok();
}

FileResult move_file_no_replace(const std::string& from, const std::string& to) {
    // A hard link refuses an existing target; then the old name goes.
    if (::link(from.c_str(), to.c_str()) != 0) {
        const int e = errno;
        if (e != EPERM && e != EXDEV && e != ENOSYS) return from_errno(e);
        // The file system has no hard links: refuse an existing target by hand.
        struct stat st{};
        if (::lstat(to.c_str(), &st) == 0) return from_errno(EEXIST);
        if (::rename(from.c_str(), to.c_str()) != 0) return from_errno(errno);
        return ok();
    }
    if (::unlink(from.c_str()) != 0) {
        const int e = errno;
        ::unlink(to.c_str());
        return from_errno(e);
    }
    sync_parent(to);
    return ok();
}

FileResult file_size(const std::string& path, uint64_t& size) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return from_errno(errno);
    if (!S_ISREG(st.st_mode)) return from_errno(EISDIR);
    size = static_cast<uint64_t>(st.st_size);
    return ok();
}

bool file_exists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

FileResult list_directory(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    DIR* d = ::opendir(path.c_str());
    if (d == nullptr) return from_errno(errno);
    while (const dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return ok();
}

FileResult remove_tree(const std::string& path) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) return from_errno(errno);
    if (S_ISDIR(st.st_mode)) {
        std::vector<std::string> names;
        FileResult r = list_directory(path, names);
        if (!r.ok()) return r;
        for (const auto& n : names) {
            r = remove_tree(join_path(path, n));
            if (!r.ok()) return r;
        }
        if (::rmdir(path.c_str()) != 0) return from_errno(errno);
        return ok();
    }
    return remove_file(path);
}

std::string describe(const FileResult& r) {
    switch (r.status) {
        case FileStatus::ok:
            return "ok";
        case FileStatus::not_found:
            return "not found";
        case FileStatus::error:
            break;
    }
    return "error " + std::to_string(r.error_code) + " (" + windows_error_text(r.error_code) + ")";
}

namespace {

class LinuxAppendFile final : public AppendFile {
public:
    explicit LinuxAppendFile(int fd) : fd_(fd) {}
    ~LinuxAppendFile() override { ::close(fd_); }
    LinuxAppendFile(const LinuxAppendFile&) = delete;
    LinuxAppendFile& operator=(const LinuxAppendFile&) = delete;

    bool append(std::string_view data) override { return write_all(fd_, data.data(), data.size()); }

private:
    int fd_;
};

class LinuxOutputFile final : public OutputFile {
public:
    explicit LinuxOutputFile(int fd) : fd_(fd) {}
    ~LinuxOutputFile() override {
        if (fd_ >= 0) ::close(fd_);
    }
    LinuxOutputFile(const LinuxOutputFile&) = delete;
    LinuxOutputFile& operator=(const LinuxOutputFile&) = delete;

    bool write(std::string_view data) override { return fd_ >= 0 && write_all(fd_, data.data(), data.size()); }

    bool close() override {
        if (fd_ < 0) return false;
        const bool synced = ::fsync(fd_) == 0;
        const bool closed = ::close(fd_) == 0;
        fd_ = -1;
        return synced && closed;
    }

private:
    int fd_;
};

}  // namespace

std::unique_ptr<AppendFile> open_append(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    return std::make_unique<LinuxAppendFile>(fd);
}

std::unique_ptr<OutputFile> create_output_file(const std::string& path, FileResult& result) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        result = from_errno(errno);
        return nullptr;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        result = from_errno(EISDIR);
        return nullptr;
    }
    result = ok();
    return std::make_unique<LinuxOutputFile>(fd);
}

}  // namespace sorvane::platform
