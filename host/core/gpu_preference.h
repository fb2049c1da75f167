// The host's GPU preference: on a PC with a low-power and a high-performance
// GPU, Windows runs the host on the adapter its per-application preference
// names. Desktop duplication of the virtual monitor works best on the adapter
// that renders it, so tray start-up points the preference at the render GPU
// and restarts the host once when it had to change it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/gpu.h"
#include "platform/registry.h"

namespace sorvane {

inline constexpr const char kGpuPreferencesKey[] = "Software\\Microsoft\\DirectX\\UserGpuPreferences";
inline constexpr const char kGpuPreferenceMinimumPower[] = "GpuPreference=1;";
inline constexpr const char kGpuPreferenceHighPerformance[] = "GpuPreference=2;";

struct RenderGpuChoice {
    uint64_t luid = 0;  // high part in the upper 32 bits
    std::string name;   // ASCII, "?" for every other character
};

// Hardware adapters that the kernel reports as rendering, in DXGI order: the
// first with vendor 0x10DE, else the first; nullopt when there is none.
std::optional<RenderGpuChoice> find_render_gpu(platform::IGpuAdapters& gpus);

// An adapter description in ASCII: every character above 127 becomes "?".
std::string ascii_adapter_name(std::string_view utf8);

struct GpuPrefResult {
    enum State : int { not_needed = 0, matching = 1, written = 2, mismatch = 3 };
    int state = not_needed;
    std::string exe_path;
    std::string requested;  // empty when no preference applies
    std::string current;    // empty when there is none
    std::string text;
};

struct GpuPrefPorts {
    platform::IGpuAdapters& gpus;
    platform::IRegistry& registry;
    std::string exe_path;  // the value's name: this program's full path
};

// Compares the preference value of this program with the one that selects
// the render GPU and, when allowed, writes it. The value may hold other
// "name=value;" settings of the application: only GpuPreference is compared
// and replaced, the rest is kept.
GpuPrefResult analyse_gpu_preference(GpuPrefPorts& ports, uint64_t render_luid, bool may_write);

// The GpuPreference pair of a preference value ("" when it has none).
std::string gpu_preference_pair(std::string_view value);
// value with its GpuPreference pair replaced by requested (or requested
// appended when it has none); every other pair is kept in its place.
std::string with_gpu_preference(std::string_view value, std::string_view requested);

// Tray start-up: find the render GPU, analyse (writing unless restarted),
// and after a write start the host again through restart (0 on success, else
// the system error). True when this process must now end with exit code 0.
bool gpu_preference_step(GpuPrefPorts& ports, bool restarted, const std::function<uint32_t()>& restart);

// --gpu-pref-check: the analysis without writing, as printed; the exit code
// is 1 when there is no render GPU, else 0.
struct GpuPrefCheck {
    int exit_code = 0;
    std::string text;
};
GpuPrefCheck gpu_preference_check(GpuPrefPorts& ports);

}  // namespace sorvane
