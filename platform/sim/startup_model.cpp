#include "platform/sim/startup_model.h"

#include <algorithm>

#include "common/text.h"
#include "platform/sim/machine.h"

namespace sorvane::sim {

namespace {

constexpr uint32_t kPathNotFound = 0x80070003;
constexpr uint32_t kFileNotFound = 0x80070002;
constexpr uint32_t kInvalidName = 0x8007007B;
constexpr uint32_t kNotReady = 0x80070015;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorNotReady = 21;

bool less_name(const std::string& a, const std::string& b) { return ascii_lower(a) < ascii_lower(b); }

// Splits a path of the Startup folder into the file name; false when the path
// is in another folder.
bool startup_file(std::string_view path, std::string& name) {
    const size_t slash = path.find_last_of('\\');
    if (slash == std::string_view::npos || !iequals_ascii(path.substr(0, slash), kStartupFolder)) return false;
    name = std::string(path.substr(slash + 1));
    return true;
}

bool valid_file_name(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.back() == ' ' || name.back() == '.') return false;
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos)
            return false;
    }
    return true;
}

class SimShellLinks final : public platform::IShellLinks {
public:
    explicit SimShellLinks(std::shared_ptr<Machine> machine) : machine_(std::move(machine)) {}

    bool startup_folder(std::string& out) override {
        if (!machine_->initialized()) return false;
        out = kStartupFolder;
        return true;
    }

    uint32_t save(const std::string& path, const platform::ShellLink& link) override {
        std::string name;
        if (!startup_file(path, name)) return kPathNotFound;
        if (!valid_file_name(name)) return kInvalidName;
        uint32_t code = 0;
        const bool done = machine_->update("shortcut " + scrub_text(name), [&](MachineState& s) {
            code = s.fault("shell.save_link");
            if (code == 0) s.startup.put(name, link);
        });
        return done ? code : kNotReady;
    }

    uint32_t load(const std::string& path, platform::ShellLink& out) override {
        std::string name;
        if (!startup_file(path, name)) return kPathNotFound;
        uint32_t code = kFileNotFound;
        const bool read = machine_->read([&](const MachineState& s) {
            for (const auto& sc : s.startup.shortcuts) {
                if (iequals_ascii(sc.name, name)) {
                    out = sc.link;
                    code = 0;
                }
            }
        });
        return read ? code : kNotReady;
    }

    bool exists(const std::string& path) override {
        platform::ShellLink ignored;
        return load(path, ignored) == 0;
    }

    uint32_t remove(const std::string& path) override {
        std::string name;
        if (!startup_file(path, name)) return 3;  // ERROR_PATH_NOT_FOUND
        uint32_t code = 0;
        const bool done = machine_->update("shortcut delete " + scrub_text(name), [&](MachineState& s) {
            code = s.fault("shell.delete_link");
            if (code == 0 && !s.startup.remove(name)) code = kErrorFileNotFound;
        });
        return done ? code : kErrorNotReady;
    }

private:
    std::shared_ptr<Machine> machine_;
};

}  // namespace

StartupModel::Shortcut* StartupModel::find(std::string_view name) {
    for (auto& s : shortcuts)
        if (iequals_ascii(s.name, name)) return &s;
    return nullptr;
}

void StartupModel::put(const std::string& name, const platform::ShellLink& link) {
    if (Shortcut* s = find(name)) {
        s->link = link;
        return;
    }
    shortcuts.push_back({name, link});
    std::sort(shortcuts.begin(), shortcuts.end(), [](const Shortcut& a, const Shortcut& b) { return less_name(a.name, b.name); });
}

bool StartupModel::remove(std::string_view name) {
    const auto it = std::find_if(shortcuts.begin(), shortcuts.end(),
                                 [&](const Shortcut& s) { return iequals_ascii(s.name, name); });
    if (it == shortcuts.end()) return false;
    shortcuts.erase(it);
    return true;
}

Json StartupModel::to_json() const {
    Json arr = Json::array();
    for (const auto& s : shortcuts) {
        Json e = Json::object();
        e["name"] = s.name;
        e["target"] = s.link.target;
        e["working_directory"] = s.link.working_directory;
        e["description"] = s.link.description;
        arr.push(std::move(e));
    }
    Json j = Json::object();
    j["shortcuts"] = arr;
    return j;
}

bool StartupModel::from_json(const Json& j, std::string& error) {
    shortcuts.clear();
    for (const auto& e : j.get("shortcuts").items()) {
        Shortcut s;
        s.name = e.get("name").as_string();
        s.link.target = e.get("target").as_string();
        s.link.working_directory = e.get("working_directory").as_string();
        s.link.description = e.get("description").as_string();
        if (s.name.empty()) {
            error = "startup: a shortcut without a name";
            return false;
        }
        shortcuts.push_back(std::move(s));
    }
    return true;
}

std::unique_ptr<platform::IShellLinks> make_sim_shell_links(std::shared_ptr<Machine> machine) {
    return std::make_unique<SimShellLinks>(std::move(machine));
}

}  // namespace sorvane::sim
