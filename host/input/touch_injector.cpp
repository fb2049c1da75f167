#include "host/input/touch_injector.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <span>

#include "host/core/log.h"

namespace sorvane {

namespace {

constexpr uint32_t kFlagsNew = platform::kPointerFlagDown | platform::kPointerFlagInRange |
                               platform::kPointerFlagInContact | platform::kPointerFlagNew;  // 0x10007
constexpr uint32_t kFlagsUpdate =
    platform::kPointerFlagUpdate | platform::kPointerFlagInRange | platform::kPointerFlagInContact;  // 0x20006
constexpr uint32_t kFlagsUp = platform::kPointerFlagUp;                                               // 0x40000
constexpr uint32_t kFlagsCancel = platform::kPointerFlagUp | platform::kPointerFlagCanceled;         // 0x48000

// The per-contact lines: the first few, then one in a hundred.
bool sampled(uint32_t n) { return n <= 20 || n % 100 == 0; }

int32_t saturate(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

bool finite(const proto::TouchPoint& p) { return std::isfinite(p.x) && std::isfinite(p.y); }

}  // namespace

TouchInjector::TouchInjector(uint32_t session_id, MonitorRef monitor, const TouchPorts& ports, std::string trace_path)
    : session_id_(session_id),
      monitor_(std::move(monitor)),
      devices_(ports.devices),
      monitors_(ports.monitors),
      desktop_(ports.desktop),
      clock_(ports.clock),
      trace_path_(std::move(trace_path)) {}

TouchInjector::~TouchInjector() {
    std::lock_guard<std::mutex> g(mutex_);
    trace_.reset();
    if (!device_) return;
    size_t count = 0;
    for (size_t id = 0; id < contacts_.size() && count < events_.size(); ++id) {
        Contact& c = contacts_[id];
        if (!c.open) continue;
        events_[count++] = make_contact(static_cast<uint8_t>(id), kFlagsCancel, c.injected_x, c.injected_y);
        c.open = false;
    }
    open_ = 0;
    if (count > 0) {
        uint32_t error = 0;
        if (device_->inject(std::span<const platform::TouchContact>(events_.data(), count), error)) {
            log("[session %" PRIu32 "] touch: %zu open contact(s) cancelled at session end", session_id_, count);
        } else {
            log("[session %" PRIu32 "] touch: InjectSyntheticPointerInput failed (GetLastError=%" PRIu32
                "), %zu contact(s)",
                session_id_, error, count);
        }
    }
    device_.reset();
}

platform::TouchContact TouchInjector::make_contact(uint8_t id, uint32_t flags, int32_t x, int32_t y) {
    platform::TouchContact c;
    c.pointer_type = platform::kPointerTypeTouch;
    c.pointer_id = id;
    c.pointer_flags = flags;
    c.pixel_location = platform::PointerPoint{x, y};
    c.touch_mask =
        platform::kTouchMaskContactArea | platform::kTouchMaskOrientation | platform::kTouchMaskPressure;
    c.contact = platform::PointerRect{x - 2, y - 2, x + 2, y + 2};
    c.orientation = 90;
    c.pressure = 32000;
    return c;
}

bool TouchInjector::setup() {
    std::lock_guard<std::mutex> g(mutex_);
    if (!device_) {
        uint32_t error = 0;
        device_ = devices_.create_pointer_device(platform::kPointerTypeTouch, kMaxContacts,
                                                 platform::kPointerFeedbackDefault, error);
        if (!device_) {
            log("[session %" PRIu32 "] touch: CreateSyntheticPointerDevice failed (GetLastError=%" PRIu32 ")",
                session_id_, error);
            return false;
        }
    }
    if (!lookup_rect_locked()) {
        log("[session %" PRIu32 "] touch: monitor not found, no injection target", session_id_);
        return false;
    }
    if (!trace_path_.empty() && !trace_) {
        platform::remove_file(trace_path_);  // each session's trace starts empty
        trace_ = platform::open_append(trace_path_);
        if (trace_ && trace_->append("recv_ms,frame_ts_ms,id,state,nx,ny,screen_x,screen_y,injected_x,injected_y\n")) {
            log("[session %" PRIu32 "] touch trace: %s", session_id_, trace_path_.c_str());
        } else {
            trace_.reset();
        }
    }
    log("[session %" PRIu32 "] touch: synthetic touch device ready (max %" PRIu32 " contacts), target %" PRId32
        "x%" PRId32 " at (%" PRId32 ",%" PRId32 "), virtual desktop origin (%" PRId32 ",%" PRId32 ")",
        session_id_, kMaxContacts, rect_.right - rect_.left, rect_.bottom - rect_.top, rect_.left, rect_.top,
        origin_x_, origin_y_);
    return true;
}

bool TouchInjector::lookup_rect_locked() {
    rect_time_ms_ = clock_.now_ms();
    DesktopRect r;
    if (!monitors_.monitor_rect(monitor_, r) || r.right <= r.left || r.bottom <= r.top) return false;
    const platform::VirtualScreen vs = desktop_.virtual_screen();
    // Desktop coordinates are far smaller than this; anything beyond is not a
    // monitor to map onto (and would overflow the arithmetic below).
    constexpr int32_t kLimit = 1 << 28;
    const auto in_range = [](int32_t v) { return v > -kLimit && v < kLimit; };
    if (!in_range(r.left) || !in_range(r.top) || !in_range(r.right) || !in_range(r.bottom) || !in_range(vs.left) ||
        !in_range(vs.top)) {
        return false;
    }
    rect_ = r;
    origin_x_ = vs.left;
    origin_y_ = vs.top;
    rect_valid_ = true;
    return true;
}

void TouchInjector::map_locked(float nx, float ny, Contact& out) const {
    const double cx = std::clamp(static_cast<double>(nx), 0.0, 1.0);
    const double cy = std::clamp(static_cast<double>(ny), 0.0, 1.0);
    const double w = static_cast<double>(rect_.right) - rect_.left - 1;
    const double h = static_cast<double>(rect_.bottom) - rect_.top - 1;
    out.nx = nx;
    out.ny = ny;
    const auto sx = static_cast<int64_t>(rect_.left) + static_cast<int64_t>(std::trunc(w * cx + 0.5));
    const auto sy = static_cast<int64_t>(rect_.top) + static_cast<int64_t>(std::trunc(h * cy + 0.5));
    out.screen_x = saturate(sx);
    out.screen_y = saturate(sy);
    out.injected_x = saturate(sx - origin_x_);
    out.injected_y = saturate(sy - origin_y_);
}

void TouchInjector::write_trace_locked(const proto::TouchFrame& frame) {
    trace_buffer_.clear();
    const unsigned long long now = clock_.now_ms();
    for (const auto& p : frame.points) {
        Contact at;
        if (finite(p)) map_locked(p.x, p.y, at);
        char line[200];
        const int n = std::snprintf(line, sizeof line,
                                    "%llu,%llu,%u,%u,%.4f,%.4f,%" PRId32 ",%" PRId32 ",%" PRId32 ",%" PRId32 "\n", now,
                                    static_cast<unsigned long long>(frame.time), static_cast<unsigned>(p.pointer_id),
                                    static_cast<unsigned>(p.phase), static_cast<double>(p.x),
                                    static_cast<double>(p.y), at.screen_x, at.screen_y, at.injected_x, at.injected_y);
        if (n > 0) trace_buffer_.append(line, std::min(static_cast<size_t>(n), sizeof line - 1));
    }
    if (!trace_->append(trace_buffer_)) trace_.reset();  // a trace that cannot be written is given up
}

// Contact ids and counts only: positions on an on-screen keyboard would
// spell out what was typed, and the host logs no key either.
void TouchInjector::log_contact_locked(const char* what, uint8_t id) {
    if (!sampled(++contact_lines_) || !line_ok()) return;
    log("[session %" PRIu32 "] touch %s id=%u (%zu contact(s) down)", session_id_, what, static_cast<unsigned>(id),
        open_);
}

bool TouchInjector::inject(const proto::TouchFrame& frame) {
    std::lock_guard<std::mutex> g(mutex_);
    if (frame.points.empty()) return true;
    if (!device_) return false;
    bool any_down = false;
    for (const auto& p : frame.points) any_down = any_down || p.phase == proto::kTouchDown;
    if (any_down || !rect_valid_ || clock_.now_ms() - rect_time_ms_ > kRectRefreshMs) lookup_rect_locked();
    if (!rect_valid_) return false;
    ++counters_.frames;
    if (trace_) write_trace_locked(frame);

    const auto& points = frame.points;
    // A contact id repeated in one frame counts once: its last entry.
    std::array<int16_t, 256> last;
    last.fill(-1);
    for (size_t i = 0; i < points.size(); ++i) last[points[i].pointer_id] = static_cast<int16_t>(i);

    // Contacts already down always get their event; new ones take what is
    // left of the device's count, both of contacts down and of one frame.
    size_t reserved = 0;
    size_t lifting = 0;
    for (size_t i = 0; i < points.size(); ++i) {
        const auto& p = points[i];
        if (last[p.pointer_id] != static_cast<int16_t>(i) || !contacts_[p.pointer_id].open) continue;
        if (p.phase == proto::kTouchUp || p.phase == proto::kTouchCancel) {
            ++reserved;
            ++lifting;
        } else if ((p.phase == proto::kTouchDown || p.phase == proto::kTouchMove) && finite(p)) {
            ++reserved;
        }
    }

    size_t count = 0;
    size_t opening = 0;
    for (size_t i = 0; i < points.size(); ++i) {
        const auto& p = points[i];
        const uint8_t id = p.pointer_id;
        if (last[id] != static_cast<int16_t>(i)) {
            ++counters_.ignored;
            continue;
        }
        const Contact& c = contacts_[id];
        Pending pend;
        pend.id = id;
        if (p.phase == proto::kTouchDown || p.phase == proto::kTouchMove) {
            if (!finite(p)) {
                ++counters_.invalid;
                continue;
            }
            map_locked(p.x, p.y, pend.at);
            if (c.open) {
                --reserved;
                pend.step = Step::update;
            } else {
                if (open_ - lifting + opening >= kMaxContacts || count + reserved >= kMaxContacts) {
                    ++counters_.refused;
                    continue;
                }
                ++opening;
                pend.step = p.phase == proto::kTouchDown ? Step::fresh : Step::from_move;
            }
        } else if (p.phase == proto::kTouchUp || p.phase == proto::kTouchCancel) {
            if (!c.open) {
                ++counters_.ignored;
                continue;
            }
            --reserved;
            // Lifting needs no position: a bad one lifts at the last point.
            if (finite(p)) {
                map_locked(p.x, p.y, pend.at);
            } else {
                ++counters_.invalid;
                pend.at = c;
            }
            pend.step = p.phase == proto::kTouchUp ? Step::up : Step::cancel;
        } else {
            ++counters_.ignored;
            continue;
        }
        pending_[count++] = pend;
    }
    if (count == 0) return true;

    for (size_t k = 0; k < count; ++k) {
        const Pending& pend = pending_[k];
        uint32_t flags = kFlagsUpdate;
        if (pend.step == Step::fresh || pend.step == Step::from_move) flags = kFlagsNew;
        if (pend.step == Step::up) flags = kFlagsUp;
        if (pend.step == Step::cancel) flags = kFlagsCancel;
        events_[k] = make_contact(pend.id, flags, pend.at.injected_x, pend.at.injected_y);
    }
    uint32_t error = 0;
    if (!device_->inject(std::span<const platform::TouchContact>(events_.data(), count), error)) {
        ++counters_.failed;
        if ((counters_.failed <= 10 || counters_.failed % 100 == 0) && line_ok()) {
            log("[session %" PRIu32 "] touch: InjectSyntheticPointerInput failed (GetLastError=%" PRIu32
                "), %zu contact(s)",
                session_id_, error, count);
        }
        return false;
    }

    // Accepted: now the contacts are what the system has seen.
    const uint32_t moves_before = counters_.moves;
    for (size_t k = 0; k < count; ++k) {
        const Pending& pend = pending_[k];
        Contact& c = contacts_[pend.id];
        switch (pend.step) {
            case Step::fresh:
            case Step::from_move:
                ++counters_.downs;
                c = pend.at;
                c.open = true;
                ++open_;
                log_contact_locked(pend.step == Step::fresh ? "down" : "down (from move)", pend.id);
                break;
            case Step::update:
                ++counters_.moves;
                c = pend.at;
                c.open = true;
                break;
            case Step::up:
            case Step::cancel:
                if (pend.step == Step::up) {
                    ++counters_.ups;
                } else {
                    ++counters_.cancels;
                }
                c.open = false;
                --open_;
                log_contact_locked(pend.step == Step::up ? "up" : "cancel", pend.id);
                break;
        }
    }
    if (counters_.moves != moves_before && ++counters_.move_logs % 25 == 1 && line_ok()) {
        char ids[kMaxContacts * 5 + 1];
        size_t used = 0;
        ids[0] = '\0';
        for (size_t id = 0; id < contacts_.size() && used < sizeof ids; ++id) {
            if (!contacts_[id].open) continue;
            const int n = std::snprintf(ids + used, sizeof ids - used, " %zu", id);
            if (n > 0) used += static_cast<size_t>(n);
        }
        log("[session %" PRIu32 "] touch move #%" PRIu32 ", contacts down:%s", session_id_, counters_.moves, ids);
    }
    return true;
}

TouchCounters TouchInjector::counters() const {
    std::lock_guard<std::mutex> g(mutex_);
    return counters_;
}

size_t TouchInjector::open_contacts() const {
    std::lock_guard<std::mutex> g(mutex_);
    return open_;
}

}  // namespace sorvane
