#include "platform/sim/machine_desktop.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <set>

#include "platform/paths.h"

namespace sorvane::sim {

namespace {

uint64_t luid64(const SimLuid& l) { return static_cast<uint64_t>(l.high) << 32 | l.low; }

// The input journal starts afresh when it has grown past this.
constexpr off_t kJournalFileLimit = 8 << 20;

}  // namespace

// ---------------------------------------------------------------- input target

void SimDesktopInputTarget::pointer_moved(int32_t x, int32_t y) { desktop_.set_pointer_position(x, y); }

void SimDesktopInputTarget::click(int32_t x, int32_t y, uint32_t button) {
    if (button != kDesktopButtonLeft && button != kDesktopButtonRight) return;
    SimDisplay d;
    if (!desktop_.find_display_at(x, y, d)) return;
    desktop_.add_mark(d.target_id, x - d.left, y - d.top,
                      button == kDesktopButtonLeft ? MarkKind::left_click : MarkKind::right_click);
}

void SimDesktopInputTarget::touch_down(int32_t x, int32_t y) {
    SimDisplay d;
    if (desktop_.find_display_at(x, y, d)) desktop_.add_mark(d.target_id, x - d.left, y - d.top, MarkKind::touch_down);
}

void SimDesktopInputTarget::key(const DesktopKey&) {}  // keys reach the input journal, not the picture

std::string monitor_interface_path(const std::string& device_instance) {
    std::string out = "\\\\?\\";
    for (const char c : device_instance) out += c == '\\' ? '#' : c;
    return out + "#{e6f07b5f-ee97-4a90-b076-33f57bf4eaa7}";
}

// ---------------------------------------------------------------- ports

namespace {

class RefreshingOutput final : public platform::IOutputDuplication {
public:
    RefreshingOutput(MachineDesktop& owner, std::unique_ptr<platform::IOutputDuplication> inner)
        : owner_(owner), inner_(std::move(inner)) {}
    int32_t acquire_next_frame(uint32_t timeout_ms, platform::DuplicationFrameInfo& info,
                               const platform::CpuTexture*& texture) override {
        owner_.refresh();
        const int32_t hr = inner_->acquire_next_frame(timeout_ms, info, texture);
        owner_.report_drawing();
        return hr;
    }
    int32_t release_frame() override { return inner_->release_frame(); }
    int32_t get_frame_pointer_shape(std::vector<uint8_t>& buffer, platform::PointerShapeInfo& info) override {
        return inner_->get_frame_pointer_shape(buffer, info);
    }

private:
    MachineDesktop& owner_;
    std::unique_ptr<platform::IOutputDuplication> inner_;
};

class MachineDuplicationPort final : public platform::IDuplication {
public:
    explicit MachineDuplicationPort(MachineDesktop& owner) : owner_(owner), dup_(owner.duplication()) {}

