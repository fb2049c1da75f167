#include "host/core/crash.h"

#include <cstring>
#include <exception>

#include "platform/clock.h"
#include "platform/crash.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace sorvane {

namespace {

// Everything the crash path reads, prepared before any crash.
struct CrashState {
    char folder[1024] = {};
    int log = -1;
    uint64_t base_us = 0;
    char separator = '/';
};
CrashState g_state;

// A line built in a fixed buffer (no heap, no locale, no stdio).
class Text {
public:
    void add(const char* s) {
        while (*s && n_ + 1 < sizeof buf_) buf_[n_++] = *s++;
        buf_[n_] = 0;
    }
    void add_char(char c) {
        if (n_ + 1 < sizeof buf_) buf_[n_++] = c;
        buf_[n_] = 0;
    }
    void add_dec(uint64_t v, unsigned width = 0, char pad = ' ') {
        char tmp[24];
        unsigned k = 0;
        do {
            tmp[k++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        for (unsigned i = k; i < width; ++i) add_char(pad);
        while (k > 0) add_char(tmp[--k]);
    }
    void add_hex(uint64_t v, unsigned digits) {
        static const char kDigits[] = "0123456789ABCDEF";
        for (unsigned i = digits; i-- > 0;) add_char(kDigits[(v >> (i * 4)) & 0xF]);
    }
    const char* c_str() const { return buf_; }
    size_t size() const { return n_; }

private:
    char buf_[1536] = {};
    size_t n_ = 0;
};

// "[+%4u.%03u] <message>\n" to the log and to standard error.
void crash_log(const Text& message) {
    uint64_t now = platform::crash_monotonic_us();
    uint64_t ms = (now >= g_state.base_us ? now - g_state.base_us + 500 : 0) / 1000;
    Text line;
    line.add("[+");
    line.add_dec(ms / 1000, 4);
    line.add_char('.');
    line.add_dec(ms % 1000, 3, '0');
    line.add("] ");
    line.add(message.c_str());
    line.add_char('\n');
    if (g_state.log >= 0) platform::crash_write(g_state.log, line.c_str(), line.size());
    platform::crash_write(platform::crash_stderr_handle(), line.c_str(), line.size());
}

void build_file_name(Text& t, int64_t wall_ms, uint32_t pid) {
    platform::CivilTime c = platform::utc_civil(wall_ms);
    t.add("sorvane-host-");
    t.add_dec(c.year, 4, '0');
    t.add_dec(c.month, 2, '0');
    t.add_dec(c.day, 2, '0');
    t.add_char('-');
    t.add_dec(c.hour, 2, '0');
    t.add_dec(c.minute, 2, '0');
    t.add_dec(c.second, 2, '0');
    t.add_char('-');
    t.add_dec(pid);
    t.add(".dmp");
}

void on_fault(uint32_t code, uintptr_t address) {
    Text line;
    if (code == kCrashCodeInvalidParameter) {
        // The run-time library passes no texts in a release build.
        line.add("[crash] CRT gecersiz parametre: ? (?, ?:0)");
    } else {
        line.add("[crash] yakalanmamis SEH istisnasi: kod=0x");
        line.add_hex(code, 8);
        line.add(" adres=");
        line.add_hex(address, 16);
    }
    crash_log(line);
    write_crash_record(code, address);
}

[[noreturn]] void on_terminate() {
    Text line;
    line.add("[crash] std::terminate() cagirildi (ornegin: hala joinable bir std::thread'e yeni thread atanmasi -- "
             "bkz. docs/decisions.md K26)");
    crash_log(line);
    write_crash_record(kCrashCodeTerminate, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
    platform::crash_abort_process();
}

}  // namespace

std::string default_crash_folder() {
    auto paths = platform::make_system_paths();
    std::string base;
    if (!paths->local_app_data(base)) return {};
    return platform::join_path(platform::join_path(base, "Sorvane"), "crash");
}

bool install_crash_handlers(const std::string& crash_folder) {
    if (g_state.base_us == 0) g_state.base_us = platform::crash_monotonic_us();
    g_state.separator = platform::path_separator();
    bool ok = crash_folder.size() < sizeof g_state.folder;
    std::memset(g_state.folder, 0, sizeof g_state.folder);
    if (ok) std::memcpy(g_state.folder, crash_folder.data(), crash_folder.size());
    std::set_terminate(on_terminate);
    return platform::install_fault_handlers(on_fault) && ok;
}

bool set_crash_log_file(const std::string& path) {
    int fd = platform::crash_open_append(path.c_str());
    int old = g_state.log;
    g_state.log = fd;
    platform::crash_close(old);
    return fd >= 0;
}

std::string crash_file_name(int64_t wall_ms, uint32_t pid) {
    Text t;
    build_file_name(t, wall_ms, pid);
    return t.c_str();
}

namespace {

// Creates the crash folder and every missing folder above it, one level at a
// time (a level that cannot be made shows when the file is created).
void make_crash_folder() {
    char prefix[sizeof g_state.folder];
    for (size_t i = 1; i < sizeof g_state.folder && g_state.folder[i - 1] != 0; ++i) {
        const char c = g_state.folder[i];
        if (c != 0 && c != '/' && c != '\\') continue;
        std::memcpy(prefix, g_state.folder, i);
        prefix[i] = 0;
        platform::crash_make_directory(prefix);
    }
}

void log_outcome(bool written, const Text& path, int error) {
    Text line;
    if (written) {
        line.add("[crash] minidump yazildi: ");
        line.add(path.c_str());
    } else {
        line.add("[crash] MiniDumpWriteDump basarisiz: ");
        line.add_dec(static_cast<uint32_t>(error));
    }
    crash_log(line);
}

}  // namespace

void write_crash_record(uint32_t code, uintptr_t address) {
    if (g_state.folder[0] == 0) return;
    make_crash_folder();
    int64_t wall = platform::crash_wall_ms();
    uint32_t pid = platform::crash_process_id();
    Text path;
    path.add(g_state.folder);
    path.add_char(g_state.separator);
    build_file_name(path, wall, pid);
    int error = 0;
    int fd = platform::crash_create_file(path.c_str(), error);
    if (fd < 0) {
        Text line;
        line.add("[crash] minidump dosyasi acilamadi: ");
        line.add_dec(static_cast<uint32_t>(error));
        crash_log(line);
        return;
    }
    const int dumped = platform::crash_write_minidump(fd, code, address);
    if (dumped >= 0) {
        const int dump_error = dumped == 1 ? 0 : platform::crash_last_error();
        platform::crash_close(fd);
        log_outcome(dumped == 1, path, dump_error);
        return;
    }
    // No minidumps on this platform: a record of the facts instead.
    Text record;
    record.add("Sorvane crash record\nprocess: ");
    record.add_dec(pid);
    record.add("\nexception code: 0x");
    record.add_hex(code, 8);
    record.add("\naddress: 0x");
    record.add_hex(address, 16);
    record.add("\ntime (ms since 1970 UTC): ");
    record.add_dec(static_cast<uint64_t>(wall));
    record.add_char('\n');
    bool written = platform::crash_write(fd, record.c_str(), record.size());
    int write_error = written ? 0 : platform::crash_last_error();
    platform::crash_close(fd);
    log_outcome(written, path, write_error);
}

}  // namespace sorvane
