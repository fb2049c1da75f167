// Media Foundation as the encoder sees it. The libraries are looked for and
// the adapters found over DXGI; starting Media Foundation and its transforms
// are not driven by this build yet, so MFStartup reports E_NOTIMPL and the
// encoder selection reports the transform path unavailable.
#include <windows.h>
#include <dxgi1_6.h>

#include "platform/mft.h"
#include "platform/win32/com.h"
#include "platform/win32/display_paths.h"
#include "platform/win32/dxgi_adapters.h"

namespace sorvane::platform {
namespace {

using win32::Released;

class Win32MftPort final : public IMftPort {
public:
    bool media_foundation_available(std::string& missing) override {
        const struct {
            const wchar_t* file;
            const char* name;
        } libraries[] = {{L"mfplat.dll", "mfplat.dll"}, {L"mf.dll", "mf.dll"}};
        for (const auto& lib : libraries) {
            HMODULE m = LoadLibraryExW(lib.file, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
            if (m == nullptr) {
                missing = lib.name;
                return false;
            }
            FreeLibrary(m);
        }
        return true;
    }
    int32_t startup() override { return kENotImpl; }
    void shutdown() override {}

    int32_t find_adapter(uint64_t luid, AdapterDesc& out) override {
        Released<IDXGIFactory4> factory;
        HRESULT hr = CreateDXGIFactory1(__uuidof(IDXGIFactory4), reinterpret_cast<void**>(&factory.p));
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        Released<IDXGIAdapter1> adapter;
        hr = factory.p->EnumAdapterByLuid(win32::luid_of(luid), __uuidof(IDXGIAdapter1),
                                          reinterpret_cast<void**>(&adapter.p));
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        out = win32::describe_adapter(adapter.p, 0);
        return kSOk;
    }
    int32_t create_encoder_device(const AdapterDesc&, std::shared_ptr<GpuDevice>&, bool& video_processor) override {
        video_processor = false;
        return kENotImpl;
    }
    std::vector<MftActivate> list_encoder_transforms(bool, const uint64_t*) override { return {}; }
    int32_t activate(const MftActivate&, std::unique_ptr<IMftTransform>&) override { return kENotImpl; }
};

}  // namespace

std::unique_ptr<IMftPort> make_mft_port() { return std::make_unique<Win32MftPort>(); }

}  // namespace sorvane::platform
