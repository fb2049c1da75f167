// Starting with Windows: a shortcut "Sorvane.lnk" in the user's Startup
// folder that starts this program (in tray mode) at logon. Switched by
// --set-autostart on|off and by the panel's setting.
#pragma once

#include <string>

#include "platform/shell_links.h"

namespace sorvane {

inline constexpr const char* kStartupShortcutName = "Sorvane.lnk";
inline constexpr const char* kStartupShortcutDescription = "Sorvane";
// The longest program path the shortcut takes (the system's path buffer).
inline constexpr size_t kMaxExePath = 259;

// The Startup folder followed by "\Sorvane.lnk"; empty when the folder is not known.
std::string startup_shortcut_path(platform::IShellLinks& links);

// On: writes the shortcut (target exe_path, working directory its folder,
// description "Sorvane"), replacing one that exists. Off: deletes it; a
// shortcut that was not there counts as done. exe_path is this program's
// full path, empty when it could not be read. Logs what it did; false when
// the shortcut is not as asked afterwards.
bool set_autostart(platform::IShellLinks& links, const std::string& exe_path, bool on);

// The shortcut exists.
bool autostart_enabled(platform::IShellLinks& links);

}  // namespace sorvane
