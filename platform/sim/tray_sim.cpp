#include "platform/sim/tray_sim.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "platform/registry.h"

namespace sorvane::sim {

namespace {

constexpr uint32_t kErrorInvalidWindowHandle = 1400;
constexpr size_t kTooltipUnits = 127;
constexpr size_t kBalloonTitleUnits = 63;
constexpr size_t kBalloonTextUnits = 255;
constexpr size_t kDatagramMax = 4096;

// Kinds of datagram between processes.
constexpr uint8_t kWireStop = 0;
constexpr uint8_t kWireMessage = 1;
constexpr uint8_t kWireMenuChoice = 2;

// UTF-16 length of UTF-8 text; false when the text is not UTF-8.
bool utf16_units(const std::string& s, size_t& units) {
    units = 0;
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8_sequence_length(std::string_view(s).substr(i));
        if (n == 0) return false;
        units += n == 4 ? 2 : 1;
        i += n;
    }
    return true;
}

bool fits(const std::string& s, size_t max_units) {
    size_t units = 0;
    return utf16_units(s, units) && units <= max_units;
}

std::string windows_folder(const std::string& root) { return root + "/windows"; }

std::string socket_path_of(const std::string& root, uint64_t hwnd) {
    char name[32];
    std::snprintf(name, sizeof name, "/%" PRIx64, hwnd);
    return windows_folder(root) + name;
}

std::string encode(uint8_t kind, const platform::WindowMessage& m) {
    std::string out(1 + 4 + 8 + 8, '\0');
    out[0] = static_cast<char>(kind);
    const auto put = [&](size_t at, uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
    };
    put(1, m.message, 4);
    put(5, m.wparam, 8);
    put(13, static_cast<uint64_t>(m.lparam), 8);
    out += m.text.substr(0, kDatagramMax - out.size());
    return out;
}

bool decode(const uint8_t* p, size_t n, uint8_t& kind, platform::WindowMessage& m) {
    if (n < 21) return false;
    const auto get = [&](size_t at, int bytes) {
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[at + static_cast<size_t>(i)]) << (8 * i);
        return v;
    };
    kind = p[0];
    m.message = static_cast<uint32_t>(get(1, 4));
    m.wparam = get(5, 8);
    m.lparam = static_cast<int64_t>(get(13, 8));
    m.text.assign(reinterpret_cast<const char*>(p) + 21, n - 21);
    return true;
}

