// What tray mode adds to the runtime's components: the update check with its
// balloon, the start-with-Windows setting and the download page, for the
// panel and the tray icon.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "host/app/tray_mode.h"
#include "host/core/options.h"
#include "host/ui/update_check.h"
#include "platform/clock.h"
#include "platform/shell.h"
#include "platform/shell_links.h"

namespace sorvane {

class TrayFeatures {
public:
    TrayFeatures(platform::IClock& clock, const RunSettings& run);
    ~TrayFeatures();
    TrayFeatures(const TrayFeatures&) = delete;
    TrayFeatures& operator=(const TrayFeatures&) = delete;

    // The hooks and actions for TrayMode. They refer to this object, which
    // must outlive the tray.
    TrayExtras extras();

    UpdateChecker& update_checker() { return *update_; }

private:
    // Where the worker's "found" goes: the tray's window while it runs.
    struct Notice {
        std::mutex mutex;
        platform::ITray* tray = nullptr;
    };

    std::unique_ptr<platform::IShellLinks> links_;
    std::unique_ptr<platform::IShell> shell_;
    std::unique_ptr<UpdateChecker> update_;
    std::shared_ptr<Notice> notice_ = std::make_shared<Notice>();
    std::string exe_;
};

}  // namespace sorvane
