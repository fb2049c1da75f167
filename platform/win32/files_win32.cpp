// Files through the wide Win32 file functions. Error codes are Win32 error
// numbers. Owner-only files and folders get a protected ACL granting full
// access to the current user (and the system account) alone.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/win32/file_time.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

FileResult from_error(DWORD e) {
    FileResult r;
    r.status = (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME ||
                e == ERROR_BAD_NETPATH)
                   ? FileStatus::not_found
                   : FileStatus::error;
    r.error_code = static_cast<int>(e);
    return r;
}

FileResult last_error() { return from_error(GetLastError()); }

FileResult ok() { return {}; }

class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() { close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE get() const { return h_; }
    bool close() {
        if (!valid()) return true;
        const bool closed = CloseHandle(h_) != 0;
        h_ = INVALID_HANDLE_VALUE;
        return closed;
    }
    void reset(HANDLE h) {
        close();
        h_ = h;
    }

private:
    HANDLE h_;
};

bool write_all(HANDLE h, const char* p, size_t n) {
    while (n > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(n, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(h, p, chunk, &written, nullptr)) return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        p += written;
        n -= written;
    }
    return true;
}

// A protected DACL granting full control to the current user and SYSTEM,
// inherited by what is created inside a folder that carries it.
class OwnerOnlySecurity {
public:
    OwnerOnlySecurity() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::string buf(size, '\0');
        wchar_t* sid_text = nullptr;
        if (size > 0 && GetTokenInformation(token, TokenUser, buf.data(), size, &size)) {
            TOKEN_USER user;
            std::memcpy(&user, buf.data(), sizeof user);
            ConvertSidToStringSidW(user.User.Sid, &sid_text);
        }
        CloseHandle(token);
        if (sid_text == nullptr) return;
        const std::wstring sddl = std::wstring(L"D:P(A;OICI;FA;;;") + sid_text + L")(A;OICI;FA;;;SY)";
        LocalFree(sid_text);
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_,
                                                                  nullptr)) {
            descriptor_ = nullptr;
        }
    }
    ~OwnerOnlySecurity() {
        if (descriptor_ != nullptr) LocalFree(descriptor_);
    }
    OwnerOnlySecurity(const OwnerOnlySecurity&) = delete;
    OwnerOnlySecurity& operator=(const OwnerOnlySecurity&) = delete;

    bool valid() const { return descriptor_ != nullptr; }
    SECURITY_ATTRIBUTES* attributes() {
        sa_.nLength = sizeof sa_;
        sa_.lpSecurityDescriptor = descriptor_;
        sa_.bInheritHandle = FALSE;
        return &sa_;
    }
    // Replaces the DACL of an existing file or folder.
    DWORD apply(const std::wstring& path) const {
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        if (!GetSecurityDescriptorDacl(descriptor_, &present, &dacl, &defaulted)) return GetLastError();
        return SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                     DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                     nullptr, dacl, nullptr);
    }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES sa_{};
};

std::atomic<unsigned> g_temp_counter{0};

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool attributes_of(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA& data) {
    return GetFileAttributesExW(win32::widen(path).c_str(), GetFileExInfoStandard, &data) != 0;
}

bool is_directory(const std::string& path) {
    const DWORD a = GetFileAttributesW(win32::widen(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Opens path for reading, letting others read, write and delete it meanwhile.
FileResult open_for_reading(const std::string& path, Handle& h) {
    h.reset(CreateFileW(win32::widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.valid()) return ok();
    const DWORD e = GetLastError();
    // A folder opens only with backup semantics; name it as such.
    if (e == ERROR_ACCESS_DENIED && is_directory(path)) return from_error(ERROR_DIRECTORY);
    return from_error(e);
}

}  // namespace

FileResult read_file(const std::string& path, size_t max_bytes, std::string& out, bool* truncated) {
    out.clear();
    if (truncated != nullptr) *truncated = false;
    Handle h(INVALID_HANDLE_VALUE);
    if (FileResult r = open_for_reading(path, h); !r.ok()) return r;
    char buf[16384];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h.get(), buf, sizeof buf, &got, nullptr)) return last_error();
        if (got == 0) break;
        const size_t room = max_bytes - out.size();
        const size_t take = std::min(room, static_cast<size_t>(got));
        out.append(buf, take);
        if (take < got) {
            if (truncated != nullptr) *truncated = true;
            break;
        }
        if (out.size() == max_bytes) {
            char extra = 0;
            DWORD more = 0;
            if (ReadFile(h.get(), &extra, 1, &more, nullptr) && more > 0 && truncated != nullptr) *truncated = true;
            break;
        }
    }
    return ok();
}

