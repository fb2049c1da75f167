#include "host/app/tray_features.h"

#include "host/core/autostart.h"
#include "host/core/language.h"
#include "host/ui/tray_icon.h"
#include "platform/http_client.h"
#include "platform/self_process.h"

namespace sorvane {

TrayFeatures::TrayFeatures(platform::IClock& clock, const RunSettings& run)
    : links_(platform::make_shell_links()), shell_(platform::make_shell()) {
    UpdateCheckConfig config;
    if (!run.update_url.empty()) config.manifest_url = run.update_url;
    config.ca_file = run.update_ca_file;
    config.first_delay_ms = uint64_t{run.update_first_seconds} * 1000;
    update_ = std::make_unique<UpdateChecker>(clock, platform::make_http_client(clock), config);
    if (!platform::module_file_name(exe_)) exe_.clear();
}

TrayFeatures::~TrayFeatures() { update_->stop_update_check(); }

TrayExtras TrayFeatures::extras() {
    TrayExtras e;
    e.panel_hooks = [this](PanelHooks& h) {
        h.autostart_enabled = [this] { return autostart_enabled(*links_); };
        h.toggle_autostart = [this] { set_autostart(*links_, exe_, !autostart_enabled(*links_)); };
        h.update_check_enabled = [] { return update_check_enabled(); };
        h.toggle_update_check = [this] { update_->set_update_check(!update_check_enabled()); };
        h.known_update = [this] { return update_->known_update(); };
        h.open_update = [this] { open_download_page(*shell_, language_is_turkish()); };
    };
    e.update_notice = [this](TrayIcon& icon) {
        show_update_balloon(*update_, icon.added(),
                            [&icon](const std::string& title, const std::string& text) { icon.show_balloon(title, text); });
    };
    e.balloon_click = [this] { on_update_balloon_click(*update_, *shell_); };
    e.update_status = [this] { return update_->update_status_text(); };
    e.started = [this](platform::ITray& tray) {
        {
            std::lock_guard<std::mutex> g(notice_->mutex);
            notice_->tray = &tray;
        }
        update_->start_update_check(kHostVersion, [notice = notice_] {
            std::lock_guard<std::mutex> g(notice->mutex);
            if (notice->tray != nullptr) notice->tray->post(TrayIcon::kUpdateNoticeMessage, 0, 0);
        });
    };
    e.stopped = [this] {
        update_->stop_update_check();
        std::lock_guard<std::mutex> g(notice_->mutex);
        notice_->tray = nullptr;
    };
    return e;
}

}  // namespace sorvane
