// The GPU preference on simulated machines: one GPU, hybrid laptops, old
// Windows, failing adapters and registry, and the start-up step's restart.
#include <gtest/gtest.h>

#include <mutex>

#include "host/core/gpu_preference.h"
#include "host/core/log.h"
#include "platform/sim/gpu_sim.h"
#include "platform/sim/machine.h"
#include "platform/sim/ports.h"
#include "platform/sim/system_model.h"

namespace sorvane {
namespace {

using platform::RegistryHive;

const std::string kExe = "C:\\Program Files\\Sorvane\\sorvane-host.exe";
constexpr uint64_t kFirst = 0x12A40;   // the fresh machine's first GPU (drives the monitor)
constexpr uint64_t kSecond = 0x12A50;

struct Rig {
    std::shared_ptr<sim::Machine> machine = std::make_shared<sim::Machine>();
    std::unique_ptr<platform::IGpuAdapters> gpus;
    std::unique_ptr<platform::IRegistry> registry;
    GpuPrefPorts* ports = nullptr;

    // gpus render GPUs; hybrid: the first is the low-power one, the second
    // (vendor 0x10DE when nvidia) the high-performance one.
    explicit Rig(uint32_t count = 2, bool hybrid = true, bool nvidia = true) {
        sim::MachineSetup setup;
        setup.render_gpus = count;
        EXPECT_TRUE(machine->initialize(setup));
        machine->update("hybrid", [&](sim::MachineState& s) {
            if (hybrid) s.display.gpus[0].low_power = true;
            if (nvidia && count > 1) s.display.gpus[1].vendor_id = 0x10DE;
        });
        gpus = sim::make_sim_gpu_adapters(machine);
        registry = sim::make_sim_registry(machine);
        ports_ = std::make_unique<GpuPrefPorts>(GpuPrefPorts{*gpus, *registry, kExe});
        ports = ports_.get();
    }
    void fault(const std::string& point, uint32_t code) {
        machine->update("fault", [&](sim::MachineState& s) { s.faults.arm(point, 1, code, 100); });
    }
    void set_value(const std::string& text) {
        registry->set_value(RegistryHive::current_user, kGpuPreferencesKey, kExe, platform::reg_sz(text));
    }
    std::string value() {
        std::string out;
        platform::registry_read_sz(*registry, RegistryHive::current_user, kGpuPreferencesKey, kExe, out);
        return out;
    }
    std::unique_ptr<GpuPrefPorts> ports_;
};

TEST(GpuPreference, RenderGpuIsTheFirstRenderingHardwareAdapterPreferringVendor10DE) {
    Rig hybrid;
    auto gpu = find_render_gpu(*hybrid.gpus);
    ASSERT_TRUE(gpu);
    EXPECT_EQ(gpu->luid, kSecond);

    Rig plain(2, true, false);
    plain.machine->update("name", [](sim::MachineState& s) { s.display.gpus[0].name = "Grafik \xC3\x87ip"; });
    gpu = find_render_gpu(*plain.gpus);
    ASSERT_TRUE(gpu);
    EXPECT_EQ(gpu->luid, kFirst);
    EXPECT_EQ(gpu->name, "Grafik ?ip");  // one mark per character

    // The kernel cannot say whether the NVIDIA adapter renders: it is no candidate.
    hybrid.machine->update("fault", [](sim::MachineState& s) { s.faults.arm("d3dkmt.query_adapter_type", 2, 0xC0000001u); });
    gpu = find_render_gpu(*hybrid.gpus);
    ASSERT_TRUE(gpu);
    EXPECT_EQ(gpu->luid, kFirst);

    Rig none(0, false, false);  // only the software adapter
    EXPECT_FALSE(find_render_gpu(*none.gpus));
}

TEST(GpuPreference, AnalysisStatesAndTexts) {
    struct Case {
        const char* name;
        uint32_t gpus;
        uint64_t render;
        std::function<void(Rig&)> prepare;
        bool may_write;
        int state;
        std::string requested;
        std::string text;
        std::string stored;  // the value afterwards
    };
    const Case cases[] = {
        {"one GPU", 1, kFirst, nullptr, true, 0, "",
         "tek GPU sinifi (en dusuk guc = en yuksek performans): GPU tercihi gerekmez", ""},
        {"discrete render GPU", 2, kSecond, nullptr, true, 2, "GpuPreference=2;",
         "GPU tercihi yazildi (surec yeniden baslayinca gecerli)", "GpuPreference=2;"},
        {"integrated render GPU", 2, kFirst, nullptr, true, 2, "GpuPreference=1;",
         "GPU tercihi yazildi (surec yeniden baslayinca gecerli)", "GpuPreference=1;"},
        {"matching", 2, kSecond, [](Rig& r) { r.set_value("GpuPreference=2;"); }, true, 1, "GpuPreference=2;",
         "GPU tercihi render GPU'suyla uyumlu", "GpuPreference=2;"},
        {"differs, no writing", 2, kSecond, [](Rig& r) { r.set_value("GpuPreference=1;"); }, false, 3,
         "GpuPreference=2;", "GPU tercihi uyusmuyor (yazilmadi)", "GpuPreference=1;"},
        {"old Windows", 2, kSecond,
         [](Rig& r) {
             r.machine->update("build", [](sim::MachineState& s) {
                 s.registry.set_sz(RegistryHive::local_machine, sim::kCurrentVersionKey, "CurrentBuildNumber", "17133");
             });
         },
         true, 0, "", "IDXGIFactory6 yok (eski Windows): GPU tercihi ayarlanmadi", ""},
        {"classes unreadable", 2, kSecond, [](Rig& r) { r.fault("dxgi.enum_by_preference", 0x887A0001u); }, true, 0,
         "", "GPU siniflari okunamadi: GPU tercihi ayarlanmadi", ""},
        {"render GPU of neither class", 3, 0x12A60, nullptr, true, 0, "",
         "render GPU ne en dusuk guc ne en yuksek performans: GPU tercihi ayarlanmadi", ""},
        {"key cannot be opened", 2, kSecond, [](Rig& r) { r.fault("registry.create_key", 5); }, true, 3,
         "GpuPreference=2;", "UserGpuPreferences anahtari acilamadi", ""},
        {"value cannot be written", 2, kSecond, [](Rig& r) { r.fault("registry.set_value", 5); }, true, 3,
         "GpuPreference=2;", "GPU tercihi yazilamadi", ""},
        // Other settings of the application's value survive; only the preference changes.
        {"other settings kept", 2, kSecond, [](Rig& r) { r.set_value("SwapEffectUpgradeEnable=1;GpuPreference=1;X=2;"); },
         true, 2, "GpuPreference=2;", "GPU tercihi yazildi (surec yeniden baslayinca gecerli)",
         "SwapEffectUpgradeEnable=1;GpuPreference=2;X=2;"},
        {"pair added to others", 2, kSecond, [](Rig& r) { r.set_value("SwapEffectUpgradeEnable=1"); }, true, 2,
         "GpuPreference=2;", "GPU tercihi yazildi (surec yeniden baslayinca gecerli)",
         "SwapEffectUpgradeEnable=1;GpuPreference=2;"},
        {"matching among others", 2, kSecond, [](Rig& r) { r.set_value("SwapEffectUpgradeEnable=1;GpuPreference=2;"); },
         true, 1, "GpuPreference=2;", "GPU tercihi render GPU'suyla uyumlu", "SwapEffectUpgradeEnable=1;GpuPreference=2;"},
    };
    for (const Case& c : cases) {
        // Three GPUs: the third renders but is neither the first low-power nor the first high-performance one.
        Rig rig(c.gpus, c.gpus > 1, false);
        if (c.prepare) c.prepare(rig);
        const std::string before = rig.value();
        const GpuPrefResult r = analyse_gpu_preference(*rig.ports, c.render, c.may_write);
        EXPECT_EQ(r.state, c.state) << c.name;
        EXPECT_EQ(r.requested, c.requested) << c.name;
        EXPECT_EQ(r.text, c.text) << c.name;
        EXPECT_EQ(r.current, before) << c.name;
        EXPECT_EQ(r.exe_path, kExe) << c.name;
        EXPECT_EQ(rig.value(), c.stored) << c.name;
    }
}

class GpuPreferenceStep : public ::testing::Test {
protected:
    void SetUp() override {
        process_log().set_echo_sink([this](std::string_view line) {
            std::lock_guard<std::mutex> g(mutex_);
            logged_.append(line);
        });
        open_log(true, "");
    }
    void TearDown() override { open_log(false, ""); }
    std::string logged() {
        std::lock_guard<std::mutex> g(mutex_);
        return logged_;
    }
    std::mutex mutex_;
    std::string logged_;
};

TEST_F(GpuPreferenceStep, WritesRestartsOnceAndTheRestartedProcessOnlyWarns) {
    Rig rig;
    int restarts = 0;
    EXPECT_TRUE(gpu_preference_step(*rig.ports, false, [&] { return ++restarts, 0u; }));
    EXPECT_EQ(restarts, 1);
    EXPECT_EQ(rig.value(), "GpuPreference=2;");
    EXPECT_NE(logged().find("[gpu-pref] render GPU Simulated Render GPU 2: GPU tercihi yazildi (surec yeniden "
                            "baslayinca gecerli) (istenen=GpuPreference=2;, onceki=-)\n"),
              std::string::npos)
        << logged();
    EXPECT_NE(logged().find("[gpu-pref] GPU tercihi degisti: yeni tercihle yeniden baslatildi, bu surec cikiyor\n"),
              std::string::npos);

    // The restarted process finds it matching and goes on.
    EXPECT_FALSE(gpu_preference_step(*rig.ports, true, [&] { return ++restarts, 0u; }));
    EXPECT_NE(logged().find("GPU tercihi render GPU'suyla uyumlu (istenen=GpuPreference=2;, onceki=GpuPreference=2;)"),
              std::string::npos);

    // Someone changed it back: the restarted process never writes, it warns.
    rig.set_value("GpuPreference=1;");
    EXPECT_FALSE(gpu_preference_step(*rig.ports, true, [&] { return ++restarts, 0u; }));
    EXPECT_EQ(rig.value(), "GpuPreference=1;");
    EXPECT_EQ(restarts, 1);
    EXPECT_NE(logged().find("[gpu-pref] UYARI: GPU tercihi render GPU'suyla uyusmuyor; hibrit dizustunde yakalama "
                            "etkilenebilir (K34)\n"),
              std::string::npos);

    // A failed restart keeps the new preference for the next start and goes on.
    EXPECT_FALSE(gpu_preference_step(*rig.ports, false, [] { return 2u; }));
    EXPECT_EQ(rig.value(), "GpuPreference=2;");
    EXPECT_NE(logged().find("[gpu-pref] UYARI: yeniden baslatma basarisiz (2); tercih bir sonraki acilista gecerli "
                            "olur\n"),
              std::string::npos);

    Rig none(0, false, false);
    EXPECT_FALSE(gpu_preference_step(*none.ports, false, [&] { return ++restarts, 0u; }));
    EXPECT_NE(logged().find("[gpu-pref] render GPU belirlenemedi: GPU tercihi ayarlanmadi\n"), std::string::npos);
}

}  // namespace
}  // namespace sorvane
