// Discovery against a real mDNS responder. ctest runs this program through
// scripts/with-avahi.sh, inside a network namespace of its own with a private
// avahi-daemon; elsewhere every test skips. What the responder publishes is
// read back twice: with avahi-browse, and with a multicast DNS query this
// file writes and parses itself.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/dns_sd.h"
#include "platform/sim/machine.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

using namespace std::chrono_literals;

bool in_namespace() { return std::getenv("SORVANE_AVAHI_DIR") != nullptr; }

#define REQUIRE_RESPONDER()                                                                       \
    if (!in_namespace()) GTEST_SKIP() << "not inside scripts/with-avahi.sh (ctest runs it there)"

// avahi-browse's resolved lines ("=;sv0;IPv4;NAME;_sorvane._tcp;local;HOST;ADDRESS;PORT;TXT") for NAME.
std::vector<std::string> browse(const std::string& name) {
    const auto r = test::run("/usr/bin/avahi-browse", {"-rpt", "_sorvane._tcp"});
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < r.out.size()) {
        size_t end = r.out.find('\n', start);
        if (end == std::string::npos) end = r.out.size();
        const std::string line = r.out.substr(start, end - start);
        if (line.rfind("=;", 0) == 0 && line.find(";" + name + ";_sorvane._tcp;") != std::string::npos) {
            lines.push_back(line);
        }
        start = end + 1;
    }
    return lines;
}

