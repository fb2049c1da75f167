// Touch through a synthetic pointer device of the interactive desktop. The
// three functions exist from Windows 10 1809 on and are looked up at run
// time, so an older system (or Wine) reports them missing instead of
// refusing to load the program.
#include <windows.h>

#include <vector>

#include "platform/touch.h"

namespace sorvane::platform {

namespace {

using Device = void*;  // HSYNTHETICPOINTERDEVICE
using CreateFn = Device(WINAPI*)(POINTER_INPUT_TYPE, ULONG, POINTER_FEEDBACK_MODE);
using InjectFn = BOOL(WINAPI*)(Device, const POINTER_TYPE_INFO*, UINT32);
using DestroyFn = void(WINAPI*)(Device);

struct Functions {
    CreateFn create = nullptr;
    InjectFn inject = nullptr;
    DestroyFn destroy = nullptr;
    bool complete() const { return create != nullptr && inject != nullptr && destroy != nullptr; }
};

const Functions& functions() {
    static const Functions f = [] {
        Functions r;
        HMODULE user32 = LoadLibraryW(L"user32.dll");
        if (user32 == nullptr) return r;
        r.create = reinterpret_cast<CreateFn>(reinterpret_cast<void*>(GetProcAddress(user32, "CreateSyntheticPointerDevice")));
        r.inject = reinterpret_cast<InjectFn>(reinterpret_cast<void*>(GetProcAddress(user32, "InjectSyntheticPointerInput")));
        r.destroy =
            reinterpret_cast<DestroyFn>(reinterpret_cast<void*>(GetProcAddress(user32, "DestroySyntheticPointerDevice")));
        return r;
    }();
    return f;
}

void fill(const TouchContact& c, POINTER_TYPE_INFO& out) {
    out = POINTER_TYPE_INFO{};
    out.type = static_cast<POINTER_INPUT_TYPE>(c.pointer_type);
    POINTER_INFO& p = c.pointer_type == kPointerTypePen ? out.penInfo.pointerInfo : out.touchInfo.pointerInfo;
    p.pointerType = static_cast<POINTER_INPUT_TYPE>(c.pointer_type);
    p.pointerId = c.pointer_id;
    p.frameId = c.frame_id;
    p.pointerFlags = c.pointer_flags;
    p.ptPixelLocation = POINT{c.pixel_location.x, c.pixel_location.y};
    p.dwTime = c.time;
    if (c.pointer_type == kPointerTypePen) {
        out.penInfo.pressure = c.pressure;
        return;
    }
    out.touchInfo.touchFlags = c.touch_flags;
    out.touchInfo.touchMask = c.touch_mask;
    out.touchInfo.rcContact = RECT{c.contact.left, c.contact.top, c.contact.right, c.contact.bottom};
    out.touchInfo.orientation = c.orientation;
    out.touchInfo.pressure = c.pressure;
}

class Win32TouchDevice final : public ITouchDevice {
public:
    explicit Win32TouchDevice(Device d) : device_(d) {}
    ~Win32TouchDevice() override { functions().destroy(device_); }
    Win32TouchDevice(const Win32TouchDevice&) = delete;
    Win32TouchDevice& operator=(const Win32TouchDevice&) = delete;

    bool inject(std::span<const TouchContact> contacts, uint32_t& error) override {
        frame_.resize(contacts.size());
        for (size_t i = 0; i < contacts.size(); ++i) fill(contacts[i], frame_[i]);
        if (functions().inject(device_, frame_.data(), static_cast<UINT32>(frame_.size()))) return true;
        error = GetLastError();
        return false;
    }

private:
    Device device_;
    std::vector<POINTER_TYPE_INFO> frame_;  // reused: injection allocates once
};

class Win32TouchDeviceFactory final : public ITouchDeviceFactory {
public:
    std::unique_ptr<ITouchDevice> create_pointer_device(uint32_t pointer_type, uint32_t max_count,
                                                        uint32_t feedback_mode, uint32_t& error) override {
        if (!functions().complete()) {
            error = ERROR_PROC_NOT_FOUND;
            return nullptr;
        }
        Device d = functions().create(static_cast<POINTER_INPUT_TYPE>(pointer_type), max_count,
                                      static_cast<POINTER_FEEDBACK_MODE>(feedback_mode));
        if (d == nullptr) {
            error = GetLastError();
            return nullptr;
        }
        return std::make_unique<Win32TouchDevice>(d);
    }
};

}  // namespace

std::unique_ptr<ITouchDeviceFactory> make_touch_device_factory() {
    return std::make_unique<Win32TouchDeviceFactory>();
}

}  // namespace sorvane::platform
