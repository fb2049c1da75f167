#include "host/core/autostart.h"

#include <cinttypes>

#include "host/core/log.h"

namespace sorvane {

std::string startup_shortcut_path(platform::IShellLinks& links) {
    std::string folder;
    if (!links.startup_folder(folder) || folder.empty()) return {};
    return folder + "\\" + kStartupShortcutName;
}

bool set_autostart(platform::IShellLinks& links, const std::string& exe_path, bool on) {
    const std::string path = startup_shortcut_path(links);
    if (path.empty()) {
        log("[autostart] Startup klasoru bulunamadi");
        return false;
    }
    if (!on) {
        const bool existed = links.exists(path);
        const uint32_t error = links.remove(path);
        // A shortcut that stays would start the host at the next logon: that
        // is not "off", whatever the message says.
        if (error != 0 && error != 2) {
            log("[autostart] kapatilamadi (kisayol %s silinemedi: hata %" PRIu32 ")", path.c_str(), error);
            return false;
        }
        log("[autostart] kapatildi (kisayol %s)", existed ? "silindi" : "zaten yoktu");
        return true;
    }
    if (exe_path.empty() || exe_path.size() > kMaxExePath) {
        log("[autostart] exe yolu okunamadi");
        return false;
    }
    platform::ShellLink link;
    link.target = exe_path;
    const size_t cut = exe_path.find_last_of("\\/");
    link.working_directory = cut == std::string::npos ? std::string() : exe_path.substr(0, cut);
    link.description = kStartupShortcutDescription;
    const bool saved = links.save(path, link) == 0;
    log("[autostart] %s (%s -> %s)", saved ? "acildi" : "acilamadi", path.c_str(), exe_path.c_str());
    return saved;
}

bool autostart_enabled(platform::IShellLinks& links) {
    const std::string path = startup_shortcut_path(links);
    return !path.empty() && links.exists(path);
}

}  // namespace sorvane
