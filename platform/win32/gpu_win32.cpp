// The machine's GPUs: DXGI's factory order and preference order, and the
// kernel display interface's list with each adapter's type. The kernel
// functions are looked up in gdi32 at run time (a system without them
// reports them missing instead of refusing to load the program).
#include <windows.h>
#include <dxgi1_6.h>

#include "platform/gpu.h"
#include "platform/win32/com.h"
#include "platform/win32/display_paths.h"
#include "platform/win32/dxgi_adapters.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace win32 {

AdapterDesc describe_adapter(IDXGIAdapter1* adapter, uint32_t index) {
    AdapterDesc d;
    d.index = index;
    DXGI_ADAPTER_DESC1 desc{};
    if (FAILED(adapter->GetDesc1(&desc))) return d;
    d.description = narrow(desc.Description);
    d.vendor_id = desc.VendorId;
    d.luid = luid_value(desc.AdapterLuid);
    d.software = (desc.Flags & DXGI_ADAPTER_FLAG_SOFTWARE) != 0;
    return d;
}

HRESULT enum_adapters(std::vector<AdapterDesc>& out) {
    out.clear();
    Released<IDXGIFactory1> factory;
    HRESULT hr = CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(&factory.p));
    if (FAILED(hr)) return hr;
    for (UINT i = 0;; ++i) {
        Released<IDXGIAdapter1> adapter;
        hr = factory.p->EnumAdapters1(i, &adapter.p);
        if (hr == DXGI_ERROR_NOT_FOUND) return S_OK;
        if (FAILED(hr)) return hr;
        out.push_back(describe_adapter(adapter.p, i));
    }
}

}  // namespace win32

namespace {

using win32::Released;

// The kernel display interface's records (d3dkmthk.h, absent from this build).
using KmtHandle = UINT;
struct KmtAdapterInfo {
    KmtHandle adapter;
    LUID luid;
    ULONG sources;
    BOOL precise_present_regions;
};
struct KmtEnumAdapters2 {
    ULONG count;
    KmtAdapterInfo* adapters;
};
struct KmtQueryAdapterInfo {
    KmtHandle adapter;
    UINT type;
    void* data;
    UINT size;
};
struct KmtCloseAdapter {
    KmtHandle adapter;
};
constexpr UINT kQueryAdapterType = 15;  // KMTQAITYPE_ADAPTERTYPE
// D3DKMT_ADAPTERTYPE bits.
constexpr UINT kRenderSupported = 0x1;
constexpr UINT kDisplaySupported = 0x2;
constexpr UINT kSoftwareDevice = 0x4;
constexpr UINT kIndirectDisplayDevice = 0x40;

using EnumAdapters2Fn = LONG(APIENTRY*)(KmtEnumAdapters2*);
using QueryAdapterInfoFn = LONG(APIENTRY*)(const KmtQueryAdapterInfo*);
using CloseAdapterFn = LONG(APIENTRY*)(const KmtCloseAdapter*);
constexpr uint32_t kStatusProcedureNotFound = 0xC000007A;

template <class Fn>
Fn gdi_function(const char* name) {
    HMODULE gdi = LoadLibraryW(L"gdi32.dll");
    return gdi == nullptr ? nullptr : reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(gdi, name)));
}

class Win32GpuAdapters final : public IGpuAdapters {
public:
    int32_t enum_adapters(std::vector<AdapterDesc>& out) override { return win32::enum_adapters(out); }

    uint32_t kernel_adapters(std::vector<KernelAdapterInfo>& out) override {
        out.clear();
        static const auto enum2 = gdi_function<EnumAdapters2Fn>("D3DKMTEnumAdapters2");
        static const auto query = gdi_function<QueryAdapterInfoFn>("D3DKMTQueryAdapterInfo");
        static const auto close = gdi_function<CloseAdapterFn>("D3DKMTCloseAdapter");
        if (enum2 == nullptr || query == nullptr || close == nullptr) return kStatusProcedureNotFound;
        KmtEnumAdapters2 list{0, nullptr};
        LONG status = enum2(&list);
        if (status != 0) return static_cast<uint32_t>(status);
        std::vector<KmtAdapterInfo> adapters(list.count);
        list.adapters = adapters.data();
        status = enum2(&list);
        if (status != 0) return static_cast<uint32_t>(status);
        adapters.resize(list.count);
        for (const KmtAdapterInfo& a : adapters) {
            KernelAdapterInfo k;
            k.luid = win32::luid_value(a.luid);
            UINT type = 0;
            KmtQueryAdapterInfo q{a.adapter, kQueryAdapterType, &type, sizeof type};
            k.query_ok = query(&q) == 0;
            if (k.query_ok) {
                k.render_supported = (type & kRenderSupported) != 0;
                k.display_supported = (type & kDisplaySupported) != 0;
                k.software_device = (type & kSoftwareDevice) != 0;
                k.indirect_display = (type & kIndirectDisplayDevice) != 0;
            }
            KmtCloseAdapter c{a.adapter};
            close(&c);
            out.push_back(k);
        }
        return 0;
    }

    bool has_gpu_preference_order() override {
        Released<IDXGIFactory6> factory;
        return SUCCEEDED(CreateDXGIFactory1(__uuidof(IDXGIFactory6), reinterpret_cast<void**>(&factory.p)));
    }

    int32_t first_adapter_by_preference(GpuPreference preference, AdapterDesc& out) override {
        Released<IDXGIFactory6> factory;
        HRESULT hr = CreateDXGIFactory1(__uuidof(IDXGIFactory6), reinterpret_cast<void**>(&factory.p));
        if (FAILED(hr)) return hr;
        Released<IDXGIAdapter1> adapter;
        hr = factory.p->EnumAdapterByGpuPreference(0, static_cast<DXGI_GPU_PREFERENCE>(preference),
                                                   __uuidof(IDXGIAdapter1), reinterpret_cast<void**>(&adapter.p));
        if (FAILED(hr)) return hr;
        out = win32::describe_adapter(adapter.p, 0);
        return 0;
    }
};

}  // namespace

std::unique_ptr<IGpuAdapters> make_system_gpu_adapters() { return std::make_unique<Win32GpuAdapters>(); }

}  // namespace sorvane::platform
