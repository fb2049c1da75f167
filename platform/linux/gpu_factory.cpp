// The graphics adapters come from the simulated Windows machine.
#include "platform/gpu.h"
#include "platform/sim/gpu_sim.h"

namespace sorvane::platform {

std::unique_ptr<IGpuAdapters> make_system_gpu_adapters() {
    return sim::make_sim_gpu_adapters(std::shared_ptr<sim::Machine>(sim::Machine::open_default()));
}

}  // namespace sorvane::platform
