// The host among hostile and clumsy peers, whole processes on loopback: a
// second paired device cannot type into the first one's session and its
// floods leave the log small; stalled sockets from many addresses keep no
// viewer out; a refused device holds no place the streaming one needs; and a
// tap leaves no trace of where it landed anywhere but in the machine's input.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "host/protocol/input_messages.h"
#include "platform/socket.h"
#include "tests/support/slot_holder.h"
#include "tests/system/system_fixture.h"
#include "viewer/pairing/pairing_session.h"
#include "viewer/tls/tls_client.h"
#include "viewer/tls/viewer_identity.h"

namespace sorvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct SystemHostile : test::SystemFixture {
    SystemHostile() { with_setup = false; }

    // The port the running host logged for what (e.g. "input tcp listening on").
    uint16_t logged_port(const std::string& what) {
        std::smatch m;
        const std::string out = host->out();
        EXPECT_TRUE(std::regex_search(out, m, std::regex(what + " 127\\.0\\.0\\.1:(\\d+)"))) << out;
        return m.empty() ? 0 : static_cast<uint16_t>(std::stoi(m[1]));
    }

    // A TLS connection to the host's port with the certificate of the viewer
    // paired in state_dir, the host pinned as that viewer knows it.
    std::unique_ptr<viewer::TlsClient> connect_as(const std::string& state_dir, uint16_t port) {
        std::string error;
        identities.push_back(viewer::ViewerIdentity::load_or_create(state_dir, *clock, error));
        EXPECT_TRUE(identities.back()) << error;
        const std::vector<viewer::KnownHost> hosts = viewer::list_known_hosts(state_dir);
        EXPECT_EQ(hosts.size(), 1u);
        auto c = std::make_unique<viewer::TlsClient>(*clock);
        if (hosts.empty() || !identities.back()) return c;
        EXPECT_TRUE(c->connect({platform::kLoopbackAddress, port}, hosts[0].fingerprint, identities.back().get()))
            << c->last_error();
        return c;
    }

    // Every file the host wrote under its data folder, and its console.
    std::string everything_the_host_wrote() {
        std::string all = host->out();
        for (const auto& e : std::filesystem::recursive_directory_iterator(data)) {
            if (!e.is_regular_file()) continue;
            std::ifstream in(e.path(), std::ios::binary);
            all += std::string(std::istreambuf_iterator<char>(in), {});
        }
        return all;
    }

    // Device A paired in phone, then B in tablet (a token pairs once: one
    // window each); the host runs.
    void start_host_with_two_devices() {
        start_host();
        pair(phone, "Phone A");
        stop_host();
        start_host();
        pair(tablet, "Tablet B");
    }

    std::unique_ptr<platform::IClock> clock = platform::make_system_clock();
    std::vector<std::unique_ptr<viewer::ViewerIdentity>> identities;
    const std::string phone = dir.file("phone"), tablet = dir.file("tablet");
};

template <class M>
void append_input(const M& message, proto::Bytes& out) {
    proto::Bytes frame;
    ASSERT_TRUE(proto::encode_input(message, frame));
    out.insert(out.end(), frame.begin(), frame.end());
}

