// Capture's view of this machine over DXGI, the display configuration and
// GDI. A duplication runs on the Direct3D 11 device that create_device puts
// into the GpuDevice; each new desktop image is copied into a staging texture
// and read back into the CpuTexture the frame hands out. Every HRESULT goes
// back to capture unchanged: its recovery rules branch on them.
#include <windows.h>
#include <d3d11.h>
#include <dxgi1_6.h>

#include <vector>

#include "platform/duplication.h"
#include "platform/win32/com.h"
#include "platform/win32/d3d11_device.h"
#include "platform/win32/display_paths.h"
#include "platform/win32/dxgi_adapters.h"
#include "platform/win32/staging_read_back.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {
namespace {

using win32::Released;

HRESULT open_adapter(uint32_t index, Released<IDXGIAdapter1>& adapter) {
    Released<IDXGIFactory1> factory;
    HRESULT hr = CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(&factory.p));
    if (FAILED(hr)) return hr;
    return factory.p->EnumAdapters1(index, &adapter.p);
}

class Win32OutputDuplication final : public IOutputDuplication {
public:
    // Takes over the caller's reference of the duplication.
    Win32OutputDuplication(ID3D11Device* device, IDXGIOutputDuplication* duplication) {
        device->AddRef();
        device_.p = device;
        device->GetImmediateContext(&context_.p);
        duplication_.p = duplication;
    }
    ~Win32OutputDuplication() override {
        if (held_) duplication_.p->ReleaseFrame();
    }
    Win32OutputDuplication(const Win32OutputDuplication&) = delete;
    Win32OutputDuplication& operator=(const Win32OutputDuplication&) = delete;

    int32_t acquire_next_frame(uint32_t timeout_ms, DuplicationFrameInfo& info, const CpuTexture*& texture) override {
        info = {};
        texture = nullptr;
        DXGI_OUTDUPL_FRAME_INFO frame{};
        Released<IDXGIResource> resource;
        HRESULT hr = duplication_.p->AcquireNextFrame(timeout_ms, &frame, &resource.p);
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        held_ = true;
        hr = read_back(resource.p, frame.LastPresentTime.QuadPart != 0);
        if (FAILED(hr)) {
            // A failed acquire leaves no frame with the caller: give it back
            // here. A release that fails says more (the duplication is gone).
            const int32_t released = release_frame();
            return released < 0 ? released : static_cast<int32_t>(hr);
        }
        info.last_present_time = frame.LastPresentTime.QuadPart;
        info.last_mouse_update_time = frame.LastMouseUpdateTime.QuadPart;
        if (frame.LastMouseUpdateTime.QuadPart != 0) {
            info.pointer_visible = frame.PointerPosition.Visible != FALSE;
            info.pointer_x = frame.PointerPosition.Position.x;
            info.pointer_y = frame.PointerPosition.Position.y;
        }
        info.pointer_shape_buffer_size = frame.PointerShapeBufferSize;
        texture = &image_;
        return kSOk;
    }

    int32_t release_frame() override {
        held_ = false;
        return static_cast<int32_t>(duplication_.p->ReleaseFrame());
    }

    int32_t get_frame_pointer_shape(std::vector<uint8_t>& buffer, PointerShapeInfo& info) override {
        DXGI_OUTDUPL_POINTER_SHAPE_INFO shape{};
        UINT required = 0;
        const HRESULT hr = duplication_.p->GetFramePointerShape(static_cast<UINT>(buffer.size()),
                                                                buffer.empty() ? nullptr : buffer.data(), &required,
                                                                &shape);
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        info.type = shape.Type;
        info.width = shape.Width;
        info.height = shape.Height;
        info.pitch = shape.Pitch;
        info.hot_x = shape.HotSpot.x;
        info.hot_y = shape.HotSpot.y;
        return kSOk;
    }

private:
    // Copies the desktop image into image_. A frame without a new image
    // keeps the copy of the last one.
    HRESULT read_back(IDXGIResource* resource, bool new_image) {
        if (resource == nullptr) return E_NOINTERFACE;
        Released<ID3D11Texture2D> desktop;
        const HRESULT hr = resource->QueryInterface(__uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&desktop.p));
        if (FAILED(hr)) return hr;
        D3D11_TEXTURE2D_DESC desc{};
        desktop.p->GetDesc(&desc);
        if (!new_image && image_valid_ && image_.width == desc.Width && image_.height == desc.Height) return S_OK;
        const HRESULT read = read_back_.read(device_.p, context_.p, desktop.p, image_);
        image_valid_ = SUCCEEDED(read);
        return read;
    }

    Released<ID3D11Device> device_;
    Released<ID3D11DeviceContext> context_;
    Released<IDXGIOutputDuplication> duplication_;
    win32::StagingReadBack read_back_;
    CpuTexture image_;
    bool image_valid_ = false;
    bool held_ = false;
};