bool make_address(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// The windows of this process, by machine and handle, for delivery without a socket.
std::mutex g_local_mutex;
std::map<std::pair<const Machine*, uint64_t>, SimTray*> g_local;

bool process_alive(uint32_t pid) {
    if (pid == 0) return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

void forget_ended_windows(Machine& machine) {
    bool any = false;
    machine.read([&](const MachineState& s) {
        for (const auto& w : s.tray.windows) any = any || !process_alive(w.pid);
    });
    if (!any) return;
    machine.update("tray: the windows of ended processes are gone", [](MachineState& s) {
        std::vector<uint64_t> gone;
        for (const auto& w : s.tray.windows) {
            if (!process_alive(w.pid)) gone.push_back(w.hwnd);
        }
        for (uint64_t h : gone) s.tray.remove_window(h);
    });
}

namespace {

bool deliver_to(Machine& machine, uint64_t hwnd, uint8_t kind, const platform::WindowMessage& m, std::string& error) {
    {
        std::lock_guard<std::mutex> lock(g_local_mutex);
        auto it = g_local.find({&machine, hwnd});
        if (it != g_local.end()) {
            if (kind == kWireMenuChoice) {
                it->second->deliver_menu_choice(static_cast<uint32_t>(m.wparam));
            } else {
                it->second->deliver(m);
            }
            return true;
        }
    }
    if (machine.in_memory()) {
        error = "the window's process is not this one";
        return false;
    }
    sockaddr_un addr{};
    if (!make_address(socket_path_of(machine.folder(), hwnd), addr)) {
        error = "socket path too long";
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const std::string data = encode(kind, m);
    const ssize_t n =
        ::sendto(fd, data.data(), data.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int err = errno;
    ::close(fd);
    if (n == static_cast<ssize_t>(data.size())) return true;
    if (err == ECONNREFUSED || err == ENOENT) {
        machine.update("tray: the window of an ended process is gone",
                       [&](MachineState& s) { s.tray.remove_window(hwnd); });
        error = "the window's process has ended";
        return false;
    }
    error = std::string("send: ") + std::strerror(err);
    return false;
}

}  // namespace

// ---------------------------------------------------------------- SimTray

SimTray::SimTray(std::shared_ptr<Machine> machine, platform::IClock& clock)
    : machine_(std::move(machine)), clock_(clock) {}

SimTray::~SimTray() {
    // Whoever owned the procedure may be gone already.
    proc_ = nullptr;
    if (hwnd() != 0) destroy_window();
}

uint64_t SimTray::hwnd() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return hwnd_;
}

std::set<uint32_t> SimTray::loaded_icons() const { return loaded_; }

bool SimTray::change(const std::string& what, const std::function<bool(TrayModel&)>& fn) {
    bool ok = false;
    const bool stored = machine_->update(what, [&](MachineState& s) { ok = fn(s.tray); });
    return stored && ok;
}

bool SimTray::create_window(const std::string& class_name, const std::string& title, platform::WindowProc proc,
                            std::string& failed_step, uint32_t& error) {
    failed_step.clear();
    error = 0;
    if (const uint32_t code = machine_->fault("tray.register_class")) {
        failed_step = "RegisterClassExW";
        error = code;
        return false;
    }
    if (const uint32_t code = machine_->fault("tray.create_window")) {
        failed_step = "CreateWindowExW";
        error = code;
        return false;
    }
    if (hwnd() != 0 || !machine_->initialized()) {
        failed_step = "CreateWindowExW";
        error = kErrorInvalidWindowHandle;
        return false;
    }
    uint64_t hwnd = 0;
    const bool ok = change("tray create_window " + scrub_text(class_name), [&](TrayModel& t) {
        hwnd = t.next_hwnd++;
        t.windows.push_back({hwnd, class_name, title, static_cast<uint32_t>(::getpid())});
        return true;
    });
    if (!ok) {
        failed_step = "CreateWindowExW";
        error = kErrorInvalidWindowHandle;
        return false;
    }
    proc_ = std::move(proc);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hwnd_ = hwnd;
    }
    {
        std::lock_guard<std::mutex> lock(g_local_mutex);
        g_local[{machine_.get(), hwnd}] = this;
    }
    start_receiver();
    return true;
}

void SimTray::start_receiver() {
    if (machine_->in_memory()) return;
    const std::string folder = windows_folder(machine_->folder());
    ::mkdir(folder.c_str(), 0700);
    socket_path_ = socket_path_of(machine_->folder(), hwnd());
    sockaddr_un addr{};
    if (!make_address(socket_path_, addr)) return;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    ::unlink(socket_path_.c_str());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return;
    }
    socket_ = fd;
    receiver_ = std::thread([this, fd] {
        std::vector<uint8_t> buf(kDatagramMax);
        for (;;) {
            const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return;
            uint8_t kind = 0;
            platform::WindowMessage m;
            if (!decode(buf.data(), static_cast<size_t>(n), kind, m)) continue;
            if (kind == kWireStop) return;
            if (kind == kWireMenuChoice) {
                deliver_menu_choice(static_cast<uint32_t>(m.wparam));
            } else if (kind == kWireMessage) {
                deliver(m);
            }
        }
    });
}

void SimTray::stop_receiver() {
    if (socket_ < 0) return;
    // Wakes the receiver with a datagram of its own.
    sockaddr_un addr{};
    if (make_address(socket_path_, addr)) {
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd >= 0) {
            const std::string stop = encode(kWireStop, {});
            ::sendto(fd, stop.data(), stop.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
            ::close(fd);
        }
    }
    if (receiver_.joinable()) receiver_.join();
    ::close(socket_);
    socket_ = -1;
    ::unlink(socket_path_.c_str());
}

void SimTray::destroy_window() {
    const uint64_t h = hwnd();
    if (h == 0) return;
    if (proc_) proc_(platform::WindowMessage{platform::kWmDestroy, 0, 0, {}});
    {
        std::lock_guard<std::mutex> lock(g_local_mutex);
        g_local.erase({machine_.get(), h});
    }
    stop_receiver();
    change("tray destroy_window", [&](TrayModel& t) {
        t.remove_window(h);
        return true;
    });
    std::lock_guard<std::mutex> lock(mutex_);
    hwnd_ = 0;
    timers_.clear();
}

uint32_t SimTray::register_message(const std::string& name) {
    uint32_t number = 0;
    change("tray register_message " + scrub_text(name), [&](TrayModel& t) {
        number = t.register_message(name);
        return true;
    });
    return number;
}

bool SimTray::set_timer(uint32_t id, uint32_t interval_ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (hwnd_ == 0) return false;
    timers_[id] = Timer{interval_ms, clock_.now_ms() + interval_ms};
    wake_ = true;
    cv_.notify_all();
    return true;
}

void SimTray::kill_timer(uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    timers_.erase(id);
}

void SimTray::push(Item item) {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(item));
    cv_.notify_all();
}

