// run-limited: starts a program with the limited (non-elevated) token of the
// account that runs it and exits with the program's exit code. The program
// check runs the installer tools through it to see their refusals of a
// process without administrator rights.
//   run-limited.exe PROGRAM [ARG...]
// The command line after the first argument is passed on as it stands. Exit
// 125 when no limited token can be had or the program cannot be started (the
// reason on standard error).
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kCannotRun = 125;

int refuse(const char* step) {
    std::fprintf(stderr, "run-limited: %s failed: %lu\n", step, GetLastError());
    return kCannotRun;
}

// The command line without its first argument (Windows' rule for that one:
// quoted up to the next quote, else up to the first blank).
const wchar_t* rest_of_command_line() {
    const wchar_t* p = GetCommandLineW();
    if (*p == L'"') {
        ++p;
        while (*p != L'\0' && *p != L'"') ++p;
        if (*p == L'"') ++p;
    } else {
        while (*p != L'\0' && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

bool elevated(HANDLE token) {
    TOKEN_ELEVATION e{};
    DWORD n = 0;
    return GetTokenInformation(token, TokenElevation, &e, sizeof e, &n) && e.TokenIsElevated != 0;
}

}  // namespace

int main() {
    const wchar_t* rest = rest_of_command_line();
    if (*rest == L'\0') {
        std::fprintf(stderr, "usage: run-limited.exe PROGRAM [ARG...]\n");
        return 2;
    }
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &own)) return refuse("OpenProcessToken");
    // An elevated administrator's token is linked to the filtered one the
    // same logon has without elevation; a token that is not elevated is used
    // as it is.
    HANDLE limited = nullptr;
    if (elevated(own)) {
        TOKEN_LINKED_TOKEN linked{};
        DWORD n = 0;
        if (!GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &n))
            return refuse("GetTokenInformation(TokenLinkedToken)");
        const BOOL made = DuplicateTokenEx(linked.LinkedToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                                           TokenPrimary, &limited);
        CloseHandle(linked.LinkedToken);
        if (!made) return refuse("DuplicateTokenEx(linked token)");
    } else if (!DuplicateTokenEx(own, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &limited)) {
        return refuse("DuplicateTokenEx(own token)");
    }
    CloseHandle(own);
    if (elevated(limited)) {
        std::fprintf(stderr, "run-limited: the token to run with is still elevated\n");
        return kCannotRun;
    }

    // CreateProcess may write into the command line.
    std::wstring command(rest);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    const BOOL started =
        CreateProcessAsUserW(limited, nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(limited);
    if (!started) return refuse("CreateProcessAsUserW");
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = kCannotRun;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return static_cast<int>(code);
}
