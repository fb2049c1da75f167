// The simulated desktop: adapters, the displays on them, what each display
// shows (the test card at the display's refresh rate, from an injected clock),
// the marks that clicks and touches leave, and the pointer. SimDuplication is
// the Desktop Duplication, display configuration and GDI view of it behind the
// IDuplication port, with fault points for the capture recovery paths.
// Thread-safe: input delivery, capture and tests may call from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/duplication.h"
#include "platform/sim/test_card.h"

namespace sorvane::sim {

enum class MarkKind { left_click, right_click, touch_down };

struct SimDisplay {
    uint32_t adapter_index = 0;
    uint32_t target_id = 0;   // the key of a display in every call below
    uint32_t source_id = 0;
    std::string gdi_name;     // "\\.\DISPLAY1"
    std::string device_id;    // the monitor's device interface path
    int32_t left = 0, top = 0;
    uint32_t width = 0, height = 0;
    uint32_t refresh_hz = 60;
    bool active = true;       // part of the desktop (attached)
    // A display that never presents shows nothing to duplication until it has
    // been nudged nudges_needed times.
    bool presents = true;
    uint32_t nudges_needed = 0;
    // The adapter LUID display configuration reports for the path; 0: the
    // LUID of the adapter the output is on. An indirect display's path
    // names the driver's adapter while its output is on the render GPU.
    uint64_t path_adapter_luid = 0;
};

struct PointerState {
    int32_t x = 0, y = 0;  // virtual-desktop coordinates
    bool visible = true;
    uint64_t position_version = 0;
    uint64_t shape_version = 0;
    platform::PointerShapeInfo shape_info;
    std::vector<uint8_t> shape;
};

class SimDesktop {
public:
    explicit SimDesktop(platform::IClock& clock);

    platform::IClock& clock() { return clock_; }

    // Adapters; the index returned is the factory position.
    uint32_t add_adapter(const platform::AdapterDesc& desc);
    std::vector<platform::AdapterDesc> adapters() const;
    // Replaces the adapter list (indices renumbered in order).
    void set_adapters(std::vector<platform::AdapterDesc> adapters);

    // Displays. add_display replaces a display with the same target id.
    void add_display(const SimDisplay& display);
    bool remove_display(uint32_t target_id);
    bool set_active(uint32_t target_id, bool active);
    bool set_presents(uint32_t target_id, bool presents, uint32_t nudges_needed);
    std::vector<SimDisplay> displays() const;
    bool display(uint32_t target_id, SimDisplay& out) const;

    // Leaves a mark at (x, y) of a display (display coordinates); the 16
    // newest marks of a display are kept. False for an unknown display.
    bool add_mark(uint32_t target_id, int32_t x, int32_t y, MarkKind kind);
    std::vector<Mark> marks(uint32_t target_id) const;

    // The pointer, in virtual-desktop coordinates.
    void set_pointer_position(int32_t x, int32_t y);
    void set_pointer_visible(bool visible);
    void set_pointer_shape(const platform::PointerShapeInfo& info, std::vector<uint8_t> pixels);
    PointerState pointer() const;

    // The refresh tick a display is at at monotonic time now_ms, and the frame
    // time (whole ms) of a tick.
    static uint64_t tick_at(uint32_t refresh_hz, uint64_t now_ms);
    static uint64_t tick_time_ms(uint32_t refresh_hz, uint64_t tick);

    // Draws what the display shows at a frame time. False for an unknown display.
    // With `drawn` (what `out` holds), only what changed since is drawn again.
    bool compose(uint32_t target_id, uint64_t frame_time_ms, platform::CpuTexture& out,
                 TestCardDrawn* drawn = nullptr) const;
    // The CPU time every compose so far took (its thread's CPU clock): the
    // work a GPU does under Windows, for benchmarks to leave out.
    uint64_t compose_cpu_us() const { return compose_cpu_us_.load(); }

    // Nudge and GDI accounting (the nudge wakes a never-presenting display).
    void nudge_at(int32_t left, int32_t top);
    uint32_t nudges() const;
    bool find_display_at(int32_t left, int32_t top, SimDisplay& out) const;

private:
    SimDisplay* find(uint32_t target_id);
    const SimDisplay* find(uint32_t target_id) const;

    platform::IClock& clock_;
    mutable std::mutex mutex_;
    std::vector<platform::AdapterDesc> adapters_;
    std::vector<SimDisplay> displays_;
    std::map<uint32_t, std::deque<Mark>> marks_;
    PointerState pointer_;
    uint32_t nudges_ = 0;
    mutable std::atomic<uint64_t> compose_cpu_us_{0};
};

// Named fault points of the duplication: the next `count` calls of an
// operation fail with `code`, after `skip` calls that succeed.
enum class DuplicationOp {
    enum_outputs,
    create_device,
    duplicate_output,
    acquire,
    release,
    pointer_shape,
    buffer_sizes,
    query_config,  // a code of kErrorInsufficientBuffer exercises the retry
    source_name,
};

class SimDuplication final : public platform::IDuplication {
public:
    explicit SimDuplication(SimDesktop& desktop);
    ~SimDuplication() override;

    void fail(DuplicationOp op, int32_t code, uint32_t count = 1, uint32_t skip = 0);
    // Every open duplication reports DXGI_ERROR_ACCESS_LOST from now on (a
    // mode change or the secure desktop).
    void lose_access();
    // Calls made so far, per operation.
    uint32_t calls(DuplicationOp op) const;
    uint32_t gdi_snapshots() const;
    uint32_t devices_created() const;

    int32_t enum_adapters(std::vector<platform::AdapterDesc>& out) override;
    int32_t enum_outputs(uint32_t adapter_index, std::vector<platform::OutputDesc>& out) override;
    int32_t create_device(uint32_t adapter_index, std::shared_ptr<platform::GpuDevice>& out) override;
    int32_t duplicate_output(uint32_t adapter_index, uint32_t output_index, const platform::GpuDevice& device,
                             std::unique_ptr<platform::IOutputDuplication>& out) override;
    int32_t display_config_buffer_sizes(uint32_t& path_count) override;
    int32_t query_display_config(uint32_t capacity, std::vector<platform::DisplayPath>& paths) override;
    int32_t source_gdi_name(uint64_t adapter_luid, uint32_t source_id, std::string& out) override;
    bool enum_display_devices(const std::string* adapter, uint32_t index, platform::DisplayDevice& out) override;
    bool snapshot_gdi(int32_t left, int32_t top, uint32_t width, uint32_t height, std::vector<uint8_t>& bgra) override;
    void nudge(int32_t left, int32_t top, int32_t right, int32_t bottom) override;
    int64_t performance_counter() override;

    // Used by the duplications this object hands out.
    bool take_fault(DuplicationOp op, int32_t& code);
    uint64_t generation() const;

private:
    struct Fault {
        int32_t code = 0;
        uint32_t count = 0;
        uint32_t skip = 0;
    };
    // Displays of one adapter in output order (every display, attached or not).
    std::vector<SimDisplay> outputs_of(uint32_t adapter_index) const;

    SimDesktop& desktop_;
    mutable std::mutex mutex_;
    std::map<DuplicationOp, Fault> faults_;
    std::map<DuplicationOp, uint32_t> calls_;
    uint64_t generation_ = 0;
    uint32_t gdi_snapshots_ = 0;
    uint32_t devices_created_ = 0;
};

}  // namespace sorvane::sim
