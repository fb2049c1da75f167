// Graphics adapter port: the machine's GPUs as DXGI lists them (in factory
// order and by GPU preference) and as the kernel display interface reports
// them (D3DKMTEnumAdapters2 and the adapter-type query of each adapter).
// Results are HRESULT / NTSTATUS values as plain integers.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/texture.h"

namespace sorvane::platform {

// One adapter of the kernel's list.
struct KernelAdapterInfo {
    uint64_t luid = 0;        // high part in the upper 32 bits
    bool query_ok = false;    // the adapter-type query succeeded (the flags are valid)
    bool render_supported = false;
    bool display_supported = false;
    bool software_device = false;
    bool indirect_display = false;
};

// DXGI_GPU_PREFERENCE values.
enum class GpuPreference : uint32_t { unspecified = 0, minimum_power = 1, high_performance = 2 };

class IGpuAdapters {
public:
    virtual ~IGpuAdapters() = default;
    // IDXGIFactory1::EnumAdapters1, every adapter in factory order.
    virtual int32_t enum_adapters(std::vector<AdapterDesc>& out) = 0;
    // D3DKMTEnumAdapters2 with one adapter-type query per adapter (a failed
    // query leaves query_ok false). The result is the enumeration's status.
    virtual uint32_t kernel_adapters(std::vector<KernelAdapterInfo>& out) = 0;
    // Whether the factory offers enumeration by GPU preference (IDXGIFactory6).
    virtual bool has_gpu_preference_order() = 0;
    // IDXGIFactory6::EnumAdapterByGpuPreference, the first adapter (index 0)
    // in the order of preference.
    virtual int32_t first_adapter_by_preference(GpuPreference preference, AdapterDesc& out) = 0;
};

// The machine's adapters.
std::unique_ptr<IGpuAdapters> make_system_gpu_adapters();

}  // namespace sorvane::platform