bool SimTray::post(uint32_t message, uint64_t wparam, int64_t lparam) {
    if (hwnd() == 0) return false;
    Item item;
    item.message = platform::WindowMessage{message, wparam, lparam, {}};
    push(std::move(item));
    return true;
}

bool SimTray::post_task(std::function<void()> task) {
    Item item;
    item.kind = Item::Kind::task;
    item.task = std::move(task);
    push(std::move(item));
    return true;
}

void SimTray::post_quit(int exit_code) {
    Item item;
    item.kind = Item::Kind::quit;
    item.code = exit_code;
    push(std::move(item));
}

void SimTray::deliver(const platform::WindowMessage& message) {
    Item item;
    item.message = message;
    push(std::move(item));
}

void SimTray::deliver_menu_choice(uint32_t command) {
    Item item;
    item.kind = Item::Kind::menu_choice;
    item.command = command;
    push(std::move(item));
}

SimTray::Item SimTray::next_item() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (!queue_.empty()) {
            Item item = std::move(queue_.front());
            queue_.pop_front();
            return item;
        }
        if (in_menu_ && menu_done_) return Item{Item::Kind::menu_choice, {}, {}, 0, 0};
        // Timers come when nothing else is queued.
        const uint64_t now = clock_.now_ms();
        uint64_t next_due = UINT64_MAX;
        for (auto& [id, timer] : timers_) {
            if (timer.due_ms <= now) {
                timer.due_ms = now + std::max<uint32_t>(timer.interval_ms, 1);
                Item item;
                item.message = platform::WindowMessage{platform::kWmTimer, id, 0, {}};
                return item;
            }
            next_due = std::min(next_due, timer.due_ms);
        }
        wake_ = false;
        clock_.wait_until(lock, cv_, next_due, [&] { return !queue_.empty() || wake_ || (in_menu_ && menu_done_); });
    }
}

void SimTray::dispatch(const Item& item) {
    if (item.kind == Item::Kind::task) {
        if (item.task) item.task();
    } else if (item.kind == Item::Kind::message) {
        if (proc_) proc_(item.message);
    }
}

int SimTray::run() {
    for (;;) {
        Item item = next_item();
        if (item.kind == Item::Kind::quit) return item.code;
        if (item.kind == Item::Kind::menu_choice) continue;  // no menu is open
        dispatch(item);
    }
}

