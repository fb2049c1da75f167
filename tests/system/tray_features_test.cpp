// The tray host's update check, device removal, --quit and --purge-user-data
// as whole processes: a local HTTPS server of the test's own CA serves
// release.json, the panel is driven over its bridge WebSocket as the page
// drives it, and the tray is the simulated machine's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <regex>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/socket.h"
#include "tests/support/zip_reader.h"
#include "tests/system/system_fixture.h"

namespace sorvane {
namespace {

using namespace std::chrono_literals;

// Polls cond (real time, bounded) until it holds.
bool eventually(const std::function<bool()>& cond, std::chrono::seconds limit = 30s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// The page's side of the panel bridge: one WebSocket at /bridge.
class Bridge {
public:
    // address: the panel address the shell was asked to open.
    bool open(const std::string& address) {
        std::smatch m;
        if (!std::regex_search(address, m, std::regex(R"(127\.0\.0\.1:(\d+)/tray\.html\?.*token=([0-9a-f]+))")))
            return false;
        const std::string port = m[1], token = m[2];
        platform::Endpoint remote;
        remote.address = platform::kLoopbackAddress;
        remote.port = static_cast<uint16_t>(std::stoi(port));
        if (!s_.connect(remote, 5000).ok()) return false;
        s_.set_receive_timeout(200);
        const std::string request = "GET /bridge?token=" + token + " HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                                    "\r\nOrigin: http://127.0.0.1:" + port +
                                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
        if (!s_.send_all(request.data(), request.size()).ok()) return false;
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (buf_.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < end) fill();
        const size_t head = buf_.find("\r\n\r\n");
        if (head == std::string::npos || buf_.rfind("HTTP/1.1 101", 0) != 0) return false;
        buf_.erase(0, head + 4);
        return true;
    }

    // A command as the page sends it (one masked text frame).
    bool send(const std::string& text) {
        std::string frame = "\x81";
        frame += static_cast<char>(0x80 | text.size());  // commands are short
        const char mask[4] = {0x11, 0x22, 0x33, 0x44};
        frame.append(mask, 4);
        for (size_t i = 0; i < text.size(); ++i) frame += static_cast<char>(text[i] ^ mask[i % 4]);
        return text.size() < 126 && s_.send_all(frame.data(), frame.size()).ok();
    }

    // The next state message that holds text (real time, bounded); empty when none came.
    std::string state_with(const std::string& text, std::chrono::seconds limit = 20s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            std::string message;
            if (next_message(message) && message.find(text) != std::string::npos) return message;
        }
        return {};
    }

private:
    void fill() {
        char chunk[4096];
        const platform::SocketResult r = s_.recv(chunk, sizeof chunk);
        if (r.ok()) buf_.append(chunk, r.bytes);
    }
    bool next_message(std::string& out) {
        fill();
        if (buf_.size() < 2) return false;
        size_t len = static_cast<uint8_t>(buf_[1]) & 0x7F;
        size_t at = 2;
        if (len == 126 || len == 127) {
            const size_t n = len == 126 ? 2 : 8;
            if (buf_.size() < 2 + n) return false;
            len = 0;
            for (size_t i = 0; i < n; ++i) len = (len << 8) | static_cast<uint8_t>(buf_[2 + i]);
            at += n;
        }
        if (buf_.size() < at + len) return false;
        out = buf_.substr(at, len);
        buf_.erase(0, at + len);
        return true;
    }

    platform::TcpStream s_;
    std::string buf_;
};

struct SystemTray : test::SystemFixture {
    SystemTray() { with_setup = false; }

    void SetUp() override {
        test::SystemFixture::SetUp();
        server = std::make_unique<test::Process>(
            "/usr/bin/python3", std::vector<std::string>{std::string(SORVANE_SOURCE_DIR) + "/tests/support/release_server.py",
                                                         dir.path()});
        ASSERT_TRUE(server->wait_for_output("ports ")) << server->err();
        std::smatch m;
        const std::string out = server->out();
        ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(trusted=(\d+))")));
        test::write_all(dir.file("release.json"), R"({"version": "0.2"})");
        host_env = {{"SORVANE_UPDATE_URL", "https://127.0.0.1:" + m[1].str() + "/release.json"},
                    {"SORVANE_UPDATE_CA", dir.file("ca.pem")},
                    {"SORVANE_UPDATE_FIRST_S", "0"},
                    {"XDG_RUNTIME_DIR", dir.path()}};
    }

