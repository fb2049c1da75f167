// Start-up in this process, with the random source failing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "host/app/host_runtime.h"
#include "host/core/log.h"
#include "host/trust/tls_identity.h"
#include "platform/cert_store.h"
#include "platform/files.h"
#include "platform/linux/random_fault.h"
#include "tests/support/host_fakes.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

class FolderPaths : public platform::IPaths {
public:
    explicit FolderPaths(std::string dir) : dir_(std::move(dir)) {}
    bool local_app_data(std::string& out) override { return (out = dir_), true; }
    bool program_data(std::string& out) override { return (out = dir_), true; }
    bool working_directory(std::string& out) override { return (out = dir_), true; }
    bool desktop(std::string& out) override { return (out = dir_), true; }

private:
    std::string dir_;
};

TEST(StartUp, AFailingRandomSourceRefusesANewIdAndShowsNoPairingCode) {
    struct Restore {
        std::filesystem::path cwd = std::filesystem::current_path();
        const char* sim_root = std::getenv("SORVANE_SIM_ROOT");
        std::string old_root = sim_root != nullptr ? sim_root : "";
        ~Restore() {
            platform::test_faults::reset_random_faults();
            std::filesystem::current_path(cwd);
            if (sim_root != nullptr) {
                ::setenv("SORVANE_SIM_ROOT", old_root.c_str(), 1);
            } else {
                ::unsetenv("SORVANE_SIM_ROOT");
            }
        }
    } restore;
    test::HostLog log;
    test::TempDir dir;
    ::setenv("SORVANE_SIM_ROOT", dir.file("machine").c_str(), 1);
    std::filesystem::current_path(dir.path());  // where a pairing code would be written
    auto clock = platform::make_system_clock();
    FolderPaths paths(dir.path());
    auto network = platform::make_system_network_info();
    test::NullProtector protector;
    std::atomic<bool> stop{false};
    const HostPlatform ports{clock.get(), &paths, network.get(), &protector};
    HostOptions options;
    options.control_port = options.video_port = options.input_port = 0;
    RunSettings run;
    run.pairing_port = 0;
    const std::string id_file = dir.file("Sorvane/host_id.txt");

    // No stored id and none can be drawn: the host does not start.
    platform::test_faults::fail_random_until_reset();
    {
        HostRuntime runtime(ports, stop);
        EXPECT_FALSE(runtime.start_host(options, run));
        EXPECT_EQ(runtime.last_error(), "host id: the random source failed");
        runtime.stop_host();
    }
    EXPECT_TRUE(log.has("[host] host id olusturulamadi (rastgele kaynak hatasi), durduruluyor"));
    EXPECT_FALSE(log.has("[host] starting"));
    EXPECT_FALSE(platform::file_exists(id_file));

    // A stored id and identity still serve, but pairing at start has no token
    // to offer: no URI and no code are shown.
    platform::test_faults::reset_random_faults();
    const std::string id = "0123abcd-0000-4000-8000-00000000000a";
    std::filesystem::create_directories(dir.file("Sorvane"));
    test::write_all(id_file, id);
    {
        TrustStatus status;
        auto certificates = platform::make_certificate_store(identity_store_folder(dir.file("Sorvane")));
        ASSERT_TRUE(TlsIdentity::load_or_create(kHostIdentityName, *certificates, *clock, status).valid());
    }
    platform::test_faults::fail_random_until_reset();
    run.pair_at_start = true;
    HostRuntime runtime(ports, stop);
    ASSERT_TRUE(runtime.start_host(options, run)) << runtime.last_error();
    EXPECT_EQ(runtime.options().host_id, id);
    EXPECT_TRUE(log.has("[pairing] eslestirme belirteci olusturulamadi (rastgele kaynak hatasi)"));
    EXPECT_FALSE(log.has("eslestirme URI'si"));
    EXPECT_FALSE(platform::file_exists(dir.file("captures/pairing.svg")));
    runtime.stop_host();
}

}  // namespace
}  // namespace sorvane