uint32_t SimTray::track_menu(const std::vector<platform::TrayMenuItem>& items) {
    const uint64_t h = hwnd();
    if (h == 0) return 0;
    for (const auto& it : items) {
        if (!fits(it.text, 255)) return 0;
    }
    const bool dark = menu_dark_;
    if (!change("tray menu open", [&](TrayModel& t) {
            t.menu = TrayModel::Menu{h, items, dark};
            return true;
        })) {
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        in_menu_ = true;
        menu_done_ = false;
        menu_command_ = 0;
    }
    uint32_t command = 0;
    for (;;) {
        Item item = next_item();
        if (item.kind == Item::Kind::quit) {
            // The menu ends and the quit message stays for the outer loop.
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_front(std::move(item));
            break;
        }
        if (item.kind == Item::Kind::menu_choice) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (menu_done_) break;  // end_menu
            const bool enabled = std::any_of(items.begin(), items.end(), [&](const platform::TrayMenuItem& it) {
                return it.id == item.command && !it.separator && !it.greyed;
            });
            if (!enabled) continue;
            command = item.command;
            break;
        }
        dispatch(item);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        in_menu_ = false;
        menu_done_ = false;
    }
    change("tray menu closed", [&](TrayModel& t) {
        if (t.menu && t.menu->hwnd == h) t.menu.reset();
        return true;
    });
    return command;
}

void SimTray::end_menu() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!in_menu_) return;
    menu_done_ = true;
    cv_.notify_all();
}

void SimTray::set_menu_dark(bool dark) { menu_dark_ = dark; }

bool SimTray::load_icon(uint32_t resource_id) {
    if (resource_id < 101 || resource_id > 106) return false;
    if (machine_->fault("tray.load_icon") != 0) return false;
    loaded_.insert(resource_id);
    return true;
}

void SimTray::destroy_icon(uint32_t resource_id) { loaded_.erase(resource_id); }

bool SimTray::add_icon(uint32_t id, uint32_t callback_message, uint32_t icon_resource, const std::string& tooltip) {
    const uint64_t h = hwnd();
    if (h == 0 || loaded_.count(icon_resource) == 0 || !fits(tooltip, kTooltipUnits)) return false;
    if (machine_->fault("tray.add_icon") != 0) return false;
    return change("tray add_icon", [&](TrayModel& t) {
        if (t.icon(h, id) != nullptr) return false;
        t.icons.push_back({h, id, callback_message, icon_resource, tooltip});
        return true;
    });
}

bool SimTray::set_icon(uint32_t id, uint32_t icon_resource) {
    const uint64_t h = hwnd();
    if (h == 0 || loaded_.count(icon_resource) == 0) return false;
    return change("tray set_icon", [&](TrayModel& t) {
        TrayModel::Icon* icon = t.icon(h, id);
        if (icon == nullptr) return false;
        icon->resource = icon_resource;
        return true;
    });
}

bool SimTray::set_tooltip(uint32_t id, const std::string& tooltip) {
    const uint64_t h = hwnd();
    if (h == 0 || !fits(tooltip, kTooltipUnits)) return false;
    return change("tray set_tooltip", [&](TrayModel& t) {
        TrayModel::Icon* icon = t.icon(h, id);
        if (icon == nullptr) return false;
        icon->tooltip = tooltip;
        return true;
    });
}

bool SimTray::show_balloon(uint32_t id, const std::string& title, const std::string& text) {
    const uint64_t h = hwnd();
    if (h == 0 || !fits(title, kBalloonTitleUnits) || !fits(text, kBalloonTextUnits)) return false;
    if (machine_->fault("tray.balloon") != 0) return false;
    return change("tray balloon", [&](TrayModel& t) {
        if (t.icon(h, id) == nullptr) return false;
        for (auto& b : t.balloons) b.showing = false;
        t.balloons.push_back({h, id, title, text, true});
        if (t.balloons.size() > TrayModel::kBalloonsKept) t.balloons.erase(t.balloons.begin());
        return true;
    });
}

