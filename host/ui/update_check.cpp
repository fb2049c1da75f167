#include "host/ui/update_check.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "common/text.h"
#include "host/core/language.h"
#include "host/core/log.h"
#include "host/core/settings.h"

namespace sorvane {

namespace {

// A strict reader of one JSON document that keeps only what the manifest
// needs: the top-level object's "version" string.
class ManifestReader {
public:
    explicit ManifestReader(std::string_view text) : s_(text) {}

    std::optional<std::string> top_level_version() {
        if (s_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
        skip_blanks();
        std::optional<std::string> version;
        if (!object(0, &version)) return std::nullopt;
        skip_blanks();
        if (pos_ != s_.size()) return std::nullopt;
        return version;
    }

private:
    static constexpr int kMaxDepth = 64;

    void skip_blanks() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            ++pos_;
    }
    bool eat(char c) {
        skip_blanks();
        if (pos_ >= s_.size() || s_[pos_] != c) return false;
        ++pos_;
        return true;
    }
    bool peek(char c) {
        skip_blanks();
        return pos_ < s_.size() && s_[pos_] == c;
    }

    // version: where the top level's "version" string goes; null below the top.
    bool object(int depth, std::optional<std::string>* version) {
        if (depth > kMaxDepth || !eat('{')) return false;
        if (eat('}')) return true;
        for (;;) {
            std::string key;
            if (!peek('"') || !string(&key) || !eat(':')) return false;
            skip_blanks();
            if (version != nullptr && key == "version") {
                if (peek('"')) {
                    std::string value;
                    if (!string(&value)) return false;
                    *version = std::move(value);
                } else {
                    if (!value(depth + 1)) return false;
                    version->reset();
                }
            } else if (!value(depth + 1)) {
                return false;
            }
            if (eat('}')) return true;
            if (!eat(',')) return false;
        }
    }

    bool array(int depth) {
        if (depth > kMaxDepth || !eat('[')) return false;
        if (eat(']')) return true;
        for (;;) {
            if (!value(depth + 1)) return false;
            if (eat(']')) return true;
            if (!eat(',')) return false;
        }
    }

    bool value(int depth) {
        skip_blanks();
        if (pos_ >= s_.size()) return false;
        const char c = s_[pos_];
        if (c == '{') return object(depth, nullptr);
        if (c == '[') return array(depth);
        if (c == '"') return string(nullptr);
        if (c == '-' || (c >= '0' && c <= '9')) return number();
        for (std::string_view word : {"true", "false", "null"}) {
            if (s_.substr(pos_, word.size()) == word) {
                pos_ += word.size();
                return true;
            }
        }
        return false;
    }

    bool digits() {
        const size_t start = pos_;
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
        return pos_ > start;
    }

    bool number() {
        if (s_[pos_] == '-') ++pos_;
        if (pos_ < s_.size() && s_[pos_] == '0') {
            ++pos_;
        } else if (!digits()) {
            return false;
        }
        if (pos_ < s_.size() && s_[pos_] == '.') {
            ++pos_;
            if (!digits()) return false;
        }
        if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
            if (!digits()) return false;
        }
        return true;
    }

    bool hex4(uint32_t& out) {
        if (pos_ + 4 > s_.size()) return false;
        out = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = s_[pos_++];
            out <<= 4;
            if (c >= '0' && c <= '9') out |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') out |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') out |= static_cast<uint32_t>(c - 'A' + 10);
            else return false;
        }
        return true;
    }

    // A string at pos_ (its opening quote); its decoded text goes to out when given.
    bool string(std::string* out) {
        ++pos_;
        while (pos_ < s_.size()) {
            const char c = s_[pos_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                if (out != nullptr) out->push_back(c);
                continue;
            }
            if (pos_ >= s_.size()) return false;
            const char e = s_[pos_++];
            char plain = 0;
            switch (e) {
            case '"': plain = '"'; break;
            case '\\': plain = '\\'; break;
            case '/': plain = '/'; break;
            case 'b': plain = '\b'; break;
            case 'f': plain = '\f'; break;
            case 'n': plain = '\n'; break;
            case 'r': plain = '\r'; break;
            case 't': plain = '\t'; break;
            case 'u': {
                uint32_t cp = 0;
                if (!hex4(cp)) return false;
                if (cp >= 0xD800 && cp <= 0xDBFF && s_.substr(pos_, 2) == "\\u") {
                    pos_ += 2;
                    uint32_t low = 0;
                    if (!hex4(low)) return false;
                    cp = (low >= 0xDC00 && low <= 0xDFFF) ? 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00) : 0xFFFD;
                } else if (cp >= 0xD800 && cp <= 0xDFFF) {
                    cp = 0xFFFD;
                }
                if (out != nullptr) append_utf8(*out, cp);
                continue;
            }
            default:
                return false;
            }
            if (out != nullptr) out->push_back(plain);
        }
        return false;
    }

    std::string_view s_;
    size_t pos_ = 0;
};

