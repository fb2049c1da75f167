// The panel on Linux: the page folder served on 127.0.0.1 by civetweb to a
// browser, with the panel's messages over a WebSocket at /bridge.
#include <civetweb.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>

#include "common/text.h"
#include "platform/files.h"
#include "platform/linux/panel_access.h"
#include "platform/paths.h"
#include "platform/random.h"
#include "platform/webview.h"

namespace sorvane::platform {

namespace {

constexpr size_t kPageFileLimit = 8u << 20;
constexpr size_t kMessageLimit = 64u << 10;

const char* content_type(const std::string& path) {
    const size_t dot = path.rfind('.');
    const std::string ext = dot == std::string::npos ? std::string() : ascii_lower(path.substr(dot + 1));
    if (ext == "html") return "text/html; charset=utf-8";
    if (ext == "js") return "text/javascript; charset=utf-8";
    if (ext == "css") return "text/css; charset=utf-8";
    if (ext == "svg") return "image/svg+xml";
    if (ext == "png") return "image/png";
    if (ext == "ico") return "image/x-icon";
    if (ext == "json") return "application/json";
    if (ext == "txt") return "text/plain; charset=utf-8";
    return "application/octet-stream";
}

std::string header(const mg_connection* conn, const char* name) {
    const char* v = mg_get_header(conn, name);
    return v == nullptr ? std::string() : std::string(v);
}

PanelRequest request_of(const mg_connection* conn, bool websocket) {
    const mg_request_info* info = mg_get_request_info(conn);
    PanelRequest r;
    r.method = info->request_method != nullptr ? info->request_method : "";
    r.remote_addr = info->remote_addr;
    r.path = info->local_uri_raw != nullptr ? info->local_uri_raw : "";
    r.query = info->query_string != nullptr ? info->query_string : "";
    r.host = header(conn, "Host");
    r.origin = header(conn, "Origin");
    r.referer = header(conn, "Referer");
    r.fetch_site = header(conn, "Sec-Fetch-Site");
    r.websocket = websocket;
    return r;
}

void send_status(mg_connection* conn, int status, const char* text) {
    mg_printf(conn,
              "HTTP/1.1 %d %s\r\nContent-Type: text/plain\r\nContent-Length: %zu\r\nCache-Control: no-store\r\n"
              "Connection: close\r\n\r\n%s",
              status, text, std::strlen(text), text);
}

class CivetWebView final : public IWebView {
public:
    explicit CivetWebView(WebViewConfig config) : config_(std::move(config)), alive_(std::make_shared<bool>(true)) {}

    ~CivetWebView() override {
        // Ends every connection and joins civetweb's threads; tasks they
        // posted earlier find the panel gone.
        *alive_ = false;
        if (ctx_ != nullptr) mg_stop(ctx_);
    }

    void create(std::function<void(bool ok, const std::string& error)> ready) override {
        std::string error;
        const bool ok = start(error);
        on_window_thread([ready = std::move(ready), ok, error] { ready(ok, error); });
    }

    void navigate(const std::string& path_and_query, std::function<void(bool ok, int error_status)> done) override {
        path_query_ = path_and_query;
        // The page is served from now on; the browser loads it when shown.
        on_window_thread([done = std::move(done), ok = ctx_ != nullptr] { done(ok, ok ? 0 : 1); });
    }

    void post_message(const std::string& json) override {
        std::lock_guard<std::mutex> lock(mutex_);
        for (mg_connection* conn : pages_) mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, json.data(), json.size());
    }

    void set_message_handler(std::function<void(const std::string& text)> handler) override {
        on_message_ = std::move(handler);
    }
    void set_deactivated_handler(std::function<void()> handler) override { on_deactivated_ = std::move(handler); }

    void show() override {
        visible_ = true;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!pages_.empty()) return;  // the page is open already
        }
        if (config_.shell != nullptr && ctx_ != nullptr && !path_query_.empty()) config_.shell->open(address());
    }

    void hide() override { visible_ = false; }
    bool visible() override { return visible_; }
    void set_bounds(const ScreenRect&) override {}
    void keep_topmost() override {}
    PanelScreen screen() override { return PanelScreen{ScreenRect{0, 0, 1920, 1040}, TaskbarEdge::bottom, 96}; }
    void apply_theme(bool) override {}
    bool suspend(std::string&) override { return true; }
    void resume() override {}