void SimTray::delete_icon(uint32_t id) {
    const uint64_t h = hwnd();
    if (h == 0) return;
    change("tray delete_icon", [&](TrayModel& t) {
        std::erase_if(t.icons, [&](const TrayModel::Icon& i) { return i.hwnd == h && i.id == id; });
        std::erase_if(t.balloons, [&](const TrayModel::Balloon& b) { return b.hwnd == h && b.id == id; });
        return true;
    });
}

platform::ScreenRect SimTray::icon_rect(uint32_t id) {
    const uint64_t h = hwnd();
    size_t index = 0;
    bool found = false;
    machine_->read([&](const MachineState& s) {
        for (size_t i = 0; i < s.tray.icons.size(); ++i) {
            if (s.tray.icons[i].hwnd == h && s.tray.icons[i].id == id) {
                index = i;
                found = true;
            }
        }
    });
    if (!found) return {};
    // The notification area at the right end of a bottom taskbar on the
    // machine's 1920x1080 display, 24 pixels per icon.
    const int32_t right = 1800 - static_cast<int32_t>(index) * 24;
    return platform::ScreenRect{right - 24, 1048, right, 1072};
}

bool SimTray::set_clipboard_text(const std::string& text) {
    size_t units = 0;
    if (!utf16_units(text, units)) return false;
    return change("clipboard set", [&](TrayModel& t) {
        t.clipboard = text;
        return true;
    });
}

// ---------------------------------------------------------------- the user and the shell

std::string describe_tray(const TrayModel& tray) {
    std::string out;
    char line[256];
    for (const auto& w : tray.windows) {
        std::snprintf(line, sizeof line, "window %" PRIx64 " class %s pid %u\n", w.hwnd, scrub_text(w.class_name).c_str(),
                      static_cast<unsigned>(w.pid));
        out += line;
        for (const auto& i : tray.icons) {
            if (i.hwnd != w.hwnd) continue;
            std::snprintf(line, sizeof line, "  icon %u: %s, %s (resource %u)\n", static_cast<unsigned>(i.id),
                          tray_icon_state_name(i.resource), tray_icon_variant_name(i.resource),
                          static_cast<unsigned>(i.resource));
            out += line;
            out += "  tooltip: " + scrub_text(i.tooltip) + "\n";
        }
        for (const auto& b : tray.balloons) {
            if (b.hwnd != w.hwnd) continue;
            out += std::string("  balloon") + (b.showing ? " (showing)" : "") + ": " + scrub_text(b.title) + " | " +
                   scrub_text(b.text) + "\n";
        }
        if (tray.menu && tray.menu->hwnd == w.hwnd) {
            out += std::string("  menu (open, ") + (tray.menu->dark ? "dark" : "light") + "):\n";
            for (const auto& it : tray.menu->items) {
                if (it.separator) {
                    out += "    ----\n";
                    continue;
                }
                std::snprintf(line, sizeof line, "    %u %s%s\n", static_cast<unsigned>(it.id), scrub_text(it.text).c_str(),
                              it.greyed ? " (greyed)" : "");
                out += line;
            }
        }
    }
    if (out.empty()) out = "no tray windows\n";
    return out;
}

namespace {

bool read_tray(Machine& machine, TrayModel& tray, std::string& error) {
    forget_ended_windows(machine);
    if (!machine.read([&](const MachineState& s) { tray = s.tray; })) {
        error = machine.last_error();
        return false;
    }
    return true;
}

}  // namespace

bool tray_click(Machine& machine, bool left, std::string& error) {
    TrayModel tray;
    if (!read_tray(machine, tray, error)) return false;
    if (tray.icons.empty()) {
        error = "no icon in the notification area";
        return false;
    }
    const TrayModel::Icon& icon = tray.icons.front();
    const platform::WindowMessage m{icon.callback_message, icon.id,
                                    left ? platform::kWmLButtonUp : platform::kWmRButtonUp, {}};
    return deliver_to(machine, icon.hwnd, kWireMessage, m, error);
}

