#include "platform/sim/gpu_sim.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/hresult.h"
#include "platform/sim/system_model.h"

namespace sorvane::sim {

namespace {

constexpr uint32_t kStatusUnsuccessful = 0xC0000001u;
constexpr int32_t kDxgiErrorNotFound = static_cast<int32_t>(0x887A0002u);

uint64_t luid64(const SimLuid& l) { return static_cast<uint64_t>(l.high) << 32 | l.low; }

platform::AdapterDesc describe(const SimGpu& gpu, uint32_t index) {
    platform::AdapterDesc a;
    a.index = index;
    a.description = gpu.name;
    a.vendor_id = gpu.vendor_id;
    a.device_id = gpu.device_id;
    // The basic render adapter has no memory of its own; a simulated GPU has 2 GiB.
    a.dedicated_video_memory = gpu.software ? 0 : 2048ull << 20;
    a.luid = luid64(gpu.luid);
    a.software = gpu.software;
    return a;
}

std::vector<platform::AdapterDesc> dxgi_list(const DisplayModel& display) {
    std::vector<platform::AdapterDesc> out;
    for (const SimGpu& gpu : display.gpus)
        if (!gpu.indirect) out.push_back(describe(gpu, static_cast<uint32_t>(out.size())));
    return out;
}

uint32_t build_of(const MachineState& s) {
    platform::RegistryValue v;
    std::string text;
    if (s.registry.get_value(platform::RegistryHive::local_machine, kCurrentVersionKey, "CurrentBuildNumber", v) != 0 ||
        !platform::read_sz(v, text)) {
        return 0;
    }
    return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
}

class SimGpuAdapters final : public platform::IGpuAdapters {
public:
    explicit SimGpuAdapters(std::shared_ptr<Machine> m) : machine_(std::move(m)) {}

    int32_t enum_adapters(std::vector<platform::AdapterDesc>& out) override {
        out.clear();
        int32_t hr = platform::kSOk;
        const bool ok = machine_->update("EnumAdapters1", [&](MachineState& s) {
            hr = static_cast<int32_t>(s.fault("dxgi.enum_adapters"));
            if (hr == 0) out = dxgi_list(s.display);
        });
        if (!ok) hr = platform::kEFail;
        if (hr != 0) out.clear();
        return hr;
    }

    uint32_t kernel_adapters(std::vector<platform::KernelAdapterInfo>& out) override {
        out.clear();
        uint32_t status = 0;
        const bool ok = machine_->update("D3DKMTEnumAdapters2", [&](MachineState& s) {
            status = s.fault("d3dkmt.enum_adapters");
            if (status != 0) return;
            for (const SimGpu& gpu : s.display.gpus) {
                platform::KernelAdapterInfo k;
                k.luid = luid64(gpu.luid);
                if (s.fault("d3dkmt.query_adapter_type") == 0) {
                    k.query_ok = true;
                    k.render_supported = gpu.renders && !gpu.indirect;
                    k.display_supported = !gpu.software;
                    k.software_device = gpu.software;
                    k.indirect_display = gpu.indirect;
                }
                out.push_back(k);
            }
        });
        if (!ok) status = kStatusUnsuccessful;
        if (status != 0) out.clear();
        return status;
    }

    bool has_gpu_preference_order() override {
        uint32_t build = 0;
        const bool ok = machine_->read([&](const MachineState& s) { build = build_of(s); });
        return ok && build >= kFirstBuildWithGpuPreference;
    }

    int32_t first_adapter_by_preference(platform::GpuPreference preference, platform::AdapterDesc& out) override {
        out = {};
        int32_t hr = platform::kSOk;
        const bool ok = machine_->update("EnumAdapterByGpuPreference", [&](MachineState& s) {
            hr = static_cast<int32_t>(s.fault("dxgi.enum_by_preference"));
            if (hr != 0) return;
            std::vector<platform::AdapterDesc> list = dxgi_list(s.display);
            if (list.empty()) {
                hr = kDxgiErrorNotFound;
                return;
            }
            // Rank: 0 first; the software adapter always last.
            auto rank = [&](const platform::AdapterDesc& a) {
                const SimGpu* gpu = nullptr;
                for (const SimGpu& g : s.display.gpus)
                    if (luid64(g.luid) == a.luid) gpu = &g;
                if (gpu == nullptr || gpu->software) return 2;
                if (preference == platform::GpuPreference::minimum_power) return gpu->low_power ? 0 : 1;
                if (preference == platform::GpuPreference::high_performance) return gpu->low_power ? 1 : 0;
                return 0;
            };
            std::stable_sort(list.begin(), list.end(), [&](const auto& a, const auto& b) { return rank(a) < rank(b); });
            out = list.front();
            out.index = 0;
        });
        if (!ok) hr = platform::kEFail;
        return hr;
    }

private:
    std::shared_ptr<Machine> machine_;
};

}  // namespace

std::unique_ptr<platform::IGpuAdapters> make_sim_gpu_adapters(std::shared_ptr<Machine> machine) {
    return std::make_unique<SimGpuAdapters>(std::move(machine));
}

}  // namespace sorvane::sim
