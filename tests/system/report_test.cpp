// The problem report after a streamed session, as a support person gets it:
// sorvane-host --report on a machine whose computer, user and device carry
// Turkish names; any ZIP reader opens the archive, every documented entry is
// in it, and nothing in it identifies the machine, the user or the device.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/system.h"
#include "tests/support/zip_reader.h"
#include "tests/system/system_fixture.h"

namespace sorvane {
namespace {

using namespace std::chrono_literals;

const std::string kComputer = "G\xC3\x9CL\xC5\x9E" "EN-PC";  // GÜLŞEN-PC
const std::string kUser = "\xC5\x9E\xC3\xBCkr\xC3\xBC";       // Şükrü
const std::string kDevice = "Ay\xC5\x9F" "e'nin Telefonu";

// The machine's own addresses, as text.
std::vector<std::string> machine_addresses() {
    std::vector<std::string> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr) continue;
        char text[INET6_ADDRSTRLEN] = {};
        if (a->ifa_addr->sa_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
        } else if (a->ifa_addr->sa_family == AF_INET6) {
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(a->ifa_addr)->sin6_addr, text, sizeof text);
        } else {
            continue;
        }
        // "::1" and the like are no one's: two hex digits at least.
        if (std::string(text).size() > 4) out.emplace_back(text);
    }
    freeifaddrs(list);
    return out;
}

struct SystemReport : test::SystemFixture {
    void SetUp() override {
        SystemFixture::SetUp();
        if (HasFatalFailure()) return;
        // The user's data lives in a profile folder that carries the user's name.
        data = dir.file("Users/" + kUser + "/AppData/Local");
        std::filesystem::create_directories(data + "/Sorvane");
        ASSERT_EQ(sim({"set", "computer-name", kComputer}).code, 0);
        ASSERT_EQ(sim({"workstation", "user", kUser, "--profile", kUser}).code, 0);
    }
};

TEST_F(SystemReport, AfterAStreamedSessionTheReportReadsEverywhereAndIdentifiesNoOne) {
    test::write_all(data + "/Sorvane/settings.txt", "color_vibrance=light\n");
    start_host();
    const std::string state = dir.file("viewer");
    pair(state, kDevice);
    auto viewer = stream(state, {"--seconds", "2", "--mode", "1280x720@30"});
    ASSERT_EQ(viewer->wait(30s), 0) << viewer->out() << viewer->err() << host->out();
    stop_host();
    std::filesystem::create_directories(data + "/Sorvane/crash");
    test::write_all(data + "/Sorvane/crash/sorvane-host-20250101-101010-42.dmp", "MDMP");

    const test::RunResult r = test::run(test::bin_path("sorvane-host"), {"--report"}, env(), work);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m, std::regex("report: (.*/Sorvane-sorun-raporu-\\d{8}-\\d{6}\\.zip) \\((\\d+) dosya\\)\n")))
        << r.out;
    const std::string zip = m[1];
    EXPECT_EQ(zip.rfind(root + "/Users/" + kUser + "/Desktop/", 0), 0u) << zip;

    // Three readers that share no code with the writer.
    std::vector<test::ZipEntry> entries;
    std::string error;
    ASSERT_TRUE(test::read_zip(zip, entries, error)) << error;
    EXPECT_EQ(std::to_string(entries.size()), m[2].str());
    const auto py = test::run("/usr/bin/python3",
                              {"-c", "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\nprint(z.testzip())\n", zip});
    EXPECT_EQ(py.code, 0) << py.err;
    EXPECT_EQ(py.out, "None\n");
    const auto unzip = test::run("/usr/bin/unzip", {"-t", zip});
    EXPECT_EQ(unzip.code, 0) << unzip.out << unzip.err;

    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    const std::vector<std::string> expected = {"ozet.txt", "loglar/sorvane-host.log", "ayarlar.txt",
                                               "kurulum/setup.log", "cokme-dokumleri-listesi.txt"};
    for (const auto& name : expected) EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
    EXPECT_TRUE(std::any_of(names.begin(), names.end(), [](const std::string& n) { return n.rfind("surucu/sv_", 0) == 0; }));
    const std::string& summary = entries[0].data;
    EXPECT_NE(summary.find("Kurulu paket (kayit defteri): kurucu 0.1.14, surucu paketi 1.0.0\n"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("Renk canliligi (K75): light"), std::string::npos);
    EXPECT_NE(summary.find("  kural \"Sorvane"), std::string::npos) << summary;

    // What identifies the machine, the user and the device, as the host wrote them.
    const std::string out = host->out();
    std::vector<std::string> secrets = {kComputer, kUser, kDevice};
    for (const char* key : {"host=", "fp=", "token="}) {
        ASSERT_TRUE(std::regex_search(out, m, std::regex(std::string(key) + "([0-9a-fA-F-]+)"))) << key << out;
        secrets.push_back(m[1]);
    }
    secrets.push_back(test::read_all(state + "/client_id.txt").substr(0, test::read_all(state + "/client_id.txt").find('\n')));
    std::string hostname;
    if (platform::computer_name(hostname) && hostname.size() > 2) secrets.push_back(hostname);
    for (const auto& a : machine_addresses()) secrets.push_back(a);
    secrets.push_back("127.0.0.1");
    for (const auto& e : entries) {
        EXPECT_TRUE(is_valid_utf8(e.data)) << e.name;
        for (const auto& s : secrets) EXPECT_EQ(e.data.find(s), std::string::npos) << e.name << ": " << s;
    }
    // And the host's log did carry them.
    const std::string log = test::read_all(data + "/Sorvane/logs/sorvane-host.log");
    for (size_t i = 3; i < 7; ++i) EXPECT_NE(log.find(secrets[i]), std::string::npos) << secrets[i];
}

}  // namespace
}  // namespace sorvane