FileResult read_file_tail(const std::string& path, size_t max_bytes, std::string& out, bool* cut) {
    out.clear();
    if (cut != nullptr) *cut = false;
    Handle h(INVALID_HANDLE_VALUE);
    if (FileResult r = open_for_reading(path, h); !r.ok()) return r;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h.get(), &size)) return last_error();
    const uint64_t total = static_cast<uint64_t>(size.QuadPart);
    const uint64_t start = total > max_bytes ? total - max_bytes : 0;
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(start);
    if (start > 0 && !SetFilePointerEx(h.get(), at, nullptr, FILE_BEGIN)) return last_error();
    if (cut != nullptr) *cut = start > 0;
    char buf[16384];
    while (out.size() < max_bytes) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min(sizeof buf, max_bytes - out.size()));
        if (!ReadFile(h.get(), buf, want, &got, nullptr)) return last_error();
        if (got == 0) break;
        out.append(buf, got);
    }
    return ok();
}

FileResult file_write_time(const std::string& path, int64_t& wall_ms) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!attributes_of(path, data)) return last_error();
    wall_ms = win32::unix_ms_of(data.ftLastWriteTime);
    return ok();
}

FileResult write_file_atomic(const std::string& path, std::string_view data, FileAccess access) {
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".tmp%lu.%u", static_cast<unsigned long>(GetCurrentProcessId()),
                  g_temp_counter.fetch_add(1, std::memory_order_relaxed));
    const std::wstring target = win32::widen(path);
    const std::wstring temp = win32::widen(path + suffix);
    std::optional<OwnerOnlySecurity> security;
    if (access == FileAccess::owner_only) {
        security.emplace();
        if (!security->valid()) return last_error();
    }
    Handle h(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, security ? security->attributes() : nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid()) return last_error();
    if (!write_all(h.get(), data.data(), data.size()) || !FlushFileBuffers(h.get())) {
        const DWORD e = GetLastError();
        h.close();
        DeleteFileW(temp.c_str());
        return from_error(e);
    }
    if (!h.close()) {
        const DWORD e = GetLastError();
        DeleteFileW(temp.c_str());
        return from_error(e);
    }
    if (MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return ok();
    DWORD e = GetLastError();
    // A target that is open elsewhere or carries attributes the rename refuses
    // to overwrite can still have its content swapped in; ReplaceFileW keeps
    // the target's identity and security, which an owner-only file already has.
    if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION) {
        if (ReplaceFileW(target.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
            return ok();
        e = GetLastError();
    }
    DeleteFileW(temp.c_str());
    return from_error(e);
}

FileResult create_directory(const std::string& path) {
    const std::wstring w = win32::widen(path);
    if (CreateDirectoryW(w.c_str(), nullptr)) return ok();
    const DWORD e = GetLastError();
    if (e == ERROR_ALREADY_EXISTS && is_directory(path)) return ok();
    return from_error(e);
}

FileResult create_directories(const std::string& path, FileAccess access) {
    if (path.empty()) return from_error(ERROR_PATH_NOT_FOUND);
    std::optional<OwnerOnlySecurity> security;
    if (access == FileAccess::owner_only) {
        security.emplace();
        if (!security->valid()) return last_error();
    }
    // Skip the root: "C:\", "\\server\share\" or a leading separator.
    size_t start = 0;
    if (path.size() >= 2 && path[1] == ':') {
        start = 2;
    } else if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        start = path.find_first_of("/\\", 2);
        if (start != std::string::npos) start = path.find_first_of("/\\", start + 1);
        if (start == std::string::npos) return ok();
    }
    size_t pos = start;
    for (;;) {
        pos = path.find_first_of("/\\", pos + 1);
        const std::string part = path.substr(0, pos);
        if (part.size() > start && !is_separator(part.back())) {
            const bool last = pos == std::string::npos || pos + 1 == path.size();
            SECURITY_ATTRIBUTES* sa = last && security ? security->attributes() : nullptr;
            if (!CreateDirectoryW(win32::widen(part).c_str(), sa)) {
                const DWORD e = GetLastError();
                if (e != ERROR_ALREADY_EXISTS || !is_directory(part)) return from_error(e);
            }
        }
        if (pos == std::string::npos) break;
    }
    if (security) {
        const DWORD e = security->apply(win32::widen(path));
        if (e != ERROR_SUCCESS) return from_error(e);
    }
    return ok();
}