    int32_t enum_adapters(std::vector<platform::AdapterDesc>& out) override {
        owner_.refresh();
        return dup_.enum_adapters(out);
    }
    int32_t enum_outputs(uint32_t adapter_index, std::vector<platform::OutputDesc>& out) override {
        owner_.refresh();
        return dup_.enum_outputs(adapter_index, out);
    }
    int32_t create_device(uint32_t adapter_index, std::shared_ptr<platform::GpuDevice>& out) override {
        return dup_.create_device(adapter_index, out);
    }
    int32_t duplicate_output(uint32_t adapter_index, uint32_t output_index, const platform::GpuDevice& device,
                             std::unique_ptr<platform::IOutputDuplication>& out) override {
        owner_.refresh();
        std::unique_ptr<platform::IOutputDuplication> inner;
        const int32_t hr = dup_.duplicate_output(adapter_index, output_index, device, inner);
        out.reset();
        if (inner) out = std::make_unique<RefreshingOutput>(owner_, std::move(inner));
        return hr;
    }
    int32_t display_config_buffer_sizes(uint32_t& path_count) override {
        owner_.refresh();
        return dup_.display_config_buffer_sizes(path_count);
    }
    int32_t query_display_config(uint32_t capacity, std::vector<platform::DisplayPath>& paths) override {
        owner_.refresh();
        return dup_.query_display_config(capacity, paths);
    }
    int32_t source_gdi_name(uint64_t adapter_luid, uint32_t source_id, std::string& out) override {
        return dup_.source_gdi_name(adapter_luid, source_id, out);
    }
    bool enum_display_devices(const std::string* adapter, uint32_t index, platform::DisplayDevice& out) override {
        if (adapter == nullptr && index == 0) owner_.refresh();
        return dup_.enum_display_devices(adapter, index, out);
    }
    bool snapshot_gdi(int32_t left, int32_t top, uint32_t width, uint32_t height,
                      std::vector<uint8_t>& bgra) override {
        return dup_.snapshot_gdi(left, top, width, height, bgra);
    }
    void nudge(int32_t left, int32_t top, int32_t right, int32_t bottom) override {
        dup_.nudge(left, top, right, bottom);
    }
    int64_t performance_counter() override { return dup_.performance_counter(); }

private:
    MachineDesktop& owner_;
    SimDuplication& dup_;
};

class RefreshingTouchDevice final : public platform::ITouchDevice {
public:
    RefreshingTouchDevice(MachineDesktop& owner, std::unique_ptr<platform::ITouchDevice> inner)
        : owner_(owner), inner_(std::move(inner)) {}
    bool inject(std::span<const platform::TouchContact> contacts, uint32_t& error) override {
        owner_.refresh();
        return inner_->inject(contacts, error);
    }

private:
    MachineDesktop& owner_;
    std::unique_ptr<platform::ITouchDevice> inner_;
};

// Every input port of the machine's input stack, looking at the machine first.
class MachineInputPorts final : public platform::IInputSink,
                                public platform::IForegroundInfo,
                                public platform::IDesktopInfo,
                                public platform::ITouchDeviceFactory {
public:
    explicit MachineInputPorts(MachineDesktop& owner) : owner_(owner), in_(owner.input()) {}

    uint32_t send_input(std::span<const platform::InputEvent> events, uint32_t& error) override {
        owner_.refresh();
        return in_.send_input(events, error);
    }
    uint32_t map_virtual_key(uint32_t code, uint32_t map_type) override { return in_.map_virtual_key(code, map_type); }
    uint32_t current_process_id() override {
        owner_.refresh();
        return in_.current_process_id();
    }
    platform::TokenQuery current_process_token() override {
        owner_.refresh();
        return in_.current_process_token();
    }
    uint32_t foreground_process_id() override {
        owner_.refresh();
        return in_.foreground_process_id();
    }
    bool query_process(uint32_t pid, platform::ProcessQuery& out, uint32_t& error) override {
        return in_.query_process(pid, out, error);
    }
    platform::VirtualScreen virtual_screen() override {
        owner_.refresh();
        return in_.virtual_screen();
    }
    bool input_desktop_name(std::string& out, uint32_t& error) override {
        owner_.refresh();
        return in_.input_desktop_name(out, error);
    }
    std::unique_ptr<platform::ITouchDevice> create_pointer_device(uint32_t pointer_type, uint32_t max_count,
                                                                  uint32_t feedback_mode, uint32_t& error) override {
        owner_.refresh();
        auto inner = in_.create_pointer_device(pointer_type, max_count, feedback_mode, error);
        if (!inner) return nullptr;
        return std::make_unique<RefreshingTouchDevice>(owner_, std::move(inner));
    }

private:
    MachineDesktop& owner_;
    SimInputMachine& in_;
};

}  // namespace

// ---------------------------------------------------------------- desktop

MachineDesktop::MachineDesktop(std::shared_ptr<Machine> machine, platform::IClock& clock)
    : machine_(std::move(machine)),
      clock_(clock),
      desktop_(clock),
      duplication_(desktop_),
      input_(clock),
      target_(desktop_) {
    input_.set_displays({});
    input_.set_host(static_cast<uint32_t>(::getpid()), false);
    input_.set_target(&target_);
    if (!machine_->in_memory()) input_.set_journal_sink([this](const std::string& line) { write_journal_line(line); });
}

MachineDesktop::~MachineDesktop() {
    input_.set_target(nullptr);
    input_.set_journal_sink(nullptr);
    if (journal_fd_ >= 0) ::close(journal_fd_);
}

std::string MachineDesktop::journal_path() const {
    return machine_->in_memory() ? std::string() : platform::join_path(machine_->folder(), "input.log");
}

std::string MachineDesktop::last_error() const {
    std::lock_guard<std::mutex> g(mutex_);
    return last_error_;
}

void MachineDesktop::write_journal_line(const std::string& line) {
    std::lock_guard<std::mutex> g(journal_mutex_);
    if (journal_fd_ < 0) {
        const std::string path = journal_path();
        journal_fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (journal_fd_ < 0) return;
        struct stat st{};
        if (::fstat(journal_fd_, &st) == 0 && st.st_size > kJournalFileLimit) {
            if (::ftruncate(journal_fd_, 0) != 0) {
                // Keeps appending to the long file.
            }
        }
    }
    std::string text = line;
    text += '\n';
    // One write per line: lines of several processes never interleave.
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(journal_fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

MachineDesktop::FileStamp MachineDesktop::stamp_of(const char* model) const {
    FileStamp s;
    struct stat st{};
    const std::string path = platform::join_path(machine_->folder(), std::string(model) + ".json");
    if (::stat(path.c_str(), &st) != 0) return s;
    s.ino = static_cast<uint64_t>(st.st_ino);
    s.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.size = static_cast<int64_t>(st.st_size);
    return s;
}

bool MachineDesktop::refresh() {
    std::lock_guard<std::mutex> g(refresh_mutex_);
    FileStamp d, i, s;
    if (!machine_->in_memory()) {
        d = stamp_of(DisplayModel::kName);
        i = stamp_of(InputModel::kName);
        s = stamp_of(SystemModel::kName);
        const uint64_t now = clock_.now_ms();
        const bool look_for_drivers = drivers_loaded_ && now >= next_driver_look_ms_;
        if (look_for_drivers) next_driver_look_ms_ = now + 250;
        if (looked_ && !look_for_drivers && d == display_stamp_ && i == input_stamp_ && s == system_stamp_) return true;
    }
    DisplayModel display;
    InputModel input;
    bool elevated = false;
    if (!machine_->read([&](const MachineState& st) {
            display = st.display;
            input = st.input;
            elevated = st.system.elevated;
            drivers_loaded_ = false;
            for (const DeviceNode& n : st.devices.nodes) drivers_loaded_ = drivers_loaded_ || n.driver_host != 0;
        })) {
        std::lock_guard<std::mutex> e(mutex_);
        last_error_ = "read the machine: " + machine_->last_error();
        return false;
    }
    looked_ = true;
    display_stamp_ = d;
    input_stamp_ = i;
    system_stamp_ = s;
    std::string text = display.to_json().write() + input.to_json().write() + (elevated ? "elevated" : "limited");
    if (text == applied_) return true;
    applied_ = std::move(text);
    apply(display, input, elevated);
    return true;
}

void MachineDesktop::apply(const DisplayModel& display, const InputModel& input, bool host_elevated) {
    // DXGI's adapters: the GPUs (indirect display adapters do not render;
    // their monitors are outputs of the render GPU).
    std::vector<platform::AdapterDesc> adapters;
    std::optional<uint32_t> render_index;
    const SimGpu* render = display.default_render_gpu();
    for (const SimGpu& gpu : display.gpus) {
        if (gpu.indirect) continue;
        platform::AdapterDesc a;
        a.index = static_cast<uint32_t>(adapters.size());
        a.description = gpu.name;
        a.vendor_id = gpu.vendor_id;
        a.luid = luid64(gpu.luid);
        a.software = gpu.software;
        if (render != nullptr && gpu.luid == render->luid) render_index = a.index;
        adapters.push_back(a);
    }
    if (!render_index && !adapters.empty()) render_index = 0;

    std::lock_guard<std::mutex> g(mutex_);
    // Which displays the topology has, with their GDI names kept while they stay.
    std::vector<std::pair<std::string, const SimTarget*>> wanted;
    std::set<uint32_t> target_ids;
    for (const SimTarget& t : display.targets) {
        if (!t.active || t.mode.width == 0 || t.mode.height == 0) continue;
        // Displays are keyed by target id; a second adapter's target with the
        // same id cannot be shown.
        if (!target_ids.insert(t.id).second) continue;
        wanted.emplace_back(luid_string(t.adapter) + "/" + std::to_string(t.id), &t);
    }
    for (auto it = gdi_numbers_.begin(); it != gdi_numbers_.end();) {
        const bool keep = std::any_of(wanted.begin(), wanted.end(), [&](const auto& w) { return w.first == it->first; });
        it = keep ? std::next(it) : gdi_numbers_.erase(it);
    }
    for (const auto& w : wanted) {
        if (gdi_numbers_.count(w.first) != 0) continue;
        uint32_t n = 1;
        while (std::any_of(gdi_numbers_.begin(), gdi_numbers_.end(), [&](const auto& e) { return e.second == n; })) ++n;
        gdi_numbers_[w.first] = n;
    }

    std::vector<SimDisplay> next;
    for (const auto& [key, t] : wanted) {
        SimDisplay d;
        if (t->indirect || display.find_gpu(t->adapter) == nullptr) {
            if (!render_index) continue;
            d.adapter_index = *render_index;
        } else {
            // Not captured as a structured binding: clang 14 rejects that.
            const auto wanted_luid = luid64(t->adapter);
            const auto a = std::find_if(adapters.begin(), adapters.end(),
                                        [&](const platform::AdapterDesc& x) { return x.luid == wanted_luid; });
            if (a == adapters.end()) continue;
            d.adapter_index = a->index;
        }
        const uint32_t n = gdi_numbers_[key];
        d.target_id = t->id;
        d.source_id = n - 1;
        d.gdi_name = "\\\\.\\DISPLAY" + std::to_string(n);
        d.device_id = monitor_interface_path(t->device);
        d.left = t->x;
        d.top = t->y;
        d.width = DisplayModel::path_width(*t);
        d.height = DisplayModel::path_height(*t);
        d.refresh_hz = t->mode.refresh == 0 ? 60 : t->mode.refresh;
        d.path_adapter_luid = luid64(t->adapter);
        next.push_back(d);
    }

    desktop_.set_adapters(adapters);
    bool lost = false;
    for (const SimDisplay& old : desktop_.displays()) {
        const bool stays = std::any_of(next.begin(), next.end(), [&](const SimDisplay& d) { return d.target_id == old.target_id; });
        if (!stays) desktop_.remove_display(old.target_id);
    }
    std::vector<platform::PointerRect> rects;
    for (SimDisplay d : next) {
        SimDisplay old;
        if (desktop_.display(d.target_id, old)) {
            // A display that moved or changed its mode: every duplication
            // loses access, as after a mode change on Windows.
            if (old.left != d.left || old.top != d.top || old.width != d.width || old.height != d.height ||
                old.refresh_hz != d.refresh_hz || old.adapter_index != d.adapter_index) {
                lost = true;
            }
            d.presents = old.presents;
            d.nudges_needed = old.nudges_needed;
        }
        desktop_.add_display(d);
        rects.push_back(platform::PointerRect{d.left, d.top, d.left + static_cast<int32_t>(d.width),
                                              d.top + static_cast<int32_t>(d.height)});
    }
    if (lost) duplication_.lose_access();

    input_.set_displays(std::move(rects));
    input_.set_host(static_cast<uint32_t>(::getpid()), host_elevated);
    if (input.input_desktop.empty() || input.input_desktop == "Default") {
        std::string current;
        uint32_t error = 0;
        if (input_.input_desktop_name(current, error) && current != "Default") input_.set_input_desktop("Default");
    } else {
        std::string current;
        uint32_t error = 0;
        if (input_.input_desktop_name(current, error) && current != input.input_desktop) {
            input_.set_input_desktop(input.input_desktop);
        }
    }
    const uint32_t pid = input.foreground.empty() ? 0 : input.foreground_pid;
    if (pid != 0) {
        SimProcess p;
        p.pid = pid;
        p.image_path = input.foreground_image_path();
        p.elevated = input.foreground_elevated;
        input_.add_process(p);
    }
    if (pid != applied_foreground_) {
        input_.set_foreground(pid);
        applied_foreground_ = pid;
    }
}

std::unique_ptr<platform::IDuplication> MachineDesktop::make_duplication() {
    return std::make_unique<MachineDuplicationPort>(*this);
}
std::unique_ptr<platform::IInputSink> MachineDesktop::make_input_sink() { return std::make_unique<MachineInputPorts>(*this); }
std::unique_ptr<platform::IForegroundInfo> MachineDesktop::make_foreground_info() {
    return std::make_unique<MachineInputPorts>(*this);
}
std::unique_ptr<platform::IDesktopInfo> MachineDesktop::make_desktop_info() {
    return std::make_unique<MachineInputPorts>(*this);
}
std::unique_ptr<platform::ITouchDeviceFactory> MachineDesktop::make_touch_device_factory() {
    return std::make_unique<MachineInputPorts>(*this);
}

void MachineDesktop::report_drawing() {
    // SORVANE_SIM_DESKTOP_CPU names a file that gets the desktop's drawing
    // time in microseconds, at most every 100 ms (benchmarks subtract it).
    static const char* const path = std::getenv("SORVANE_SIM_DESKTOP_CPU");
    if (path == nullptr || *path == 0) return;
    const uint64_t now = desktop_.clock().now_ms();
    uint64_t last = drawing_reported_ms_.load();
    if (now - last < 100 || !drawing_reported_ms_.compare_exchange_strong(last, now)) return;
    const std::string text = std::to_string(desktop_.compose_cpu_us()) + "\n";
    const std::string tmp = std::string(path) + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (ok) ::rename(tmp.c_str(), path);
}

}  // namespace sorvane::sim
