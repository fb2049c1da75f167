#include "tests/platform/ports/port_test.h"

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#else
#include <signal.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <vector>

#include "platform/paths.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace sorvane::port_test {

namespace {

std::map<std::string, ChildMain>& roles() {
    static std::map<std::string, ChildMain> r;
    return r;
}

#ifdef _WIN32
std::wstring widen(const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
    return out;
}
#endif

}  // namespace

std::string unique_name(const std::string& prefix) {
    std::random_device rd;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%08x%08x", static_cast<unsigned>(rd()), static_cast<unsigned>(rd()));
    return prefix + buf;
}

TempFolder::TempFolder() {
    const std::filesystem::path p = std::filesystem::temp_directory_path() / unique_name("sorvane-port-");
    std::filesystem::create_directories(p);
    path_ = p.string();
}

TempFolder::~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempFolder::file(const std::string& name) const { return platform::join_path(path_, name); }

ChildRole::ChildRole(const char* role, ChildMain main) { roles()[role] = main; }

int run_child_role(int argc, char** argv) {
    if (argc != 4 || std::string(argv[1]) != "--port-child") return -1;
    const auto it = roles().find(argv[2]);
    if (it == roles().end()) return 125;
    return it->second(argv[3]);
}

void set_env(const std::string& name, const std::string& value) {
#ifdef _WIN32
    SetEnvironmentVariableW(widen(name).c_str(), widen(value).c_str());
#else
    ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

bool owner_only(const std::string& path) {
#ifdef _WIN32
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(widen(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &sd) != ERROR_SUCCESS)
        return false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    const bool ok = dacl != nullptr && dacl->AceCount == 2 && GetSecurityDescriptorControl(sd, &control, &revision) &&
                    (control & SE_DACL_PROTECTED) != 0;
    LocalFree(sd);
    return ok;
#else
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) == 0;
#endif
}

bool under_wine() {
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

#ifdef _WIN32

int run_child(const std::string& role, const std::string& arg, bool own_group) {
    wchar_t self[MAX_PATH * 2];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
    if (n == 0 || n >= MAX_PATH * 2) return -1;
    // Role and argument are plain words; only the program path needs quotes.
    std::wstring cmd = L"\"" + std::wstring(self, n) + L"\" --port-child " + widen(role) + L" " + widen(arg);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    const DWORD flags = own_group ? CREATE_NEW_PROCESS_GROUP : 0;
    if (!CreateProcessW(self, cmd.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &si, &pi)) return -1;
    CloseHandle(pi.hThread);
    int code = -1;
    if (WaitForSingleObject(pi.hProcess, 60'000) == WAIT_OBJECT_0) {
        DWORD exit_code = 0;
        if (GetExitCodeProcess(pi.hProcess, &exit_code)) code = static_cast<int>(exit_code);
    } else {
        TerminateProcess(pi.hProcess, 1);
    }
    CloseHandle(pi.hProcess);
    return code;
}

#else

int run_child(const std::string& role, const std::string& arg, bool own_group) {
    std::vector<std::string> args = {"/proc/self/exe", "--port-child", role, arg};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (own_group) {
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
    }
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, "/proc/self/exe", nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return -1;
    int status = 0;
    for (int waited_ms = 0;; waited_ms += 10) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 || waited_ms >= 60'000) {
            if (r == 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
            }
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#endif

}  // namespace sorvane::port_test