std::string_view trim_blanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::string local_stamp(platform::IClock& clock) {
    const platform::CivilTime t = clock.local_time(clock.wall_ms());
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u", t.year, t.month, t.day, t.hour, t.minute);
    return text;
}

}  // namespace

std::optional<std::array<uint32_t, 4>> parse_version(std::string_view text) {
    text = trim_blanks(text);
    std::array<uint32_t, 4> parts{};
    size_t count = 0;
    size_t start = 0;
    for (;;) {
        const size_t dot = text.find('.', start);
        const std::string_view part = text.substr(start, dot == std::string_view::npos ? text.size() - start : dot - start);
        if (count == parts.size() || part.empty() || part.size() > 9) return std::nullopt;
        uint32_t value = 0;
        for (const char c : part) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + static_cast<uint32_t>(c - '0');
        }
        parts[count++] = value;
        if (dot == std::string_view::npos) return parts;
        start = dot + 1;
    }
}

bool is_newer_version(std::string_view candidate, std::string_view current) {
    const auto a = parse_version(candidate);
    const auto b = parse_version(current);
    return a && b && *a > *b;
}

std::optional<std::string> manifest_version(std::string_view body) {
    return ManifestReader(body).top_level_version();
}

bool update_check_enabled() { return settings_get(kSettingUpdateCheck).value_or("") != "off"; }

struct UpdateChecker::Shared {
    Shared(platform::IClock& c, std::unique_ptr<platform::IHttpClient> h, UpdateCheckConfig cfg)
        : clock(c), http(std::move(h)), config(std::move(cfg)) {}

    platform::IClock& clock;
    const std::unique_ptr<platform::IHttpClient> http;
    const UpdateCheckConfig config;

    mutable std::mutex mutex;
    std::condition_variable cv;
    std::string current_version;
    std::optional<std::string> known;
    std::string status = "yok";
    std::function<void()> found;
    uint64_t due_ms = 0;
    bool stop = false;
    bool soon = false;
    bool finished = false;

    // Fetches and reads the manifest; true when it held a valid version.
    bool check_once() {
        platform::HttpGetOptions options;
        options.ca_file = config.ca_file;
        options.cancelled = [this] {
            std::lock_guard<std::mutex> g(mutex);
            return stop;
        };
        const platform::HttpResponse r = http->get(config.manifest_url, options);
        // A worker that stop left behind touches nothing of the host's any more.
        if (options.cancelled()) return false;
        std::string error;
        switch (r.failure) {
        case platform::HttpFailure::none:
            if (r.status != 200) error = "HTTP " + std::to_string(r.status);
            break;
        case platform::HttpFailure::bad_url: error = "adres cozulemedi"; break;
        case platform::HttpFailure::open: error = "WinHttpOpen " + std::to_string(r.error_code); break;
        case platform::HttpFailure::request: error = "istek basarisiz " + std::to_string(r.error_code); break;
        case platform::HttpFailure::too_big: error = "govde cok buyuk"; break;
        case platform::HttpFailure::cancelled: return false;
        }
        const std::string stamp = local_stamp(clock);
        std::optional<std::string> remote;
        if (error.empty()) {
            remote = manifest_version(r.body);
            // Kept without the blanks a valid version may carry around it.
            if (remote && parse_version(*remote)) remote = std::string(trim_blanks(*remote));
            else remote.reset();
        }
        std::function<void()> announce;
        std::string line;
        {
            std::lock_guard<std::mutex> g(mutex);
            if (!error.empty()) {
                line = stamp + " basarisiz (" + error + ")";
            } else if (!remote) {
                line = stamp + " basarisiz (release.json'da gecerli \"version\" yok)";
            } else {
                const bool newer = is_newer_version(*remote, current_version);
                line = stamp + " tamam: yayindaki " + *remote + ", bu " + current_version +
                       (newer ? " (yeni surum var)" : " (guncel)");
                if (newer) {
                    const bool newly = !known || *known != *remote;
                    known = *remote;
                    if (newly && !stop) announce = found;
                } else {
                    known.reset();
                }
            }
            status = line;
        }
        log("[update] %s", line.c_str());
        if (announce) announce();
        return remote.has_value();
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            clock.wait_until(lock, cv, due_ms, [this] { return stop || soon; });
            if (stop) break;
            if (soon) {
                // Switched on again: set_update_check moved the due time.
                soon = false;
                continue;
            }
            if (clock.now_ms() < due_ms) continue;
            if (!update_check_enabled()) {
                due_ms = clock.now_ms() + kUpdateAfterSuccessMs;
                continue;
            }
            lock.unlock();
            const bool ok = check_once();
            lock.lock();
            if (stop) break;
            // A switch-on during the check keeps the due time it set.
            if (!soon) due_ms = clock.now_ms() + (ok ? kUpdateAfterSuccessMs : kUpdateAfterFailureMs);
        }
        finished = true;
        cv.notify_all();
    }
};

