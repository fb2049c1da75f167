// The console host pairs the reference viewer, as a person would: the host
// logs its pairing URI and writes the QR code, the viewer pairs with the URI.
#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <regex>

#include "host/trust/pairing_store.h"
#include "platform/sim/manual_clock.h"
#include "tests/host/trust/svg_qr_reader.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "viewer/tls/viewer_identity.h"

namespace sorvane {
namespace {

TEST(PairingProcess, ConsoleHostPairsTheReferenceViewer) {
    test::TempDir dir;
    const std::string data = dir.path() + "/LocalAppData";
    // A pairing port of this run's own (chosen by the system).
    test::Process host(test::bin_path("sorvane-host"), {"--console", "--pair", "--bind", "127.0.0.1", "--control-port", "0", "--video-port", "0",
                        "--input-port", "0"},
                       {{"LOCALAPPDATA", data}, {"SORVANE_PAIRING_PORT", "0"}}, dir.path());
    ASSERT_TRUE(host.wait_for_output("Ctrl+C to stop\n")) << host.out();
    std::smatch m;
    const std::string out = host.out();
    ASSERT_TRUE(std::regex_search(out, m, std::regex("\\[pairing\\] eslestirme penceresi acildi \\((\\d+), 120 sn\\)")))
        << out;
    const std::string port = m[1];
    EXPECT_NE(port, "0");
    EXPECT_NE(port, "47010");
    ASSERT_TRUE(std::regex_search(out, m, std::regex("\\[host\\] eslestirme URI'si \\(2 dk gecerli\\): (sorvane://\\S+)")))
        << out;
    const std::string uri = m[1];
    EXPECT_NE(out.find("[host] QR kodu yazildi: captures/pairing.svg\n"), std::string::npos);
    const std::string svg = test::read_all(dir.path() + "/captures/pairing.svg");
    ASSERT_FALSE(svg.empty());
    if (test::have_zbarimg()) {
        EXPECT_EQ(test::scan_svg_qr(svg), uri);
    }

    const auto viewer = test::run(test::bin_path("sorvane-viewer"),
                                  {"pair", uri, "--address", "127.0.0.1", "--port", port, "--state", dir.path() + "/viewer",
                                   "--client-id", "phone-7", "--name", "Test Phone"});
    ASSERT_EQ(viewer.code, 0) << viewer.out << viewer.err;
    EXPECT_NE(viewer.out.find("paired with"), std::string::npos);
    ASSERT_TRUE(host.wait_for_output("[pairing] SONUC: eslesti client_id=phone-7"));

    host.signal(SIGINT);
    EXPECT_EQ(host.wait(), 0);

    // The stored pairing, read through the user's own data protection.
    setenv("LOCALAPPDATA", data.c_str(), 1);
    auto protector = platform::make_user_data_protector();
    sim::ManualClock clock;
    PairingStore store(*protector, clock);
    store.load(data + "/Sorvane/pairings.dat");
    unsetenv("LOCALAPPDATA");
    const auto records = store.list();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].client_id, "phone-7");
    EXPECT_EQ(records[0].name, "Test Phone");
    std::string error;
    auto phone = viewer::ViewerIdentity::load_or_create(dir.path() + "/viewer", clock, error);
    ASSERT_TRUE(phone) << error;
    EXPECT_FALSE(phone->created());
    EXPECT_EQ(records[0].fingerprint, phone->fingerprint());

    // A second start knows the device.
    test::Process again(test::bin_path("sorvane-host"), {"--console"}, {{"LOCALAPPDATA", data}}, dir.path());
    ASSERT_TRUE(again.wait_for_output("Ctrl+C to stop\n"));
    EXPECT_NE(again.out().find("(1 eslesmis cihaz)"), std::string::npos);
    again.signal(SIGTERM);
    EXPECT_EQ(again.wait(), 0);
}

}  // namespace
}  // namespace sorvane