    std::string log_text() const {
        const std::string path = data + "/Sorvane/logs/sorvane-host.log";
        return platform::file_exists(path) ? test::read_all(path) : std::string();
    }
    bool logged(const std::string& text, size_t times = 1) {
        return eventually([&] {
            const std::string log = log_text();
            size_t n = 0;
            for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
            return n >= times;
        });
    }
    std::string tray() { return sim({"tray"}).out; }

    void start_tray_host() {
        std::map<std::string, std::string> vars = env();
        vars.insert(host_env.begin(), host_env.end());
        host = std::make_unique<test::Process>(
            test::bin_path("sorvane-host"),
            std::vector<std::string>{"--bind", "127.0.0.1", "--no-gpu-pref", "--control-port", "0", "--video-port", "0",
                                     "--input-port", "0"},
            vars, work);
        ASSERT_TRUE(eventually([&] { return tray().find("icon 1: idle") != std::string::npos; }))
            << log_text();
    }
    // Opens the panel as a left click does and connects to its bridge.
    void open_panel(Bridge& bridge) {
        const size_t opened = sim({"shell"}).out.size();
        ASSERT_EQ(sim({"tray", "click", "left"}).code, 0);
        std::string address;
        ASSERT_TRUE(eventually([&] {
            const std::string shell = sim({"shell"}).out;
            const size_t at = shell.find("/tray.html?", opened);
            if (at == std::string::npos) return false;
            address = shell.substr(shell.rfind('\n', at) + 1, shell.find('\n', at) - shell.rfind('\n', at) - 1);
            return true;
        }));
        ASSERT_TRUE(bridge.open(address)) << address;
        ASSERT_TRUE(bridge.send(R"({"cmd":"ready"})"));
    }
    // The port of the last host that started (the log holds every run).
    std::string tray_control_port() {
        const std::string log = log_text();
        const std::regex line(R"(control tcp listening on 127\.0\.0\.1:(\d+))");
        std::string port = "0";
        for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it)
            port = (*it)[1];
        return port;
    }
    std::unique_ptr<test::Process> stream_to_tray(const std::string& state, const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"stream", "127.0.0.1:" + tray_control_port(), "--state", state};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<test::Process>(test::bin_path("sorvane-viewer"), args, env(), work);
    }
    // --quit: ends the tray host and tells so.
    void quit() {
        const test::RunResult r = test::run(test::bin_path("sorvane-host"), {"--quit"}, env(), work);
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, "sorvane-host --quit: tamam (calisan ornek yok ya da temiz kapandi)\n");
        EXPECT_EQ(host->wait(5s), 0) << log_text();
    }

    std::unique_ptr<test::Process> server;
};