UpdateChecker::UpdateChecker(platform::IClock& clock, std::unique_ptr<platform::IHttpClient> http,
                             UpdateCheckConfig config)
    : shared_(std::make_shared<Shared>(clock, std::move(http), std::move(config))) {}

UpdateChecker::~UpdateChecker() { stop_update_check(); }

void UpdateChecker::start_update_check(const std::string& current_version, std::function<void()> found) {
    if (worker_.joinable()) return;
    {
        std::lock_guard<std::mutex> g(shared_->mutex);
        if (shared_->stop) return;
        shared_->current_version = current_version;
        shared_->found = std::move(found);
        shared_->due_ms = shared_->clock.now_ms() + shared_->config.first_delay_ms;
        shared_->soon = false;
        shared_->finished = false;
    }
    log("[update] guncelleme denetimi %s (yalniz release.json okunur; hicbir sey indirilmez)",
        update_check_enabled() ? "acik" : "kapali: ag istegi yok");
    // The worker keeps the shared state alive, also when stop leaves it running.
    worker_ = std::thread([shared = shared_] { shared->run(); });
}

void UpdateChecker::stop_update_check() {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    shared_->stop = true;
    shared_->cv.notify_all();
    if (!worker_.joinable()) return;
    const bool finished = shared_->clock.wait_until(lock, shared_->cv, shared_->clock.now_ms() + kUpdateStopWaitMs,
                                                    [this] { return shared_->finished; });
    lock.unlock();
    if (finished) {
        worker_.join();
    } else {
        worker_.detach();
    }
}

void UpdateChecker::set_update_check(bool enabled) {
    settings_set(kSettingUpdateCheck, enabled ? std::nullopt : std::optional<std::string>("off"));
    {
        std::lock_guard<std::mutex> g(shared_->mutex);
        if (enabled) {
            shared_->due_ms = shared_->clock.now_ms() + kUpdateSoonDelayMs;
            shared_->soon = true;
        } else {
            shared_->known.reset();
        }
        shared_->cv.notify_all();
    }
    log("[update] guncelleme denetimi %s", enabled ? "acildi" : "kapatildi (ag istegi yok)");
}

std::optional<std::string> UpdateChecker::known_update() const {
    if (!update_check_enabled()) return std::nullopt;
    std::lock_guard<std::mutex> g(shared_->mutex);
    return shared_->known;
}

std::string UpdateChecker::update_status_text() const {
    const bool enabled = update_check_enabled();
    std::lock_guard<std::mutex> g(shared_->mutex);
    return std::string(enabled ? "acik" : "kapali") + "; son denetim: " + shared_->status;
}

bool open_download_page(platform::IShell& shell, bool turkish) {
    const char* page = turkish ? kDownloadPageTurkish : kDownloadPageEnglish;
    const bool ok = shell.open(page) > 32;
    log("[update] indirme sayfasi acildi (%s): %s", turkish ? "tr" : "en", ok ? "ok" : "BASARISIZ");
    return ok;
}

bool show_update_balloon(const UpdateChecker& checker, bool tray_exists,
                         const std::function<void(const std::string& title, const std::string& text)>& show) {
    const std::optional<std::string> version = checker.known_update();
    if (!version || !tray_exists || settings_get(kSettingUpdateNotified) == version) return false;
    settings_set(kSettingUpdateNotified, *version);
    show(ui_text(UiText::new_version_title), ui_text_new_version(*version));
    return true;
}

void on_update_balloon_click(const UpdateChecker& checker, platform::IShell& shell) {
    if (checker.known_update()) open_download_page(shell, language_is_turkish());
}

}  // namespace sorvane
