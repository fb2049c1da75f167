#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "platform/paths.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

bool known_folder(REFKNOWNFOLDERID id, std::string& out) {
    PWSTR path = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path);
    bool found = false;
    if (SUCCEEDED(hr) && path != nullptr) {
        std::string text = win32::narrow(path);
        if (!text.empty()) {
            out = std::move(text);
            found = true;
        }
    }
    CoTaskMemFree(path);
    return found;
}

class Win32Paths final : public IPaths {
public:
    bool local_app_data(std::string& out) override { return known_folder(FOLDERID_LocalAppData, out); }
    bool program_data(std::string& out) override { return known_folder(FOLDERID_ProgramData, out); }
    bool desktop(std::string& out) override { return known_folder(FOLDERID_Desktop, out); }

    bool working_directory(std::string& out) override {
        const DWORD n = GetCurrentDirectoryW(0, nullptr);
        if (n == 0) return false;
        std::wstring buf(n, L'\0');
        const DWORD got = GetCurrentDirectoryW(n, buf.data());
        if (got == 0 || got >= n) return false;
        buf.resize(got);
        out = win32::narrow(buf);
        return !out.empty();
    }
};

}  // namespace

std::unique_ptr<IPaths> make_system_paths() { return std::make_unique<Win32Paths>(); }

}  // namespace sorvane::platform