// Polls avahi-browse (real time, bounded) until it resolves name n times.
bool browse_until(const std::string& name, size_t n, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (browse(name).size() != n) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// ---- an independent multicast DNS query ----

struct Record {
    std::string name;
    uint16_t type = 0;
    std::vector<uint8_t> rdata;
    size_t rdata_at = 0;  // offset in the packet, for names compressed into it
};

void put_name(std::vector<uint8_t>& p, const std::string& name) {
    size_t start = 0;
    while (start < name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        p.push_back(static_cast<uint8_t>(dot - start));
        p.insert(p.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
        start = dot + 1;
    }
    p.push_back(0);
}

// Reads a possibly compressed name at pos; false on a malformed packet.
bool read_name(const std::vector<uint8_t>& p, size_t& pos, std::string& out) {
    out.clear();
    size_t at = pos;
    bool jumped = false;
    for (int hops = 0; hops < 64; ++hops) {
        if (at >= p.size()) return false;
        const uint8_t len = p[at];
        if (len == 0) {
            if (!jumped) pos = at + 1;
            return true;
        }
        if ((len & 0xC0) == 0xC0) {
            if (at + 1 >= p.size()) return false;
            if (!jumped) pos = at + 2;
            jumped = true;
            at = static_cast<size_t>(((len & 0x3F) << 8) | p[at + 1]);
            continue;
        }
        if (at + 1 + len > p.size()) return false;
        if (!out.empty()) out += '.';
        out.append(reinterpret_cast<const char*>(&p[at + 1]), len);
        at += 1 + len;
    }
    return false;
}

// Sends one question (legacy unicast: from an ephemeral port, so the
// responder answers to it directly) and returns the records of the answer.
std::vector<Record> mdns_query(const std::string& name, uint16_t type) {
    std::vector<uint8_t> q = {0x5A, 0x17, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    put_name(q, name);
    q.insert(q.end(), {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0, 1});

    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_GE(fd, 0);
    in_addr local{};
    ::inet_pton(AF_INET, "10.77.0.1", &local);
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
    const unsigned char loop = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(5353);
    ::inet_pton(AF_INET, "224.0.0.251", &group.sin_addr);
    std::vector<Record> records;
    for (int attempt = 0; attempt < 3 && records.empty(); ++attempt) {
        ::sendto(fd, q.data(), q.size(), 0, reinterpret_cast<const sockaddr*>(&group), sizeof group);
        pollfd pfd{fd, POLLIN, 0};
        while (::poll(&pfd, 1, 1000) == 1) {
            std::vector<uint8_t> p(9000);
            const ssize_t n = ::recv(fd, p.data(), p.size(), 0);
            if (n < 12) continue;
            p.resize(static_cast<size_t>(n));
            if (p[0] != 0x5A || p[1] != 0x17 || (p[2] & 0x80) == 0) continue;  // not our answer
            const size_t questions = static_cast<size_t>((p[4] << 8) | p[5]);
            const size_t answers = static_cast<size_t>((p[6] << 8) | p[7]) + ((p[8] << 8) | p[9]) + ((p[10] << 8) | p[11]);
            size_t pos = 12;
            std::string skip;
            for (size_t i = 0; i < questions; ++i) {
                if (!read_name(p, pos, skip)) return records;
                pos += 4;
            }
            for (size_t i = 0; i < answers; ++i) {
                Record r;
                if (!read_name(p, pos, r.name) || pos + 10 > p.size()) return records;
                r.type = static_cast<uint16_t>((p[pos] << 8) | p[pos + 1]);
                const size_t len = static_cast<size_t>((p[pos + 8] << 8) | p[pos + 9]);
                pos += 10;
                if (pos + len > p.size()) return records;
                r.rdata.assign(p.begin() + static_cast<long>(pos), p.begin() + static_cast<long>(pos + len));
                r.rdata_at = pos;
                pos += len;
                records.push_back(std::move(r));
            }
            break;
        }
    }
    ::close(fd);
    return records;
}

// The TXT strings of name, in the order they stand in the record.
std::vector<std::string> query_txt(const std::string& name) {
    std::vector<std::string> strings;
    for (const Record& r : mdns_query(name, 16)) {
        if (r.type != 16 || r.name != name) continue;
        for (size_t i = 0; i < r.rdata.size();) {
            const size_t len = r.rdata[i];
            strings.emplace_back(reinterpret_cast<const char*>(&r.rdata[i + 1]), std::min(len, r.rdata.size() - i - 1));
            i += 1 + len;
        }
    }
    return strings;
}

// Port and target of name's SRV record; port 0 when there is none.
std::pair<uint16_t, std::string> query_srv(const std::string& name) {
    for (const Record& r : mdns_query(name, 33)) {
        if (r.type != 33 || r.name != name || r.rdata.size() < 7) continue;
        return {static_cast<uint16_t>((r.rdata[4] << 8) | r.rdata[5]),
                std::string(reinterpret_cast<const char*>(&r.rdata[7]), r.rdata[6])};
    }
    return {0, {}};
}

// ---- the registrar ----

struct Completions {
    std::mutex m;
    std::condition_variable cv;
    std::vector<uint32_t> statuses;
    std::vector<std::string> names;

    platform::DnsServiceCompletion callback() {
        return [this](uint32_t status, const std::string& name) {
            std::lock_guard<std::mutex> g(m);
            statuses.push_back(status);
            names.push_back(name);
            cv.notify_all();
        };
    }
    bool wait_for(size_t n) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, 10s, [&] { return statuses.size() >= n; });
    }
};

TEST(AvahiRegistrar, PublishesTheInstanceAndLosesItWithTheDaemon) {
    REQUIRE_RESPONDER();
    auto registrar = platform::make_dns_service_registrar();
    ASSERT_TRUE(registrar->responder_available());

    platform::DnsServiceInstance in;
    in.instance_name = "a1b2c3d4._sorvane._tcp.local";
    in.host_name = "sorvanepc.local";  // not the daemon's own name: its address is published too
    in.port = 47123;
    in.properties = {{"v", "256"}, {"id", "a1b2c3d4-full"}, {"n", "sorvanepc"}, {"f", "0011223344556677"}};
    Completions done;
    std::unique_ptr<platform::IDnsServiceRegistration> reg;
    ASSERT_EQ(registrar->register_service(in, done.callback(), reg), platform::kDnsRequestPending);
    ASSERT_TRUE(done.wait_for(1));
    EXPECT_EQ(done.statuses[0], 0u);
    EXPECT_EQ(done.names[0], "a1b2c3d4._sorvane._tcp.local");

    ASSERT_TRUE(browse_until("a1b2c3d4", 1));
    EXPECT_EQ(browse("a1b2c3d4")[0],
              "=;sv0;IPv4;a1b2c3d4;_sorvane._tcp;local;sorvanepc.local;10.77.0.1;47123;"
              "\"f=0011223344556677\" \"n=sorvanepc\" \"id=a1b2c3d4-full\" \"v=256\"");
    // On the wire, the record holds the properties in the order they were given.
    EXPECT_EQ(query_txt("a1b2c3d4._sorvane._tcp.local"),
              (std::vector<std::string>{"v=256", "id=a1b2c3d4-full", "n=sorvanepc", "f=0011223344556677"}));
    EXPECT_EQ(query_srv("a1b2c3d4._sorvane._tcp.local"), std::make_pair(uint16_t{47123}, std::string("sorvanepc")));

    // The daemon restarts: the registration is reported lost, the registrar
    // takes new ones once the daemon is back.
    ASSERT_EQ(std::system("\"$SORVANE_AVAHI_DIR/avahi-restart\""), 0);
    ASSERT_TRUE(done.wait_for(2));
    EXPECT_EQ(done.statuses[1], platform::kErrorServiceNotActive);
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!registrar->responder_available() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(registrar->responder_available());
    EXPECT_TRUE(browse("a1b2c3d4").empty());

    in.interface_index = ::if_nametoindex("sv0");
    Completions again;
    std::unique_ptr<platform::IDnsServiceRegistration> second;
    ASSERT_EQ(registrar->register_service(in, again.callback(), second), platform::kDnsRequestPending);
    ASSERT_TRUE(again.wait_for(1));
    EXPECT_EQ(again.statuses[0], 0u);
    ASSERT_TRUE(browse_until("a1b2c3d4", 1));

    // Withdrawing is destroying the handle: the responder stops answering at
    // once, and no completion comes after it.
    second.reset();
    reg.reset();
    EXPECT_TRUE(query_txt("a1b2c3d4._sorvane._tcp.local").empty());
    EXPECT_EQ(again.statuses.size(), 1u);
}

// ---- the host ----

std::string host_id_prefix(const std::string& log) {
    const std::string key = "host_id=";
    const size_t at = log.find(key);
    return at == std::string::npos ? std::string() : log.substr(at + key.size(), 8);
}

TEST(AvahiHost, ARunningHostIsFoundFollowsItsNetworksAndIsGoneWhenItStops) {
    REQUIRE_RESPONDER();
    test::TempDir dir;
    const std::string root = dir.file("machine");
    const std::map<std::string, std::string> env{
        {"LOCALAPPDATA", dir.path()}, {"SORVANE_PAIRING_PORT", "0"}, {"SORVANE_SIM_ROOT", root}};
    const std::string sim = test::bin_path("sorvane-sim");
    ASSERT_EQ(test::run(sim, {"init"}, env).code, 0);

    test::Process host(test::bin_path("sorvane-host"),
                       {"--console", "--bind", "0.0.0.0", "--control-port", "0", "--video-port", "0", "--input-port", "0"},
                       env);
    ASSERT_TRUE(host.wait_for_output("[mdns] ilan edildi: ")) << host.out();
    const std::string id = host_id_prefix(host.out());
    ASSERT_EQ(id.size(), 8u);
    // The machine's own adapters: sv0 is a virtual one, so one registration
    // serves every interface, with the computer name.
    EXPECT_NE(host.out().find("bilgisayar adi gorunur)"), std::string::npos);
    ASSERT_TRUE(browse_until(id, 1)) << host.out();
    const std::string line = browse(id)[0];
    EXPECT_NE(line.find(";sorvanepc.local;10.77.0.1;"), std::string::npos) << line;
    EXPECT_NE(line.find("\"n=sorvanepc\""), std::string::npos) << line;
    const auto txt = query_txt(id + "._sorvane._tcp.local");
    ASSERT_EQ(txt.size(), 4u);
    EXPECT_EQ(txt[0], "v=256");
    EXPECT_EQ(txt[1].substr(0, 3 + 8), "id=" + id);
    EXPECT_EQ(txt[2], "n=sorvanepc");
    EXPECT_EQ(txt[3].size(), 2u + 16u);

    // The machine moves to a cafe Wi-Fi (Public) on sv0: within two watcher
    // passes the name is taken off it.
    ASSERT_EQ(test::run(sim, {"network", "add", "Wi-Fi", "wifi", "10.77.0.1/24", "--index",
                              std::to_string(::if_nametoindex("sv0")), "--category", "public"},
                        env)
                  .code,
              0);
    ASSERT_TRUE(host.wait_for_output("GIZLI (Ortak ag), 0 arayuzde gorunur)", 10s)) << host.out();
    EXPECT_NE(host.out().find("[net] ag turu: Wi-Fi Genel; Genel profilde sorvane-host.exe izni: yok; guvenlik "
                              "duvari engeli ACIK"),
              std::string::npos)
        << host.out();
    ASSERT_TRUE(browse_until(id, 1));
    EXPECT_EQ(browse(id)[0].find("\"n="), std::string::npos);
    EXPECT_EQ(query_txt(id + "._sorvane._tcp.local").size(), 3u);

    // The daemon restarts under the running host: the next pass registers again.
    ASSERT_EQ(std::system("\"$SORVANE_AVAHI_DIR/avahi-restart\""), 0);
    ASSERT_TRUE(host.wait_for_output("[mdns] yanitlayici yeniden hazir: ilan yenileniyor", 10s)) << host.out();
    ASSERT_TRUE(browse_until(id, 1)) << host.out();

    // Stopping withdraws: the responder stops answering at once, and a
    // browser that was watching sees the instance go within a second.
    test::Process watching("/usr/bin/avahi-browse", {"-rp", "_sorvane._tcp"});
    ASSERT_TRUE(watching.wait_for_output("=;sv0;IPv4;" + id + ";"));
    host.signal(SIGINT);
    ASSERT_EQ(host.wait(), 0) << host.out();
    const auto stopped = std::chrono::steady_clock::now();
    ASSERT_TRUE(watching.wait_for_output("-;sv0;IPv4;" + id + ";_sorvane._tcp;local", 5s)) << watching.out();
    const auto gone_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopped).count();
    std::printf("instance gone from the browser %lld ms after the host stopped\n", static_cast<long long>(gone_ms));
    EXPECT_NE(host.out().find("[mdns] ilan geri cekildi"), std::string::npos);
    EXPECT_TRUE(query_txt(id + "._sorvane._tcp.local").empty());
    watching.signal(SIGTERM);
    watching.wait();
}

}  // namespace
}  // namespace sorvane
