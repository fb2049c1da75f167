// The Linux panel server: who may load the page and talk to the bridge.
#include <civetweb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <regex>

#include "platform/linux/panel_access.h"
#include "platform/webview.h"
#include "tests/support/host_fakes.h"
#include "tests/support/temp_dir.h"

namespace sorvane::platform {
namespace {

const std::string kSecret = "0123456789abcdef0123456789abcdef";

TEST(PanelAccess, OnlyOurPageOnLoopbackWithTheSecret) {
    PanelRequest page;
    page.method = "GET";
    page.remote_addr = "127.0.0.1";
    page.path = "/tray.html";
    page.query = "lang=en&theme=light&token=" + kSecret;
    page.host = "127.0.0.1:4100";
    page.fetch_site = "none";
    PanelRequest script = page;
    script.path = "/tray.js";
    script.query.clear();
    script.fetch_site = "same-origin";
    script.referer = "http://127.0.0.1:4100/tray.html?lang=en&token=" + kSecret;
    PanelRequest bridge = page;
    bridge.path = "/bridge";
    bridge.query = "token=" + kSecret;
    bridge.origin = "http://127.0.0.1:4100";
    bridge.websocket = true;

    const auto with = [](PanelRequest r, auto change) {
        change(r);
        return r;
    };
    const struct {
        const char* name;
        PanelRequest request;
        bool allowed;
    } cases[] = {
        {"the page with the secret", page, true},
        {"its script, asked for by the page", script, true},
        {"the bridge from our origin", bridge, true},
        {"no secret", with(page, [](PanelRequest& r) { r.query = "lang=en"; }), false},
        {"a secret one digit off", with(page, [](PanelRequest& r) { r.query.back() = '0'; }), false},
        {"a secret one digit short", with(page, [](PanelRequest& r) { r.query.pop_back(); }), false},
        {"another address", with(page, [](PanelRequest& r) { r.remote_addr = "192.168.1.7"; }), false},
        {"another loopback address", with(page, [](PanelRequest& r) { r.remote_addr = "127.0.0.2"; }), false},
        {"a name that resolves here", with(page, [](PanelRequest& r) { r.host = "evil.example:4100"; }), false},
        {"another origin", with(page, [](PanelRequest& r) { r.origin = "http://evil.example"; }), false},
        {"another site", with(script, [](PanelRequest& r) { r.fetch_site = "cross-site"; }), false},
        {"a script asked for by another page",
         with(script, [](PanelRequest& r) { r.referer = "http://evil.example/?token=" + kSecret; }), false},
        {"a post", with(page, [](PanelRequest& r) { r.method = "POST"; }), false},
        {"the bridge without an origin", with(bridge, [](PanelRequest& r) { r.origin.clear(); }), false},
        {"the bridge from another port", with(bridge, [](PanelRequest& r) { r.origin = "http://127.0.0.1:4101"; }),
         false},
        {"the bridge with the secret only in a referer", with(bridge, [](PanelRequest& r) {
             r.query.clear();
             r.referer = "http://127.0.0.1:4100/tray.html?token=" + kSecret;
         }),
         false},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_EQ(panel_request_allowed(c.request, kSecret, 4100, why), c.allowed) << c.name << ": " << why;
        EXPECT_EQ(why.find(kSecret), std::string::npos);
    }
    EXPECT_TRUE(panel_path_safe("tray.html"));
    EXPECT_TRUE(panel_path_safe("img/icon-2.svg"));
    for (const char* p : {"", "../etc/passwd", "a/../b", ".hidden", "a//b", "a\\b", "a%2e", "/abs"}) {
        EXPECT_FALSE(panel_path_safe(p)) << p;
    }
}

// Runs what the web view posts to the window thread on the test's thread.
struct WindowThread {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::function<void()>> tasks;
    void post(std::function<void()> task) {
        std::lock_guard<std::mutex> lock(mutex);
        tasks.push_back(std::move(task));
        cv.notify_all();
    }
    // Runs tasks until cond holds.
    bool run_until(const std::function<bool()>& cond) {
        return test::eventually([&] {
            std::deque<std::function<void()>> now;
            {
                std::lock_guard<std::mutex> lock(mutex);
                now.swap(tasks);
            }
            for (auto& t : now) t();
            return cond();
        });
    }
};

class RecordingShell final : public IShell {
public:
    int64_t open(const std::string& target) override {
        opened.push_back(target);
        return 42;
    }
    std::vector<std::string> opened;
};

// One HTTP request over a plain socket; the status code.
int http_get(uint16_t port, const std::string& target, const std::string& extra_headers = "") {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    const std::string req = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" +
                            extra_headers + "Connection: close\r\n\r\n";
    ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    std::string reply;
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return reply.size() > 12 ? std::atoi(reply.c_str() + 9) : -1;
}

struct Received {
    std::mutex mutex;
    std::vector<std::string> texts;
};

int on_client_data(mg_connection*, int bits, char* data, size_t len, void* user) {
    auto* r = static_cast<Received*>(user);
    if ((bits & 0x0F) == MG_WEBSOCKET_OPCODE_TEXT) {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->texts.emplace_back(data, len);
    }
    return 1;
}

TEST(PanelServer, ServesThePageAndTheBridgeOnlyWithTheSecret) {
    test::TempDir dir;
    test::write_all(dir.file("tray.html"), "<p>panel</p>");
    test::write_all(dir.file("tray.js"), "1");
    WindowThread window;
    RecordingShell shell;
    WebViewConfig config;
    config.page_folder = dir.path();
    config.shell = &shell;
    config.post_to_window_thread = [&](std::function<void()> t) { window.post(std::move(t)); };
    std::string reason;
    auto view = make_webview(config, reason);
    ASSERT_NE(view, nullptr) << reason;
    bool ready = false;
    view->create([&](bool ok, const std::string& error) {
        EXPECT_TRUE(ok) << error;
        ready = true;
    });
    ASSERT_TRUE(window.run_until([&] { return ready; }));
    std::vector<std::string> messages;
    view->set_message_handler([&](const std::string& m) { messages.push_back(m); });
    int deactivated = 0;
    view->set_deactivated_handler([&] { ++deactivated; });
    view->navigate("/tray.html?lang=tr&theme=dark", [](bool, int) {});
    view->show();
    ASSERT_EQ(shell.opened.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(shell.opened[0], m,
                                 std::regex(R"(http://127\.0\.0\.1:(\d+)(/tray\.html\?lang=tr&theme=dark&token=)([0-9a-f]{32}))")));
    const auto port = static_cast<uint16_t>(std::stoi(m[1]));
    const std::string page = m[2].str() + m[3].str();
    const std::string secret = m[3];

    EXPECT_EQ(http_get(port, page), 200);
    EXPECT_EQ(http_get(port, "/tray.html?lang=tr"), 403);
    EXPECT_EQ(http_get(port, page, "Origin: http://evil.example\r\n"), 403);
    EXPECT_EQ(http_get(port, "/tray.js", "Referer: http://127.0.0.1:" + std::to_string(port) + page + "\r\n"), 200);
    EXPECT_EQ(http_get(port, "/missing.js?token=" + secret), 404);

    // The bridge: refused from another origin or without the secret.
    char error[256];
    Received other;
    EXPECT_EQ(mg_connect_websocket_client("127.0.0.1", port, 0, error, sizeof error, ("/bridge?token=" + secret).c_str(),
                                          "http://evil.example", on_client_data, nullptr, &other),
              nullptr);
    const std::string origin = "http://127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(mg_connect_websocket_client("127.0.0.1", port, 0, error, sizeof error, "/bridge?token=0", origin.c_str(),
                                          on_client_data, nullptr, &other),
              nullptr);
    Received got;
    mg_connection* client = mg_connect_websocket_client("127.0.0.1", port, 0, error, sizeof error,
                                                        ("/bridge?token=" + secret).c_str(), origin.c_str(),
                                                        on_client_data, nullptr, &got);
    ASSERT_NE(client, nullptr) << error;
    // UTF-8 both ways, byte for byte.
    const std::string command = "{\"cmd\":\"remove_device\",\"client_id\":\"tel-\xC5\x9F\"}";
    mg_websocket_client_write(client, MG_WEBSOCKET_OPCODE_TEXT, command.data(), command.size());
    ASSERT_TRUE(window.run_until([&] { return !messages.empty(); }));
    EXPECT_EQ(messages[0], command);
    view->post_message("{\"type\":\"state\",\"name\":\"Ay\xC5\x9F" "e\"}");
    ASSERT_TRUE(test::eventually([&] {
        std::lock_guard<std::mutex> lock(got.mutex);
        return !got.texts.empty();
    }));
    EXPECT_EQ(got.texts[0], "{\"type\":\"state\",\"name\":\"Ay\xC5\x9F" "e\"}");
    EXPECT_TRUE(other.texts.empty());

    // The page is open: showing again opens nothing; closing it is losing activation.
    view->show();
    EXPECT_EQ(shell.opened.size(), 1u);
    mg_close_connection(client);
    ASSERT_TRUE(window.run_until([&] { return deactivated == 1; }));
}

}  // namespace
}  // namespace sorvane::platform
