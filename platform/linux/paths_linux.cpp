#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/paths.h"
#include "platform/sim/ports.h"

namespace sorvane::platform {

namespace {

bool env_nonempty(const char* name, std::string& out) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') return false;
    out = v;
    return true;
}

class LinuxPaths final : public IPaths {
public:
    bool local_app_data(std::string& out) override {
        if (env_nonempty("LOCALAPPDATA", out)) return true;
        if (env_nonempty("XDG_DATA_HOME", out)) return true;
        std::string home;
        if (!env_nonempty("HOME", home)) {
            const passwd* pw = getpwuid(getuid());
            if (pw == nullptr || pw->pw_dir == nullptr || pw->pw_dir[0] == '\0') return false;
            home = pw->pw_dir;
        }
        out = join_path(join_path(home, ".local"), "share");
        return true;
    }

    bool program_data(std::string& out) override {
        if (env_nonempty("PROGRAMDATA", out)) return true;
        std::string sim;
        if (env_nonempty("SORVANE_SIM_ROOT", sim)) {
            out = join_path(sim, "ProgramData");
            return true;
        }
        out = "/var/tmp/sorvane-programdata";
        return true;
    }

    bool desktop(std::string& out) override {
        auto machine = sim::Machine::open_default();
        return sim::sim_desktop_folder(*machine, out);
    }

    bool working_directory(std::string& out) override {
        char buf[4096];
        if (getcwd(buf, sizeof buf) == nullptr) return false;
        out = buf;
        return true;
    }
};

}  // namespace

std::unique_ptr<IPaths> make_system_paths() { return std::make_unique<LinuxPaths>(); }

}  // namespace sorvane::platform
