// Where the simulated machine's input goes once Windows' rules let it
// through: the simulated desktop implements this to move the pointer that
// duplication reports and to leave click and touch marks on its displays.
// Coordinates are desktop coordinates (the primary display's top-left corner
// is (0, 0)), already clamped to the displays.
#pragma once

#include <cstdint>

namespace sorvane::sim {

// Mouse buttons as the desktop sees them.
inline constexpr uint32_t kDesktopButtonLeft = 1;
inline constexpr uint32_t kDesktopButtonRight = 2;
inline constexpr uint32_t kDesktopButtonMiddle = 3;

struct DesktopKey {
    uint16_t vk = 0;    // 0 for a Unicode unit
    uint16_t unit = 0;  // UTF-16 unit of a Unicode key event, else 0
    bool extended = false;
    bool up = false;
};

class IDesktopInputTarget {
public:
    virtual ~IDesktopInputTarget() = default;
    // The pointer moved to (x, y).
    virtual void pointer_moved(int32_t x, int32_t y) = 0;
    // A mouse button went down with the pointer at (x, y).
    virtual void click(int32_t x, int32_t y, uint32_t button) = 0;
    // A touch contact went down at (x, y).
    virtual void touch_down(int32_t x, int32_t y) = 0;
    // A key or Unicode unit went down or up.
    virtual void key(const DesktopKey& key) = 0;
};

}  // namespace sorvane::sim