private:
    std::string address() const {
        const char joiner = path_query_.find('?') == std::string::npos ? '?' : '&';
        return "http://127.0.0.1:" + std::to_string(port_) + path_query_ + joiner + "token=" + secret_;
    }

    bool start(std::string& error) {
        uint8_t secret[16];
        if (!secure_random(secret, sizeof secret)) {
            error = "secure random: the source failed";
            return false;
        }
        secret_ = to_hex(secret, sizeof secret);
        static const unsigned initialised = mg_init_library(0);
        (void)initialised;
        mg_callbacks callbacks{};
        // civetweb's own lines would carry request lines, and with them the secret.
        callbacks.log_message = [](const mg_connection*, const char*) { return 1; };
        callbacks.log_access = [](const mg_connection*, const char*) { return 1; };
        const char* options[] = {"listening_ports", "127.0.0.1:0",
                                 "num_threads", "4",
                                 "request_timeout_ms", "10000",
                                 "enable_keep_alive", "no",
                                 "access_control_allow_origin", "",
                                 "websocket_timeout_ms", "3600000",
                                 nullptr};
        ctx_ = mg_start(&callbacks, this, options);
        if (ctx_ == nullptr) {
            error = "mg_start: cannot listen on 127.0.0.1";
            return false;
        }
        mg_server_port ports[1]{};
        if (mg_get_server_ports(ctx_, 1, ports) != 1) {
            error = "mg_get_server_ports failed";
            mg_stop(ctx_);
            ctx_ = nullptr;
            return false;
        }
        port_ = static_cast<uint16_t>(ports[0].port);
        mg_set_request_handler(ctx_, "/", &CivetWebView::on_request, this);
        mg_set_websocket_handler(ctx_, "/bridge", &CivetWebView::on_ws_connect, &CivetWebView::on_ws_ready,
                                 &CivetWebView::on_ws_data, &CivetWebView::on_ws_close, this);
        return true;
    }

    void on_window_thread(std::function<void()> task) {
        if (!config_.post_to_window_thread) return;
        config_.post_to_window_thread([alive = std::weak_ptr<bool>(alive_), task = std::move(task)] {
            const auto still = alive.lock();
            if (still && *still) task();
        });
    }

    static int on_request(mg_connection* conn, void* data) {
        auto* self = static_cast<CivetWebView*>(data);
        const PanelRequest r = request_of(conn, false);
        std::string why;
        if (!panel_request_allowed(r, self->secret_, self->port_, why)) {
            send_status(conn, 403, "forbidden");
            return 403;
        }
        const std::string relative = r.path.size() > 1 ? r.path.substr(1) : std::string();
        std::string body;
        if (!panel_path_safe(relative) ||
            !read_file(join_path(self->config_.page_folder, relative), kPageFileLimit, body).ok()) {
            send_status(conn, 404, "not found");
            return 404;
        }
        mg_printf(conn,
                  "HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-store\r\n"
                  "X-Content-Type-Options: nosniff\r\nReferrer-Policy: same-origin\r\nX-Frame-Options: DENY\r\n"
                  "Content-Security-Policy: default-src 'self'; connect-src 'self'; img-src 'self' data:; "
                  "frame-ancestors 'none'; base-uri 'none'; form-action 'none'\r\n"
                  "Connection: close\r\n\r\n",
                  content_type(relative), body.size());
        mg_write(conn, body.data(), body.size());
        return 200;
    }

    static int on_ws_connect(const mg_connection* conn, void* data) {
        auto* self = static_cast<CivetWebView*>(data);
        std::string why;
        return panel_request_allowed(request_of(conn, true), self->secret_, self->port_, why) ? 0 : 1;
    }

    static void on_ws_ready(mg_connection* conn, void* data) {
        auto* self = static_cast<CivetWebView*>(data);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->pages_.insert(conn);
    }

    static int on_ws_data(mg_connection* conn, int bits, char* text, size_t len, void* data) {
        auto* self = static_cast<CivetWebView*>(data);
        const int opcode = bits & 0x0F;
        if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
        // Whole text messages only; the page sends small ones.
        if (opcode != MG_WEBSOCKET_OPCODE_TEXT || (bits & 0x80) == 0 || len > kMessageLimit) return 1;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            if (self->pages_.count(conn) == 0) return 0;
        }
        self->on_window_thread([self, message = std::string(text, len)] {
            if (self->on_message_) self->on_message_(message);
        });
        return 1;
    }

    static void on_ws_close(const mg_connection* conn, void* data) {
        auto* self = static_cast<CivetWebView*>(data);
        bool last = false;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            last = self->pages_.erase(const_cast<mg_connection*>(conn)) == 1 && self->pages_.empty();
        }
        // Closing the page is what losing activation is for a window.
        if (last) {
            self->on_window_thread([self] {
                if (self->on_deactivated_) self->on_deactivated_();
            });
        }
    }

    const WebViewConfig config_;
    std::shared_ptr<bool> alive_;
    mg_context* ctx_ = nullptr;
    uint16_t port_ = 0;
    std::string secret_;
    std::string path_query_;
    bool visible_ = false;
    std::function<void(const std::string&)> on_message_;
    std::function<void()> on_deactivated_;
    std::mutex mutex_;
    std::set<mg_connection*> pages_;
};

}  // namespace

std::unique_ptr<IWebView> make_webview(const WebViewConfig& config, std::string& reason) {
    reason.clear();
    return std::make_unique<CivetWebView>(config);
}

}  // namespace sorvane::platform
