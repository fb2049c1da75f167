#include "host/app/gpu_preference.h"

#include <cstdio>

#include "host/core/gpu_preference.h"
#include "platform/gpu.h"
#include "platform/registry.h"
#include "platform/self_process.h"

namespace sorvane {

namespace {

// The module file name Windows keeps the preference under (at most 520 characters).
std::string exe_path() {
    std::string path;
    if (!platform::module_file_name(path)) path.clear();
    if (path.size() > 520) path.resize(520);
    return path;
}

}  // namespace

bool run_gpu_preference_step(bool restarted) {
    auto gpus = platform::make_system_gpu_adapters();
    auto registry = platform::make_system_registry();
    GpuPrefPorts ports{*gpus, *registry, exe_path()};
    return gpu_preference_step(ports, restarted, [] { return platform::start_self_again({"--gpu-pref-restarted"}); });
}

int run_gpu_preference_check() {
    auto gpus = platform::make_system_gpu_adapters();
    auto registry = platform::make_system_registry();
    GpuPrefPorts ports{*gpus, *registry, exe_path()};
    const GpuPrefCheck check = gpu_preference_check(ports);
    std::fputs(check.text.c_str(), stdout);
    std::fflush(stdout);
    return check.exit_code;
}

}  // namespace sorvane