TEST_F(SystemHostile, AnotherPairedDeviceCannotTypeIntoASessionNorFloodTheLog) {
    start_host_with_two_devices();

    auto a = stream(phone, {"--seconds", "8", "--mode", "1280x720@60"});
    ASSERT_TRUE(host->wait_for_output("[session 1] video started")) << host->out();

    // B holds a session of its own (waiting for its Handshake) and an input
    // connection, and aims everything at A's session 1.
    auto control = connect_as(tablet, logged_port("control tcp listening on"));
    ASSERT_TRUE(host->wait_for_output("-> session 2 ")) << host->out();
    auto input = connect_as(tablet, logged_port("input tcp listening on"));
    const size_t log_before = host->out().size();
    const auto flood_start = Clock::now();
    proto::Bytes bytes;
    append_input(proto::KeyEvent{1, 0x1D, true, 0}, bytes);  // z
    append_input(proto::KeyEvent{1, 0x1D, false, 0}, bytes);
    proto::TouchFrame tap;
    tap.session_id = 1;
    tap.points.push_back(proto::TouchPoint{3, 0, 0.37f, 0.61f});
    append_input(tap, bytes);
    for (int i = 0; i < 100'000; ++i) {
        append_input(proto::KeyEvent{1, 0x1D, i % 2 == 0, 0}, bytes);
        if (bytes.size() > 64'000) {
            ASSERT_TRUE(input->write(bytes.data(), bytes.size())) << input->last_error();
            bytes.clear();
        }
    }
    ASSERT_TRUE(input->write(bytes.data(), bytes.size()));
    // The video port too: junk, and hellos for session 1 that cannot be verified.
    platform::UdpSocket udp;
    ASSERT_TRUE(udp.open("127.0.0.1", 0).ok());
    const platform::Endpoint video{platform::kLoopbackAddress, logged_port("video udp bound on")};
    for (uint32_t i = 0; i < 20'000; ++i) {
        proto::Bytes d(25, 0x5A);
        d[0] = i % 2 == 0 ? 0x01 : 0x02;
        proto::store_u32(d.data() + 1, 1);
        proto::store_u32(d.data() + 5, i);
        udp.send_to(video, d.data(), d.size());
    }
    std::printf("flood written in %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - flood_start).count()));

    ASSERT_EQ(a->wait(60s), 0) << a->out() << a->err();
    stop_host();
    const std::string log = host->out();
    std::printf("log grew by %zu bytes\n%s", log.size() - log_before, a->out().c_str());
    EXPECT_LT(log.size() - log_before, 100'000u);
    EXPECT_NE(log.find("wrong device=100003, "), std::string::npos) << log.substr(log_before);
    EXPECT_NE(log.find("[manager] log budget: "), std::string::npos) << log.substr(log_before);
    const std::string journal = input_journal();
    EXPECT_EQ(journal.find("key Z"), std::string::npos) << journal;
    EXPECT_EQ(journal.find("touch "), std::string::npos) << journal;
    // A streamed on through the flood: no stretch without a picture as long
    // as the flood took to handle. (Its frame rate is no measure here: a
    // sanitizer build on a busy machine reaches well below 60 fps without any
    // flood.)
    std::smatch m;
    const std::string summary = a->out();
    ASSERT_TRUE(std::regex_search(summary, m, std::regex("longest gap between pictures: ([0-9]+) ms"))) << summary;
    EXPECT_LT(std::stoi(m[1]), 1500) << summary;
}

// A viewer command from 127.0.0.100: the time until its output shows text
// (ms), or -1 when it never does.
long long time_until(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                     const std::string& work, const std::string& text, std::string& out) {
    const auto start = Clock::now();
    test::Process viewer(test::bin_path("sorvane-viewer"), args, env, work);
    const bool seen = viewer.wait_for_output(text, 20s);
    const long long elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    viewer.wait(30s);
    out = viewer.out() + viewer.err();
    return seen ? elapsed : -1;
}

TEST_F(SystemHostile, StalledSocketsFromManyAddressesKeepNoViewerOut) {
    start_host();
    const std::string state = dir.file("viewer");
    pair(state, "Test Phone");
    const uint16_t port = logged_port("control tcp listening on");
    // One attempt (the host's one address), and a session that ends at once.
    const std::vector<std::string> connect = {"connect",      "--state",       state,  "--local-address",
                                              "127.0.0.100",  "--timeout-ms",  "5000", "--duration-ms",
                                              "0",            "--no-input"};
    const std::string opened = "{\"type\":\"SessionOpen\"";
    std::string out;
    const long long quiet = time_until(connect, env(), work, opened, out);
    ASSERT_GE(quiet, 0) << out << host->out();

    // 4 addresses holding 4 places each (a fifth socket each keeps being
    // refused), then 7 addresses of 4 sockets, more than the 16 places.
    const struct {
        uint32_t addresses;
        int silent, dribbling;
        uint64_t closes;
    } floods[] = {{4, 3, 2, 8}, {7, 2, 2, 28}};
    for (const auto& f : floods) {
        std::vector<uint32_t> from;
        for (uint32_t i = 0; i < f.addresses; ++i) from.push_back(0x7F000010 + i);
        test::SlotHolder flood(port, from, f.silent, f.dribbling);
        ASSERT_TRUE(flood.wait_for_closes(f.closes)) << flood.opened();
        const long long flooded = time_until(connect, env(), work, opened, out);
        std::printf("%u addresses: SessionOpen after %lld ms (quiet %lld ms), %llu sockets closed by the host\n",
                    f.addresses, flooded, quiet, static_cast<unsigned long long>(flood.closed_by_host()));
        ASSERT_GE(flooded, 0) << out << host->out();
        EXPECT_LT(flooded - quiet, 1000) << out;
    }
    stop_host();
    EXPECT_EQ(displays(), displays_before);
}

// A paired device that is refused and then keeps control connections idle
// in the handshake state holds no place the streaming device needs: the
// streaming one's reconnect gets in at its first attempt.
TEST_F(SystemHostile, ARefusedDeviceHoldingIdleConnectionsKeepsNoPlaceFromTheStreamingOne) {
    start_host_with_two_devices();
    auto a = stream(phone, {"--seconds", "60", "--mode", "1280x720@30"});
    ASSERT_TRUE(host->wait_for_output("[session 1] video started")) << host->out();
    auto b = stream(tablet, {"--seconds", "2"});
    EXPECT_EQ(b->wait(30s), 1);
    EXPECT_NE((b->out() + b->err()).find("refused by the host: device_limit: "), std::string::npos) << b->out();

    std::vector<std::unique_ptr<viewer::TlsClient>> idle;
    for (int i = 0; i < 4; ++i) idle.push_back(connect_as(tablet, logged_port("control tcp listening on")));
    ASSERT_TRUE(wait_for_count(*host, "waiting for their Handshake (max 2)", 2)) << host->out();

    auto again = stream(phone, {"--seconds", "2", "--mode", "1280x720@30"});
    EXPECT_EQ(again->wait(30s), 0) << again->out() << again->err() << host->out();
    EXPECT_NE(host->out().find("ending the older session 1"), std::string::npos) << host->out();
    a->wait(30s);
    stop_host();
}

// Where a tap landed is what the user typed on an on-screen keyboard: the
// machine's input has it, no log and no console does.
TEST_F(SystemHostile, ATapLeavesNoCoordinateInAnyLogOnlyInTheMachinesInput) {
    start_host();
    const std::string state = dir.file("viewer");
    pair(state, "Test Phone");
    auto viewer = stream(state, {"--seconds", "3", "--mode", "1280x720@90", "--tap", "0.6172,0.4219@1"});
    ASSERT_EQ(viewer->wait(30s), 0) << viewer->out() << viewer->err() << host->out();
    stop_host();
    const std::string journal = input_journal();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(journal, m, std::regex("touch down id=0 at \\((-?\\d+),(-?\\d+)\\)"))) << journal;
    const std::string all = everything_the_host_wrote() + driver->out();
    // The lines' own time stamps ("[+   0.617]") are not traces of the tap.
    const std::string untimed = std::regex_replace(all, std::regex("\\[\\+ *[0-9]+\\.[0-9]+\\]"), "");
    for (const std::string& trace : {m[1].str() + "," + m[2].str(), std::string("0.617"), std::string("0.422")})
        EXPECT_EQ(untimed.find(trace), std::string::npos) << trace << "\n" << all;
    EXPECT_NE(all.find("[session 1] touch down id=0"), std::string::npos) << all;
    // The viewer's highest refresh reached the driver's monitor.
    EXPECT_NE(all.find(", mode 1280x720@90 for a 1280x720 viewer display"), std::string::npos) << all;
}

}  // namespace
}  // namespace sorvane