TEST_F(SystemTray, UpdateBalloonOncePerVersionRemovalEndsTheSessionQuitAndPurgeEndTheHost) {
    const std::string phone = dir.file("phone");
    start_host();
    pair(phone, "Test Phone");
    stop_host();
    std::string client_id = test::read_all(phone + "/client_id.txt");
    while (!client_id.empty() && (client_id.back() == '\n' || client_id.back() == '\r')) client_id.pop_back();

    // An earlier session told the host this device is a phone.
    test::write_all(data + "/Sorvane/device_kinds.txt", client_id + "|phone\n");

    start_tray_host();
    // The newer version: a balloon, once, and the panel's "update".
    ASSERT_TRUE(logged("tamam: yayindaki 0.2, bu 0.1.14 (yeni surum var)")) << log_text();
    const std::string balloon =
        "  balloon (showing): New version available | Sorvane 0.2 is out. Click to open the download page.\n";
    ASSERT_TRUE(eventually([&] { return tray().find(balloon) != std::string::npos; })) << tray();
    Bridge bridge;
    open_panel(bridge);
    EXPECT_NE(bridge.state_with(R"("update":{"version":"0.2"})"), "");

    // The problem report from the panel: on the user's desktop, shown in its
    // folder, with the update check's result and the paired device masked.
    ASSERT_TRUE(bridge.send(R"({"cmd":"open_report"})"));
    ASSERT_TRUE(bridge.send(R"({"cmd":"create_report"})"));
    ASSERT_NE(bridge.state_with(R"("report":{"state":"done")", 60s), "") << log_text();
    std::smatch select;
    const std::string journal = sim({"journal"}).out;
    ASSERT_TRUE(std::regex_search(journal, select, std::regex("\\] shell select (.*/Sorvane-sorun-raporu-\\d{8}-\\d{6}\\.zip)\n")))
        << journal;
    EXPECT_EQ(select[1].str().rfind(root + "/Users/SimUser/Desktop/", 0), 0u) << select[1];
    std::vector<test::ZipEntry> entries;
    std::string error;
    ASSERT_TRUE(test::read_zip(select[1], entries, error)) << error;
    EXPECT_TRUE(logged("[report] sorun raporu olusturuldu (" + std::to_string(entries.size()) + " dosya)")) << log_text();
    EXPECT_TRUE(std::regex_search(entries[0].data, std::regex("\nGuncelleme denetimi \\(K72\\): acik; son denetim: "
                                                              "[-0-9 :]+ tamam: yayindaki 0\\.2, bu 0\\.1\\.14 \\(yeni surum var\\)\n")))
        << entries[0].data;
    for (const auto& e : entries) {
        EXPECT_EQ(e.data.find(client_id.substr(0, 8)), std::string::npos) << e.name << "\n" << e.data;
    }

    // A streaming phone removed from the panel: its session ends, the note is
    // written, and it is no longer paired.
    auto viewer = stream_to_tray(phone, {"--seconds", "60", "--mode", "1280x720@30"});
    ASSERT_TRUE(logged("[session 1] video started")) << log_text();
    // Listed with its name, its kind and as connected.
    const std::string listed = bridge.state_with(R"("paired":[{"client_id":")" + client_id +
                                                 R"(","name":"Test Phone","connected":true,"last_seen_at":")");
    EXPECT_NE(listed.find(R"(,"kind":"phone"}])"), std::string::npos) << listed;
    ASSERT_TRUE(bridge.send(R"({"cmd":"remove_device","client_id":")" + client_id + "\"}"));
    EXPECT_EQ(viewer->wait(30s), 0) << viewer->out() << viewer->err();
    EXPECT_NE(viewer->out().find("  end: ended by the host"), std::string::npos) << viewer->out();
    ASSERT_TRUE(logged("[devices] cihaz kaldirildi (kaynak: panel): client " + client_id.substr(0, 8) +
                       ", bagliydi: baglanti kesildi; eslesme silindi, telefon yeniden QR ile eslesmeli"))
        << log_text();
    EXPECT_NE(bridge.state_with(R"("paired":[])"), "");
    EXPECT_EQ(test::read_all(data + "/Sorvane/device_kinds.txt"), "");
    const std::string settings = test::read_all(data + "/Sorvane/settings.txt");
    EXPECT_TRUE(std::regex_search(settings, std::regex("last_device_removed=\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d \\| client " +
                                                      client_id.substr(0, 8) + " \\| kaynak: panel \\| bagliydi: evet\n")))
        << settings;
    auto refused = stream_to_tray(phone, {"--seconds", "2"});
    EXPECT_EQ(refused->wait(30s), 1);
    EXPECT_NE((refused->out() + refused->err()).find("refused by the host: not_paired"), std::string::npos);

    // The balloon's click opens the download page.
    ASSERT_EQ(sim({"tray", "balloon-click"}).code, 0);
    EXPECT_TRUE(eventually(
        [&] { return sim({"shell"}).out.find("https://sorvane.com/en/download/\n") != std::string::npos; }));
    quit();

    // The next start finds the same version: no second balloon. (A click on
    // the icon is handled after the update notice, so its panel shows the
    // notice has been dealt with.)
    start_tray_host();
    ASSERT_TRUE(logged("tamam: yayindaki 0.2, bu 0.1.14 (yeni surum var)", 2)) << log_text();
    Bridge again;
    open_panel(again);
    EXPECT_NE(again.state_with(R"("update":{"version":"0.2"})"), "");
    EXPECT_EQ(tray().find("balloon"), std::string::npos) << tray();

    // A purge stops the running tray host first, then removes what it kept.
    const test::RunResult purge = test::run(test::bin_path("sorvane-host"), {"--purge-user-data"}, env(), work);
    EXPECT_EQ(host->wait(5s), 0);
    EXPECT_EQ(purge.code, 0) << purge.out;
    EXPECT_NE(purge.out.find("  host kimlik sertifikasi (CurrentUser\\My): 1 silindi\n  GPU tercih girdisi: yok\n  " +
                             data + "/Sorvane: silindi/yok\ntamam\n"),
              std::string::npos)
        << purge.out;
    EXPECT_FALSE(platform::file_exists(data + "/Sorvane"));
    EXPECT_EQ(tray().find("icon 1"), std::string::npos) << tray();
}

}  // namespace
}  // namespace sorvane
