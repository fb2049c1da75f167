// The graphics adapter port over the machine's GPUs. DXGI lists every GPU
// that is not an indirect display adapter, in the machine's order; the kernel
// lists all of them. Enumeration by GPU preference exists from build 17134
// on (the machine's CurrentBuildNumber): for minimum power the low-power GPUs
// come first, for high performance the others; the software adapter is last.
// Fault points: "dxgi.enum_adapters", "dxgi.enum_by_preference" (HRESULT),
// "d3dkmt.enum_adapters" (NTSTATUS) and "d3dkmt.query_adapter_type" (counted
// per adapter; a failing call leaves that adapter's flags unknown).
#pragma once

#include <memory>

#include "platform/gpu.h"
#include "platform/sim/machine.h"

namespace sorvane::sim {

inline constexpr uint32_t kFirstBuildWithGpuPreference = 17134;

std::unique_ptr<platform::IGpuAdapters> make_sim_gpu_adapters(std::shared_ptr<Machine> machine);

}  // namespace sorvane::sim
