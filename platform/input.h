// Input ports: the synthesized keyboard and mouse input of the interactive
// desktop (SendInput and MapVirtualKeyW on Windows), the foreground window's
// process and its elevation, and the desktop's metrics. Events keep the shape
// and the flag values of Windows' INPUT records so the logic that builds them
// reads the same on every platform.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>


namespace sorvane::platform {

// INPUT.type
inline constexpr uint32_t kInputMouse = 0;
inline constexpr uint32_t kInputKeyboard = 1;

// KEYBDINPUT.dwFlags
inline constexpr uint32_t kKeyEventExtendedKey = 0x0001;
inline constexpr uint32_t kKeyEventKeyUp = 0x0002;
inline constexpr uint32_t kKeyEventUnicode = 0x0004;
inline constexpr uint32_t kKeyEventScanCode = 0x0008;

// MOUSEINPUT.dwFlags
inline constexpr uint32_t kMouseEventMove = 0x0001;
inline constexpr uint32_t kMouseEventLeftDown = 0x0002;
inline constexpr uint32_t kMouseEventLeftUp = 0x0004;
inline constexpr uint32_t kMouseEventRightDown = 0x0008;
inline constexpr uint32_t kMouseEventRightUp = 0x0010;
inline constexpr uint32_t kMouseEventMiddleDown = 0x0020;
inline constexpr uint32_t kMouseEventMiddleUp = 0x0040;
inline constexpr uint32_t kMouseEventWheel = 0x0800;
inline constexpr uint32_t kMouseEventHWheel = 0x1000;
inline constexpr uint32_t kMouseEventVirtualDesk = 0x4000;
inline constexpr uint32_t kMouseEventAbsolute = 0x8000;

// MapVirtualKeyW map types.
inline constexpr uint32_t kMapVkToVsc = 0;
inline constexpr uint32_t kMapVscToVk = 1;

// Win32 error code of an input queue that is full (the others are in win_error.h,
// which this header leaves out so that it can meet the DXGI codes of duplication.h).
inline constexpr uint32_t kErrorNotEnoughQuota = 1816;

struct KeyboardInput {
    uint16_t vk = 0;
    uint16_t scan = 0;
    uint32_t flags = 0;
    uint32_t time = 0;
    uint64_t extra_info = 0;
    friend bool operator==(const KeyboardInput&, const KeyboardInput&) = default;
};

struct MouseInput {
    int32_t dx = 0;
    int32_t dy = 0;
    int32_t data = 0;  // mouseData: wheel delta, signed
    uint32_t flags = 0;
    uint32_t time = 0;
    uint64_t extra_info = 0;
    friend bool operator==(const MouseInput&, const MouseInput&) = default;
};

// One INPUT record; only the member named by type is read.
struct InputEvent {
    uint32_t type = kInputKeyboard;
    KeyboardInput ki;
    MouseInput mi;
    friend bool operator==(const InputEvent&, const InputEvent&) = default;
};

class IInputSink {
public:
    virtual ~IInputSink() = default;
    // SendInput: inserts the events, in order, into the input stream of the
    // interactive desktop and returns how many were inserted. error receives
    // the thread's last error after the call (it is cleared before).
    virtual uint32_t send_input(std::span<const InputEvent> events, uint32_t& error) = 0;
    // MapVirtualKeyW: 0 when there is no translation.
    virtual uint32_t map_virtual_key(uint32_t code, uint32_t map_type) = 0;
};

// What opening a process token and reading its TokenElevation gave.
struct TokenQuery {
    bool opened = false;
    uint32_t error = 0;  // when not opened
    bool elevated = false;
};

// What a process query gave once the process could be opened.
struct ProcessQuery {
    TokenQuery token;
    std::string image_path;  // full image path; empty when it could not be read
};

class IForegroundInfo {
public:
    virtual ~IForegroundInfo() = default;
    virtual uint32_t current_process_id() = 0;
    // The token of this process.
    virtual TokenQuery current_process_token() = 0;
    // The process of the foreground window; 0 when there is no foreground
    // window or its process id cannot be read.
    virtual uint32_t foreground_process_id() = 0;
    // Opens the process for limited query; false (with error) when it cannot
    // be opened. The caller's out is reused, so its storage can be kept.
    virtual bool query_process(uint32_t pid, ProcessQuery& out, uint32_t& error) = 0;
};

// The bounding rectangle of every monitor, in desktop coordinates
// (SM_XVIRTUALSCREEN, SM_YVIRTUALSCREEN, SM_CXVIRTUALSCREEN, SM_CYVIRTUALSCREEN).
struct VirtualScreen {
    int32_t left = 0;
    int32_t top = 0;
    int32_t width = 0;
    int32_t height = 0;
};

class IDesktopInfo {
public:
    virtual ~IDesktopInfo() = default;
    virtual VirtualScreen virtual_screen() = 0;
    // The name of the desktop that receives input ("Default" for the user's
    // desktop, "Winlogon" for the secure desktop); false with error when it
    // cannot be opened.
    virtual bool input_desktop_name(std::string& out, uint32_t& error) = 0;
};

// The interactive desktop's input of this machine (on Linux: the simulated
// machine's input stack, one per process, delivering to its desktop).
std::unique_ptr<IInputSink> make_input_sink();
std::unique_ptr<IForegroundInfo> make_foreground_info();
std::unique_ptr<IDesktopInfo> make_desktop_info();

}  // namespace sorvane::platform