FileResult remove_file(const std::string& path) {
    if (!DeleteFileW(win32::widen(path).c_str())) return last_error();
    return ok();
}

FileResult rename_file(const std::string& from, const std::string& to) {
    if (!MoveFileExW(win32::widen(from).c_str(), win32::widen(to).c_str(), MOVEFILE_REPLACE_EXISTING))
        return last_error();
    return ok();
}

FileResult move_file_no_replace(const std::string& from, const std::string& to) {
    // Without MOVEFILE_REPLACE_EXISTING an existing target is refused.
    if (!MoveFileExW(win32::widen(from).c_str(), win32::widen(to).c_str(), MOVEFILE_WRITE_THROUGH))
        return last_error();
    return ok();
}

FileResult file_size(const std::string& path, uint64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!attributes_of(path, data)) return last_error();
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return from_error(ERROR_DIRECTORY);
    size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return ok();
}

bool file_exists(const std::string& path) {
    return GetFileAttributesW(win32::widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

FileResult list_directory(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    WIN32_FIND_DATAW found{};
    HANDLE h = FindFirstFileW(win32::widen(join_path(path, "*")).c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return last_error();
    do {
        const std::wstring_view name(found.cFileName);
        if (name == L"." || name == L"..") continue;
        names.push_back(win32::narrow(name));
    } while (FindNextFileW(h, &found));
    const DWORD e = GetLastError();
    FindClose(h);
    if (e != ERROR_NO_MORE_FILES) return from_error(e);
    std::sort(names.begin(), names.end());
    return ok();
}

FileResult remove_tree(const std::string& path) {
    const std::wstring w = win32::widen(path);
    const DWORD a = GetFileAttributesW(w.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return last_error();
    // A junction or link is removed itself, never followed.
    if ((a & FILE_ATTRIBUTE_DIRECTORY) != 0 && (a & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        std::vector<std::string> names;
        FileResult r = list_directory(path, names);
        if (!r.ok()) return r;
        for (const auto& n : names) {
            r = remove_tree(join_path(path, n));
            if (!r.ok()) return r;
        }
    }
    if ((a & FILE_ATTRIBUTE_READONLY) != 0) SetFileAttributesW(w.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
    const BOOL removed = (a & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryW(w.c_str()) : DeleteFileW(w.c_str());
    if (!removed) return last_error();
    return ok();
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
    return "error " + std::to_string(r.error_code) + " (" + win32::error_text(static_cast<uint32_t>(r.error_code)) +
           ")";
}

namespace {

class Win32AppendFile final : public AppendFile {
public:
    explicit Win32AppendFile(HANDLE h) : h_(h) {}
    ~Win32AppendFile() override { CloseHandle(h_); }
    Win32AppendFile(const Win32AppendFile&) = delete;
    Win32AppendFile& operator=(const Win32AppendFile&) = delete;

    bool append(std::string_view data) override { return write_all(h_, data.data(), data.size()); }

private:
    HANDLE h_;
};

class Win32OutputFile final : public OutputFile {
public:
    explicit Win32OutputFile(HANDLE h) : h_(h) {}
    ~Win32OutputFile() override { h_.close(); }
    Win32OutputFile(const Win32OutputFile&) = delete;
    Win32OutputFile& operator=(const Win32OutputFile&) = delete;

    bool write(std::string_view data) override { return h_.valid() && write_all(h_.get(), data.data(), data.size()); }

    bool close() override {
        if (!h_.valid()) return false;
        const bool flushed = FlushFileBuffers(h_.get()) != 0;
        return h_.close() && flushed;
    }

private:
    Handle h_;
};

}  // namespace

std::unique_ptr<OutputFile> create_output_file(const std::string& path, FileResult& result) {
    // No sharing: nobody reads a half-written file or writes into it.
    HANDLE h = CreateFileW(win32::widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        result = last_error();
        return nullptr;
    }
    result = ok();
    return std::make_unique<Win32OutputFile>(h);
}

std::unique_ptr<AppendFile> open_append(const std::string& path) {
    // FILE_APPEND_DATA alone: every write lands at the end, also with other writers.
    HANDLE h = CreateFileW(win32::widen(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32AppendFile>(h);
}

}  // namespace sorvane::platform
