// Capture's view of this machine over DXGI, the display configuration and
// GDI. Duplicating an output needs the staging read-back into CpuTexture,
// which this build does not have yet: DuplicateOutput reports E_NOTIMPL, and
// capture takes its recovery path (the GDI snapshot) from there.
#include <windows.h>
#include <dxgi1_6.h>

#include <vector>

#include "platform/duplication.h"
#include "platform/win32/com.h"
#include "platform/win32/display_paths.h"
#include "platform/win32/dxgi_adapters.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {
namespace {

using win32::Released;

class Win32Duplication final : public IDuplication {
public:
    int32_t enum_adapters(std::vector<AdapterDesc>& out) override {
        out.clear();
        Released<IDXGIFactory1> factory;
        HRESULT hr = CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(&factory.p));
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        for (UINT i = 0;; ++i) {
            Released<IDXGIAdapter1> adapter;
            hr = factory.p->EnumAdapters1(i, &adapter.p);
            if (hr == DXGI_ERROR_NOT_FOUND) return kSOk;
            if (FAILED(hr)) return static_cast<int32_t>(hr);
            out.push_back(win32::describe_adapter(adapter.p, i));
        }
    }

    int32_t enum_outputs(uint32_t adapter_index, std::vector<OutputDesc>& out) override {
        out.clear();
        Released<IDXGIFactory1> factory;
        HRESULT hr = CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(&factory.p));
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        Released<IDXGIAdapter1> adapter;
        hr = factory.p->EnumAdapters1(adapter_index, &adapter.p);
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        for (UINT i = 0;; ++i) {
            Released<IDXGIOutput> output;
            hr = adapter.p->EnumOutputs(i, &output.p);
            if (hr == DXGI_ERROR_NOT_FOUND) return kSOk;
            if (FAILED(hr)) return static_cast<int32_t>(hr);
            DXGI_OUTPUT_DESC desc{};
            hr = output.p->GetDesc(&desc);
            if (FAILED(hr)) return static_cast<int32_t>(hr);
            OutputDesc d;
            d.device_name = win32::narrow(desc.DeviceName);
            d.left = desc.DesktopCoordinates.left;
            d.top = desc.DesktopCoordinates.top;
            d.right = desc.DesktopCoordinates.right;
            d.bottom = desc.DesktopCoordinates.bottom;
            d.attached = desc.AttachedToDesktop != FALSE;
            out.push_back(std::move(d));
        }
    }

    int32_t create_device(uint32_t adapter_index, std::shared_ptr<GpuDevice>& out) override {
        std::vector<AdapterDesc> adapters;
        const int32_t hr = enum_adapters(adapters);
        if (hr != kSOk) return hr;
        if (adapter_index >= adapters.size()) return kDxgiErrorNotFound;
        out = std::make_shared<GpuDevice>();
        out->adapter = adapters[adapter_index];
        return kSOk;
    }

    int32_t duplicate_output(uint32_t, uint32_t, const GpuDevice&, std::unique_ptr<IOutputDuplication>&) override {
        return kENotImpl;
    }

    int32_t display_config_buffer_sizes(uint32_t& path_count) override {
        UINT32 paths = 0, modes = 0;
        const LONG r = GetDisplayConfigBufferSizes(QDC_ONLY_ACTIVE_PATHS, &paths, &modes);
        path_count = r == ERROR_SUCCESS ? paths : 0;
        return static_cast<int32_t>(r);
    }

    int32_t query_display_config(uint32_t capacity, std::vector<DisplayPath>& out) override {
        out.clear();
        UINT32 path_count = 0, mode_count = 0;
        LONG r = GetDisplayConfigBufferSizes(QDC_ONLY_ACTIVE_PATHS, &path_count, &mode_count);
        if (r != ERROR_SUCCESS) return static_cast<int32_t>(r);
        if (path_count > capacity) return kErrorInsufficientBuffer;
        std::vector<DISPLAYCONFIG_PATH_INFO> paths(path_count);
        std::vector<DISPLAYCONFIG_MODE_INFO> modes(mode_count);
        r = QueryDisplayConfig(QDC_ONLY_ACTIVE_PATHS, &path_count, paths.data(), &mode_count, modes.data(), nullptr);
        if (r != ERROR_SUCCESS) return static_cast<int32_t>(r);
        for (UINT32 i = 0; i < path_count; ++i) {
            DisplayPath p;
            p.source_adapter_luid = win32::luid_value(paths[i].sourceInfo.adapterId);
            p.source_id = paths[i].sourceInfo.id;
            p.target_adapter_luid = win32::luid_value(paths[i].targetInfo.adapterId);
            p.target_id = paths[i].targetInfo.id;
            out.push_back(p);
        }
        return kErrorSuccess;
    }

    int32_t source_gdi_name(uint64_t adapter_luid, uint32_t source_id, std::string& out) override {
        return win32::source_gdi_name(win32::luid_of(adapter_luid), source_id, out);
    }

    bool enum_display_devices(const std::string* adapter, uint32_t index, DisplayDevice& out) override {
        DISPLAY_DEVICEW dd{};
        dd.cb = sizeof(dd);
        const std::wstring name = adapter != nullptr ? win32::widen(*adapter) : std::wstring();
        const DWORD flags = adapter != nullptr ? EDD_GET_DEVICE_INTERFACE_NAME : 0;
        if (!EnumDisplayDevicesW(adapter != nullptr ? name.c_str() : nullptr, index, &dd, flags)) return false;
        out.name = win32::narrow(dd.DeviceName);
        out.id = adapter != nullptr ? win32::narrow(dd.DeviceID) : std::string();
        out.attached_to_desktop = (dd.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) != 0;
        return true;
    }

    bool snapshot_gdi(int32_t left, int32_t top, uint32_t width, uint32_t height, std::vector<uint8_t>& bgra) override {
        if (width == 0 || height == 0 || width > 16384 || height > 16384) return false;
        HDC screen = GetDC(nullptr);
        if (screen == nullptr) return false;
        HDC mem = CreateCompatibleDC(screen);
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
        bi.bmiHeader.biWidth = static_cast<LONG>(width);
        bi.bmiHeader.biHeight = -static_cast<LONG>(height);  // top-down rows
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        bi.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        HBITMAP bmp = mem != nullptr ? CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
        bool ok = false;
        if (bmp != nullptr) {
            HGDIOBJ old = SelectObject(mem, bmp);
            ok = BitBlt(mem, 0, 0, static_cast<int>(width), static_cast<int>(height), screen, left, top, SRCCOPY) != FALSE;
            GdiFlush();
            if (ok) {
                const auto* p = static_cast<const uint8_t*>(bits);
                bgra.assign(p, p + static_cast<size_t>(width) * height * 4);
            }
            SelectObject(mem, old);
            DeleteObject(bmp);
        }
        if (mem != nullptr) DeleteDC(mem);
        ReleaseDC(nullptr, screen);
        return ok;
    }

    void nudge(int32_t left, int32_t top, int32_t, int32_t) override {
        // A 4 x 4 window that is almost transparent, shown twice for a moment:
        // the compositor then presents a frame on that monitor.
        HWND w = CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST | WS_EX_NOACTIVATE |
                                     WS_EX_TRANSPARENT,
                                 L"STATIC", L"", WS_POPUP, left, top, 4, 4, nullptr, nullptr, nullptr, nullptr);
        if (w == nullptr) return;
        SetLayeredWindowAttributes(w, 0, 1, LWA_ALPHA);
        for (int i = 0; i < 2; ++i) {
            ShowWindow(w, SW_SHOWNOACTIVATE);
            UpdateWindow(w);
            ShowWindow(w, SW_HIDE);
        }
        DestroyWindow(w);
    }

    int64_t performance_counter() override {
        LARGE_INTEGER now{}, freq{};
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&freq);
        if (freq.QuadPart <= 0) return 0;
        // In 100 ns ticks without overflowing the product.
        const int64_t whole = now.QuadPart / freq.QuadPart;
        const int64_t part = now.QuadPart % freq.QuadPart;
        return whole * 10'000'000 + part * 10'000'000 / freq.QuadPart;
    }
};

}  // namespace

std::unique_ptr<IDuplication> make_duplication() { return std::make_unique<Win32Duplication>(); }

}  // namespace sorvane::platform
