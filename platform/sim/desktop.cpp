#include "platform/sim/desktop.h"

#include <time.h>

#include <algorithm>
#include <cstring>

namespace sorvane::sim {

using platform::kDxgiErrorAccessLost;
using platform::kDxgiErrorInvalidCall;
using platform::kDxgiErrorNotFound;
using platform::kDxgiErrorWaitTimeout;
using platform::kSOk;

SimDesktop::SimDesktop(platform::IClock& clock) : clock_(clock) {}

uint32_t SimDesktop::add_adapter(const platform::AdapterDesc& desc) {
    std::lock_guard lock(mutex_);
    adapters_.push_back(desc);
    adapters_.back().index = static_cast<uint32_t>(adapters_.size() - 1);
    return adapters_.back().index;
}

std::vector<platform::AdapterDesc> SimDesktop::adapters() const {
    std::lock_guard lock(mutex_);
    return adapters_;
}

void SimDesktop::set_adapters(std::vector<platform::AdapterDesc> adapters) {
    std::lock_guard lock(mutex_);
    adapters_ = std::move(adapters);
    for (size_t i = 0; i < adapters_.size(); ++i) adapters_[i].index = static_cast<uint32_t>(i);
}

SimDisplay* SimDesktop::find(uint32_t target_id) {
    for (SimDisplay& d : displays_) {
        if (d.target_id == target_id) return &d;
    }
    return nullptr;
}

const SimDisplay* SimDesktop::find(uint32_t target_id) const {
    for (const SimDisplay& d : displays_) {
        if (d.target_id == target_id) return &d;
    }
    return nullptr;
}

void SimDesktop::add_display(const SimDisplay& display) {
    std::lock_guard lock(mutex_);
    if (SimDisplay* d = find(display.target_id)) {
        *d = display;
    } else {
        displays_.push_back(display);
    }
}

bool SimDesktop::remove_display(uint32_t target_id) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(displays_.begin(), displays_.end(),
                           [&](const SimDisplay& d) { return d.target_id == target_id; });
    if (it == displays_.end()) return false;
    displays_.erase(it);
    marks_.erase(target_id);
    return true;
}

bool SimDesktop::set_active(uint32_t target_id, bool active) {
    std::lock_guard lock(mutex_);
    SimDisplay* d = find(target_id);
    if (!d) return false;
    d->active = active;
    return true;
}

bool SimDesktop::set_presents(uint32_t target_id, bool presents, uint32_t nudges_needed) {
    std::lock_guard lock(mutex_);
    SimDisplay* d = find(target_id);
    if (!d) return false;
    d->presents = presents;
    d->nudges_needed = nudges_needed;
    return true;
}

std::vector<SimDisplay> SimDesktop::displays() const {
    std::lock_guard lock(mutex_);
    return displays_;
}

bool SimDesktop::display(uint32_t target_id, SimDisplay& out) const {
    std::lock_guard lock(mutex_);
    const SimDisplay* d = find(target_id);
    if (!d) return false;
    out = *d;
    return true;
}

bool SimDesktop::add_mark(uint32_t target_id, int32_t x, int32_t y, MarkKind kind) {
    std::lock_guard lock(mutex_);
    if (!find(target_id)) return false;
    auto& list = marks_[target_id];
    list.push_back(Mark{x, y, kind == MarkKind::right_click ? kMarkCyan : kMarkMagenta});
    while (list.size() > kMarksKept) list.pop_front();
    return true;
}

std::vector<Mark> SimDesktop::marks(uint32_t target_id) const {
    std::lock_guard lock(mutex_);
    auto it = marks_.find(target_id);
    if (it == marks_.end()) return {};
    return {it->second.begin(), it->second.end()};
}

void SimDesktop::set_pointer_position(int32_t x, int32_t y) {
    std::lock_guard lock(mutex_);
    pointer_.x = x;
    pointer_.y = y;
    ++pointer_.position_version;
}