constexpr const wchar_t* kNudgeClass = L"SorvaneMonitorNudge";

// Serves this thread's window messages for a while (the nudge window lives
// on the capture thread, which has no loop of its own).
void pump_messages(DWORD ms) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(5);
    }
}

class Win32Duplication final : public IDuplication {
public:
    int32_t enum_adapters(std::vector<AdapterDesc>& out) override {
        return static_cast<int32_t>(win32::enum_adapters(out));
    }

    int32_t enum_outputs(uint32_t adapter_index, std::vector<OutputDesc>& out) override {
        out.clear();
        Released<IDXGIAdapter1> adapter;
        HRESULT hr = open_adapter(adapter_index, adapter);
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
        out.reset();
        Released<IDXGIAdapter1> adapter;
        HRESULT hr = open_adapter(adapter_index, adapter);
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        // The adapter is given, so the driver type is left unknown.
        Released<ID3D11Device> device;
        hr = D3D11CreateDevice(adapter.p, D3D_DRIVER_TYPE_UNKNOWN, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0,
                               D3D11_SDK_VERSION, &device.p, nullptr, nullptr);
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        auto gpu = std::make_shared<GpuDevice>();
        gpu->adapter = win32::describe_adapter(adapter.p, adapter_index);
        win32::hold_d3d11_device(*gpu, device.p);
        out = std::move(gpu);
        return kSOk;
    }

    int32_t duplicate_output(uint32_t adapter_index, uint32_t output_index, const GpuDevice& device,
                             std::unique_ptr<IOutputDuplication>& out) override {
        out.reset();
        ID3D11Device* d3d = win32::d3d11_device(device);
        if (d3d == nullptr || device.adapter.index != adapter_index) return kEInvalidArg;
        Released<IDXGIAdapter1> adapter;
        HRESULT hr = open_adapter(adapter_index, adapter);
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        Released<IDXGIOutput> output;
        hr = adapter.p->EnumOutputs(output_index, &output.p);
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        // Ask for BGRA by name where the system knows the newer call; where it
        // refuses it (an older system, a process that is not per-monitor
        // aware) the first call gives the desktop in BGRA as well.
        Released<IDXGIOutputDuplication> duplication;
        hr = E_NOINTERFACE;
        Released<IDXGIOutput5> output5;
        if (SUCCEEDED(output.p->QueryInterface(__uuidof(IDXGIOutput5), reinterpret_cast<void**>(&output5.p)))) {
            const DXGI_FORMAT formats[] = {DXGI_FORMAT_B8G8R8A8_UNORM};
            hr = output5.p->DuplicateOutput1(d3d, 0, 1, formats, &duplication.p);
        }
        if (FAILED(hr)) {
            Released<IDXGIOutput1> output1;
            hr = output.p->QueryInterface(__uuidof(IDXGIOutput1), reinterpret_cast<void**>(&output1.p));
            if (FAILED(hr)) return static_cast<int32_t>(hr);
            hr = output1.p->DuplicateOutput(d3d, &duplication.p);
        }
        if (FAILED(hr)) return static_cast<int32_t>(hr);
        out = std::make_unique<Win32OutputDuplication>(d3d, duplication.p);
        duplication.p = nullptr;
        return kSOk;
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
            ok = BitBlt(mem, 0, 0, static_cast<int>(width), static_cast<int>(height), screen, left, top,
                        SRCCOPY | CAPTUREBLT) != FALSE;
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
        // A 4 x 4 window that is almost transparent, shown and moved once on
        // the monitor: the compositor then presents a frame there.
        static const bool registered = [] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = DefWindowProcW;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
            wc.lpszClassName = kNudgeClass;
            return RegisterClassW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
        }();
        if (!registered) return;
        HWND w = CreateWindowExW(WS_EX_NOACTIVATE | WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TRANSPARENT | WS_EX_TOPMOST,
                                 kNudgeClass, L"", WS_POPUP, left + 2, top + 2, 4, 4, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        if (w == nullptr) return;
        SetLayeredWindowAttributes(w, 0, 3, LWA_ALPHA);
        ShowWindow(w, SW_SHOWNOACTIVATE);
        pump_messages(70);
        SetWindowPos(w, HWND_TOPMOST, left + 3, top + 3, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
        pump_messages(70);
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
