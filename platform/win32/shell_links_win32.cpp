#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "platform/shell_links.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

// Joins a COM apartment for one call (one the thread is already in serves as well).
class ComScope {
public:
    ComScope() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
    ~ComScope() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    HRESULT hr_;
};

template <class T>
struct ComPtr {
    T* p = nullptr;
    ~ComPtr() {
        if (p != nullptr) p->Release();
    }
};

class Win32ShellLinks final : public IShellLinks {
public:
    bool startup_folder(std::string& out) override {
        PWSTR path = nullptr;
        const HRESULT hr = SHGetKnownFolderPath(FOLDERID_Startup, 0, nullptr, &path);
        if (FAILED(hr) || path == nullptr) {
            CoTaskMemFree(path);
            return false;
        }
        out = win32::narrow(path);
        CoTaskMemFree(path);
        return !out.empty();
    }

    uint32_t save(const std::string& path, const ShellLink& link) override {
        ComScope com;
        ComPtr<IShellLinkW> shell_link;
        HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                      reinterpret_cast<void**>(&shell_link.p));
        if (SUCCEEDED(hr)) hr = shell_link.p->SetPath(win32::widen(link.target).c_str());
        if (SUCCEEDED(hr)) hr = shell_link.p->SetWorkingDirectory(win32::widen(link.working_directory).c_str());
        if (SUCCEEDED(hr)) hr = shell_link.p->SetDescription(win32::widen(link.description).c_str());
        ComPtr<IPersistFile> file;
        if (SUCCEEDED(hr)) hr = shell_link.p->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file.p));
        if (SUCCEEDED(hr)) hr = file.p->Save(win32::widen(path).c_str(), TRUE);
        return SUCCEEDED(hr) ? 0 : static_cast<uint32_t>(hr);
    }

    uint32_t load(const std::string& path, ShellLink& out) override {
        ComScope com;
        ComPtr<IShellLinkW> shell_link;
        HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                      reinterpret_cast<void**>(&shell_link.p));
        ComPtr<IPersistFile> file;
        if (SUCCEEDED(hr)) hr = shell_link.p->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file.p));
        if (SUCCEEDED(hr)) hr = file.p->Load(win32::widen(path).c_str(), STGM_READ);
        wchar_t text[MAX_PATH + 1] = {};
        if (SUCCEEDED(hr)) hr = shell_link.p->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH);
        if (SUCCEEDED(hr)) out.target = win32::narrow(text);
        if (SUCCEEDED(hr)) hr = shell_link.p->GetWorkingDirectory(text, MAX_PATH);
        if (SUCCEEDED(hr)) out.working_directory = win32::narrow(text);
        if (SUCCEEDED(hr)) hr = shell_link.p->GetDescription(text, MAX_PATH);
        if (SUCCEEDED(hr)) out.description = win32::narrow(text);
        return SUCCEEDED(hr) ? 0 : static_cast<uint32_t>(hr);
    }

    bool exists(const std::string& path) override {
        return GetFileAttributesW(win32::widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    uint32_t remove(const std::string& path) override {
        return DeleteFileW(win32::widen(path).c_str()) ? 0 : GetLastError();
    }
};

}  // namespace

std::unique_ptr<IShellLinks> make_shell_links() { return std::make_unique<Win32ShellLinks>(); }

}  // namespace sorvane::platform