void SimDesktop::set_pointer_visible(bool visible) {
    std::lock_guard lock(mutex_);
    pointer_.visible = visible;
    ++pointer_.position_version;
}

void SimDesktop::set_pointer_shape(const platform::PointerShapeInfo& info, std::vector<uint8_t> pixels) {
    std::lock_guard lock(mutex_);
    pointer_.shape_info = info;
    pointer_.shape = std::move(pixels);
    ++pointer_.shape_version;
}

PointerState SimDesktop::pointer() const {
    std::lock_guard lock(mutex_);
    return pointer_;
}

uint64_t SimDesktop::tick_at(uint32_t refresh_hz, uint64_t now_ms) {
    if (refresh_hz == 0) refresh_hz = 60;
    return now_ms * refresh_hz / 1000;
}

uint64_t SimDesktop::tick_time_ms(uint32_t refresh_hz, uint64_t tick) {
    if (refresh_hz == 0) refresh_hz = 60;
    // The first whole millisecond at which the tick has begun.
    return (tick * 1000 + refresh_hz - 1) / refresh_hz;
}

bool SimDesktop::compose(uint32_t target_id, uint64_t frame_time_ms, platform::CpuTexture& out,
                         TestCardDrawn* drawn) const {
    std::vector<Mark> list;
    uint32_t w = 0, h = 0;
    {
        std::lock_guard lock(mutex_);
        const SimDisplay* d = find(target_id);
        if (!d) return false;
        w = d->width;
        h = d->height;
        auto it = marks_.find(target_id);
        if (it != marks_.end()) list.assign(it->second.begin(), it->second.end());
    }
    timespec t0{}, t1{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
    if (drawn) {
        compose_test_card(w, h, frame_time_ms, list, out, *drawn);
    } else {
        compose_test_card(w, h, frame_time_ms, list, out);
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
    const int64_t us = (t1.tv_sec - t0.tv_sec) * 1'000'000 + (t1.tv_nsec - t0.tv_nsec) / 1000;
    if (us > 0) compose_cpu_us_.fetch_add(static_cast<uint64_t>(us));
    return true;
}

bool SimDesktop::find_display_at(int32_t left, int32_t top, SimDisplay& out) const {
    std::lock_guard lock(mutex_);
    for (const SimDisplay& d : displays_) {
        if (d.active && left >= d.left && top >= d.top && left < d.left + static_cast<int32_t>(d.width) &&
            top < d.top + static_cast<int32_t>(d.height)) {
            out = d;
            return true;
        }
    }
    return false;
}

void SimDesktop::nudge_at(int32_t left, int32_t top) {
    std::lock_guard lock(mutex_);
    ++nudges_;
    for (SimDisplay& d : displays_) {
        if (d.active && left >= d.left && top >= d.top && left < d.left + static_cast<int32_t>(d.width) &&
            top < d.top + static_cast<int32_t>(d.height)) {
            if (d.nudges_needed > 0) --d.nudges_needed;
            if (d.nudges_needed == 0) d.presents = true;
        }
    }
}

uint32_t SimDesktop::nudges() const {
    std::lock_guard lock(mutex_);
    return nudges_;
}

// ---------------------------------------------------------------------------

namespace {

class SimOutputDuplication final : public platform::IOutputDuplication {
public:
    SimOutputDuplication(SimDuplication& owner, SimDesktop& desktop, uint32_t target_id)
        : owner_(owner), desktop_(desktop), target_(target_id), generation_(owner.generation()) {
        PointerState p = desktop_.pointer();
        // The first acquire reports the pointer and its shape, as a new
        // duplication does.
        seen_position_ = p.position_version - 1;
        seen_shape_ = p.shape_version == 0 ? 0 : p.shape_version - 1;
    }

    int32_t acquire_next_frame(uint32_t timeout_ms, platform::DuplicationFrameInfo& info,
                               const platform::CpuTexture*& texture) override {
        info = {};
        texture = nullptr;
        int32_t code = 0;
        if (owner_.take_fault(DuplicationOp::acquire, code)) return code;
        if (held_) return kDxgiErrorInvalidCall;
        platform::IClock& clock = desktop_.clock();
        uint64_t deadline = clock.now_ms() + timeout_ms;
        for (;;) {
            if (owner_.generation() != generation_) return kDxgiErrorAccessLost;
            SimDisplay d;
            if (!desktop_.display(target_, d) || !d.active) return kDxgiErrorAccessLost;
            uint64_t now = clock.now_ms();
            uint64_t tick = SimDesktop::tick_at(d.refresh_hz, now);
            bool image = d.presents && (!any_frame_ || tick > last_tick_);
            PointerState p = desktop_.pointer();
            bool moved = p.position_version != seen_position_;
            bool shaped = p.shape_version != seen_shape_ && !p.shape.empty();
            if (image || moved || shaped) {
                if (image) {
                    uint64_t t = SimDesktop::tick_time_ms(d.refresh_hz, tick);
                    desktop_.compose(target_, t, frame_, &drawn_);
                    info.last_present_time = static_cast<int64_t>(t) * 10000;
                    last_tick_ = tick;
                    any_frame_ = true;
                } else if (frame_.empty()) {
                    frame_.allocate(d.width, d.height, platform::kFormatBgra8);
                }
                if (moved || shaped) {
                    info.last_mouse_update_time = static_cast<int64_t>(now) * 10000 + 1;
                    info.pointer_visible = p.visible;
                    info.pointer_x = p.x - d.left;
                    info.pointer_y = p.y - d.top;
                    seen_position_ = p.position_version;
                }
                if (shaped) {
                    info.pointer_shape_buffer_size = static_cast<uint32_t>(p.shape.size());
                    seen_shape_ = p.shape_version;
                }
                held_ = true;
                texture = &frame_;
                return kSOk;
            }
            if (now >= deadline) return kDxgiErrorWaitTimeout;
            uint64_t next = SimDesktop::tick_time_ms(d.refresh_hz, tick + 1);
            uint64_t until = d.presents ? std::min(deadline, std::max(next, now + 1)) : deadline;
            clock.sleep_ms(until - now);
        }
    }

    int32_t release_frame() override {
        int32_t code = 0;
        if (owner_.take_fault(DuplicationOp::release, code)) {
            held_ = false;
            return code;
        }
        if (!held_) return kDxgiErrorInvalidCall;
        held_ = false;
        return kSOk;
    }

    int32_t get_frame_pointer_shape(std::vector<uint8_t>& buffer, platform::PointerShapeInfo& info) override {
        int32_t code = 0;
        if (owner_.take_fault(DuplicationOp::pointer_shape, code)) return code;
        if (!held_) return kDxgiErrorInvalidCall;
        PointerState p = desktop_.pointer();
        if (buffer.size() < p.shape.size()) return platform::kEInvalidArg;
        std::memcpy(buffer.data(), p.shape.data(), p.shape.size());
        info = p.shape_info;
        return kSOk;
    }

private:
    SimDuplication& owner_;
    SimDesktop& desktop_;
    uint32_t target_;
    uint64_t generation_;
    bool held_ = false;
    bool any_frame_ = false;
    uint64_t last_tick_ = 0;
    uint64_t seen_position_ = 0;
    uint64_t seen_shape_ = 0;
    platform::CpuTexture frame_;
    TestCardDrawn drawn_;  // what frame_ holds
};

}  // namespace

SimDuplication::SimDuplication(SimDesktop& desktop) : desktop_(desktop) {}
SimDuplication::~SimDuplication() = default;

void SimDuplication::fail(DuplicationOp op, int32_t code, uint32_t count, uint32_t skip) {
    std::lock_guard lock(mutex_);
    faults_[op] = Fault{code, count, skip};
}

void SimDuplication::lose_access() {
    std::lock_guard lock(mutex_);
    ++generation_;
}

uint64_t SimDuplication::generation() const {
    std::lock_guard lock(mutex_);
    return generation_;
}

uint32_t SimDuplication::calls(DuplicationOp op) const {
    std::lock_guard lock(mutex_);
    auto it = calls_.find(op);
    return it == calls_.end() ? 0 : it->second;
}

uint32_t SimDuplication::gdi_snapshots() const {
    std::lock_guard lock(mutex_);
    return gdi_snapshots_;
}

uint32_t SimDuplication::devices_created() const {
    std::lock_guard lock(mutex_);
    return devices_created_;
}

bool SimDuplication::take_fault(DuplicationOp op, int32_t& code) {
    std::lock_guard lock(mutex_);
    ++calls_[op];
    auto it = faults_.find(op);
    if (it == faults_.end() || it->second.count == 0) return false;
    if (it->second.skip > 0) {
        --it->second.skip;
        return false;
    }
    code = it->second.code;
    if (--it->second.count == 0) faults_.erase(it);
    return true;
}

std::vector<SimDisplay> SimDuplication::outputs_of(uint32_t adapter_index) const {
    std::vector<SimDisplay> out;
    for (const SimDisplay& d : desktop_.displays()) {
        if (d.adapter_index == adapter_index) out.push_back(d);
    }
    return out;
}

int32_t SimDuplication::enum_adapters(std::vector<platform::AdapterDesc>& out) {
    out = desktop_.adapters();
    return kSOk;
}

int32_t SimDuplication::enum_outputs(uint32_t adapter_index, std::vector<platform::OutputDesc>& out) {
    out.clear();
    int32_t code = 0;
    if (take_fault(DuplicationOp::enum_outputs, code)) return code;
    if (adapter_index >= desktop_.adapters().size()) return kDxgiErrorNotFound;
    for (const SimDisplay& d : outputs_of(adapter_index)) {
        platform::OutputDesc o;
        o.device_name = d.gdi_name;
        o.left = d.left;
        o.top = d.top;
        o.right = d.left + static_cast<int32_t>(d.width);
        o.bottom = d.top + static_cast<int32_t>(d.height);
        o.attached = d.active;
        out.push_back(o);
    }
    return kSOk;
}

int32_t SimDuplication::create_device(uint32_t adapter_index, std::shared_ptr<platform::GpuDevice>& out) {
    int32_t code = 0;
    if (take_fault(DuplicationOp::create_device, code)) return code;
    auto adapters = desktop_.adapters();
    if (adapter_index >= adapters.size()) return platform::kEInvalidArg;
    out = std::make_shared<platform::GpuDevice>();
    out->adapter = adapters[adapter_index];
    std::lock_guard lock(mutex_);
    ++devices_created_;
    return kSOk;
}

int32_t SimDuplication::duplicate_output(uint32_t adapter_index, uint32_t output_index,
                                         const platform::GpuDevice& device,
                                         std::unique_ptr<platform::IOutputDuplication>& out) {
    out.reset();
    int32_t code = 0;
    if (take_fault(DuplicationOp::duplicate_output, code)) return code;
    if (device.adapter.index != adapter_index) return platform::kEInvalidArg;
    auto outputs = outputs_of(adapter_index);
    if (output_index >= outputs.size()) return kDxgiErrorNotFound;
    if (!outputs[output_index].active) return platform::kEInvalidArg;
    out = std::make_unique<SimOutputDuplication>(*this, desktop_, outputs[output_index].target_id);
    return kSOk;
}

int32_t SimDuplication::display_config_buffer_sizes(uint32_t& path_count) {
    int32_t code = 0;
    if (take_fault(DuplicationOp::buffer_sizes, code)) return code;
    path_count = 0;
    for (const SimDisplay& d : desktop_.displays()) path_count += d.active ? 1 : 0;
    return platform::kErrorSuccess;
}

int32_t SimDuplication::query_display_config(uint32_t capacity, std::vector<platform::DisplayPath>& paths) {
    paths.clear();
    int32_t code = 0;
    if (take_fault(DuplicationOp::query_config, code)) return code;
    auto adapters = desktop_.adapters();
    for (const SimDisplay& d : desktop_.displays()) {
        if (!d.active) continue;
        uint64_t luid = d.path_adapter_luid != 0                ? d.path_adapter_luid
                        : d.adapter_index < adapters.size() ? adapters[d.adapter_index].luid
                                                            : 0;
        paths.push_back(platform::DisplayPath{luid, d.source_id, luid, d.target_id});
    }
    if (paths.size() > capacity) {
        paths.clear();
        return platform::kErrorInsufficientBuffer;
    }
    return platform::kErrorSuccess;
}

int32_t SimDuplication::source_gdi_name(uint64_t adapter_luid, uint32_t source_id, std::string& out) {
    int32_t code = 0;
    if (take_fault(DuplicationOp::source_name, code)) return code;
    auto adapters = desktop_.adapters();
    for (const SimDisplay& d : desktop_.displays()) {
        uint64_t luid = d.path_adapter_luid != 0                ? d.path_adapter_luid
                        : d.adapter_index < adapters.size() ? adapters[d.adapter_index].luid
                                                            : 0;
        if (d.active && luid == adapter_luid && d.source_id == source_id) {
            out = d.gdi_name;
            return platform::kErrorSuccess;
        }
    }
    return 87;  // ERROR_INVALID_PARAMETER
}

bool SimDuplication::enum_display_devices(const std::string* adapter, uint32_t index, platform::DisplayDevice& out) {
    auto list = desktop_.displays();
    if (adapter == nullptr) {
        if (index >= list.size()) return false;
        out = platform::DisplayDevice{list[index].gdi_name, {}, list[index].active};
        return true;
    }
    // The monitors of a display device: every display with that GDI name.
    uint32_t seen = 0;
    for (const SimDisplay& d : list) {
        if (d.gdi_name != *adapter) continue;
        if (seen++ == index) {
            out = platform::DisplayDevice{d.gdi_name + "\\Monitor" + std::to_string(index), d.device_id, d.active};
            return true;
        }
    }
    return false;
}

bool SimDuplication::snapshot_gdi(int32_t left, int32_t top, uint32_t width, uint32_t height,
                                  std::vector<uint8_t>& bgra) {
    {
        std::lock_guard lock(mutex_);
        ++gdi_snapshots_;
    }
    SimDisplay d;
    if (!desktop_.find_display_at(left, top, d)) return false;
    platform::CpuTexture card;
    uint64_t tick = SimDesktop::tick_at(d.refresh_hz, desktop_.clock().now_ms());
    desktop_.compose(d.target_id, SimDesktop::tick_time_ms(d.refresh_hz, tick), card);
    bgra.assign(static_cast<size_t>(width) * height * 4, 0);
    int32_t ox = left - d.left, oy = top - d.top;
    for (uint32_t y = 0; y < height; ++y) {
        int64_t sy = oy + static_cast<int64_t>(y);
        if (sy < 0 || sy >= static_cast<int64_t>(card.height)) continue;
        for (uint32_t x = 0; x < width; ++x) {
            int64_t sx = ox + static_cast<int64_t>(x);
            if (sx < 0 || sx >= static_cast<int64_t>(card.width)) continue;
            std::memcpy(&bgra[(static_cast<size_t>(y) * width + x) * 4], card.row(static_cast<uint32_t>(sy)) + sx * 4, 4);
        }
    }
    return true;
}

void SimDuplication::nudge(int32_t left, int32_t top, int32_t /*right*/, int32_t /*bottom*/) {
    desktop_.nudge_at(left + 2, top + 2);
}

int64_t SimDuplication::performance_counter() {
    return static_cast<int64_t>(desktop_.clock().now_us()) * 10;
}

}  // namespace sorvane::sim