bool tray_choose(Machine& machine, uint32_t command, std::string& error) {
    TrayModel tray;
    if (!read_tray(machine, tray, error)) return false;
    if (!tray.menu) {
        error = "no menu is open";
        return false;
    }
    const auto& items = tray.menu->items;
    const auto it = std::find_if(items.begin(), items.end(),
                                 [&](const platform::TrayMenuItem& i) { return !i.separator && i.id == command; });
    if (it == items.end()) {
        error = "the open menu has no item " + std::to_string(command);
        return false;
    }
    if (it->greyed) {
        error = "item " + std::to_string(command) + " is greyed";
        return false;
    }
    return deliver_to(machine, tray.menu->hwnd, kWireMenuChoice, platform::WindowMessage{0, command, 0, {}}, error);
}

bool tray_balloon_click(Machine& machine, std::string& error) {
    TrayModel tray;
    if (!read_tray(machine, tray, error)) return false;
    const auto b = std::find_if(tray.balloons.begin(), tray.balloons.end(),
                                [](const TrayModel::Balloon& x) { return x.showing; });
    const TrayModel::Icon* icon = nullptr;
    if (b != tray.balloons.end()) {
        for (const auto& i : tray.icons) {
            if (i.hwnd == b->hwnd && i.id == b->id) icon = &i;
        }
    }
    if (icon == nullptr) {
        error = "no balloon is showing";
        return false;
    }
    const uint64_t hwnd = b->hwnd;
    machine.update("tray balloon clicked", [&](MachineState& s) {
        for (auto& x : s.tray.balloons) {
            if (x.hwnd == hwnd) x.showing = false;
        }
    });
    return deliver_to(machine, hwnd, kWireMessage,
                      platform::WindowMessage{icon->callback_message, icon->id, platform::kNinBalloonUserClick, {}},
                      error);
}

namespace {

size_t broadcast(Machine& machine, const platform::WindowMessage& m) {
    TrayModel tray;
    std::string error;
    if (!read_tray(machine, tray, error)) return 0;
    size_t told = 0;
    for (const auto& w : tray.windows) {
        if (deliver_to(machine, w.hwnd, kWireMessage, m, error)) ++told;
    }
    return told;
}

}  // namespace

bool tray_taskbar_created(Machine& machine, size_t& told, std::string& error) {
    told = 0;
    uint32_t number = 0;
    if (!machine.update("tray: the taskbar was created anew", [&](MachineState& s) {
            s.tray.icons.clear();
            s.tray.balloons.clear();
            s.tray.menu.reset();
            number = s.tray.register_message("TaskbarCreated");
        })) {
        error = machine.last_error();
        return false;
    }
    told = broadcast(machine, platform::WindowMessage{number, 0, 0, {}});
    return true;
}

bool tray_set_theme(Machine& machine, bool light, std::string& error) {
    if (!machine.update(std::string("theme ") + (light ? "light" : "dark"), [&](MachineState& s) {
            s.registry.set_dword(platform::RegistryHive::current_user, kPersonalizeKey, "SystemUsesLightTheme", light ? 1 : 0);
            s.registry.set_dword(platform::RegistryHive::current_user, kPersonalizeKey, "AppsUseLightTheme", light ? 1 : 0);
        })) {
        error = machine.last_error();
        return false;
    }
    broadcast(machine, platform::WindowMessage{platform::kWmSettingChange, 0, 0, "ImmersiveColorSet"});
    return true;
}

bool find_window_of_class(Machine& machine, const std::string& class_name, TrayModel::Window& out) {
    TrayModel tray;
    std::string error;
    if (!read_tray(machine, tray, error)) return false;
    const TrayModel::Window* w = tray.window_of_class(class_name);
    if (w == nullptr) return false;
    out = *w;
    return true;
}

bool post_to_window_class(Machine& machine, const std::string& class_name, const platform::WindowMessage& message,
                          std::string& error) {
    TrayModel::Window w;
    if (!find_window_of_class(machine, class_name, w)) {
        error = "no window of class " + class_name;
        return false;
    }
    return deliver_to(machine, w.hwnd, kWireMessage, message, error);
}

}  // namespace sorvane::sim
