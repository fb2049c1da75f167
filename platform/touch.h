// Touch port: a synthetic pointer device of the interactive desktop
// (CreateSyntheticPointerDevice, InjectSyntheticPointerInput,
// DestroySyntheticPointerDevice on Windows). Records keep the fields and
// flag values of Windows' POINTER_TYPE_INFO for touch.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace sorvane::platform {

// POINTER_INPUT_TYPE
inline constexpr uint32_t kPointerTypeTouch = 2;
inline constexpr uint32_t kPointerTypePen = 3;

// POINTER_FEEDBACK_MODE
inline constexpr uint32_t kPointerFeedbackDefault = 1;
inline constexpr uint32_t kPointerFeedbackIndirect = 2;
inline constexpr uint32_t kPointerFeedbackNone = 3;

// POINTER_FLAGS
inline constexpr uint32_t kPointerFlagNew = 0x00000001;
inline constexpr uint32_t kPointerFlagInRange = 0x00000002;
inline constexpr uint32_t kPointerFlagInContact = 0x00000004;
inline constexpr uint32_t kPointerFlagPrimary = 0x00002000;
inline constexpr uint32_t kPointerFlagCanceled = 0x00008000;
inline constexpr uint32_t kPointerFlagDown = 0x00010000;
inline constexpr uint32_t kPointerFlagUpdate = 0x00020000;
inline constexpr uint32_t kPointerFlagUp = 0x00040000;

// TOUCH_MASK
inline constexpr uint32_t kTouchMaskContactArea = 0x1;
inline constexpr uint32_t kTouchMaskOrientation = 0x2;
inline constexpr uint32_t kTouchMaskPressure = 0x4;

// The most contacts a touch device can be created for (MAX_TOUCH_COUNT).
inline constexpr uint32_t kMaxTouchCount = 256;

struct PointerPoint {
    int32_t x = 0;
    int32_t y = 0;
    friend bool operator==(const PointerPoint&, const PointerPoint&) = default;
};

struct PointerRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    friend bool operator==(const PointerRect&, const PointerRect&) = default;
};

// One contact of an injection frame (POINTER_TYPE_INFO of type touch). The
// pixel location is relative to the top-left corner of the virtual screen.
struct TouchContact {
    uint32_t pointer_type = kPointerTypeTouch;
    uint32_t pointer_id = 0;
    uint32_t frame_id = 0;
    uint32_t pointer_flags = 0;
    PointerPoint pixel_location;
    uint32_t time = 0;
    uint32_t touch_flags = 0;
    uint32_t touch_mask = 0;
    PointerRect contact;
    uint32_t orientation = 0;
    uint32_t pressure = 0;
    friend bool operator==(const TouchContact&, const TouchContact&) = default;
};

// A created synthetic pointer device; destroying the object destroys the device.
class ITouchDevice {
public:
    virtual ~ITouchDevice() = default;
    // InjectSyntheticPointerInput: one frame with every contact in it. False
    // with the Win32 error when the frame was refused (nothing of it is injected).
    virtual bool inject(std::span<const TouchContact> contacts, uint32_t& error) = 0;
};

class ITouchDeviceFactory {
public:
    virtual ~ITouchDeviceFactory() = default;
    // CreateSyntheticPointerDevice; null with the Win32 error on failure.
    virtual std::unique_ptr<ITouchDevice> create_pointer_device(uint32_t pointer_type, uint32_t max_count,
                                                                uint32_t feedback_mode, uint32_t& error) = 0;
};

// Synthetic pointer devices of this machine's desktop (on Linux: the
// simulated machine's, the same input stack as make_input_sink()).
std::unique_ptr<ITouchDeviceFactory> make_touch_device_factory();

}  // namespace sorvane::platform
