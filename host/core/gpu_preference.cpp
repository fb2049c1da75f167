#include "host/core/gpu_preference.h"

#include <vector>

#include "common/text.h"
#include "host/core/log.h"

namespace sorvane {

namespace {

constexpr uint32_t kNvidiaVendor = 0x10DE;
// The preference is read into a buffer of 510 bytes (255 UTF-16 characters).
constexpr size_t kMaxValueBytes = 510;
constexpr char kPairName[] = "GpuPreference";

// Splits a value into its "name=value" pairs (without the ';').
std::vector<std::string> pairs_of(std::string_view value) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < value.size()) {
        size_t end = value.find(';', start);
        if (end == std::string_view::npos) end = value.size();
        if (end > start) out.emplace_back(value.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

bool is_preference_pair(std::string_view pair) {
    const size_t eq = pair.find('=');
    return eq != std::string_view::npos && iequals_ascii(pair.substr(0, eq), kPairName);
}

std::string or_dash(const std::string& s) { return s.empty() ? "-" : s; }

}  // namespace

std::string ascii_adapter_name(std::string_view utf8) {
    std::string out;
    for (const char c : utf8) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) out.push_back(c);
        else if ((b & 0xC0) != 0x80) out.push_back('?');  // one mark per character, not per byte
    }
    return out;
}

std::optional<RenderGpuChoice> find_render_gpu(platform::IGpuAdapters& gpus) {
    std::vector<platform::AdapterDesc> dxgi;
    std::vector<platform::KernelAdapterInfo> kernel;
    if (gpus.enum_adapters(dxgi) != 0) return std::nullopt;
    if (gpus.kernel_adapters(kernel) != 0) kernel.clear();
    std::optional<RenderGpuChoice> first;
    for (const platform::AdapterDesc& a : dxgi) {
        if (a.software) continue;
        bool renders = false;
        for (const auto& k : kernel)
            if (k.luid == a.luid && k.query_ok && k.render_supported) renders = true;
        if (!renders) continue;
        RenderGpuChoice c{a.luid, ascii_adapter_name(a.description)};
        if (a.vendor_id == kNvidiaVendor) return c;
        if (!first) first = c;
    }
    return first;
}

std::string gpu_preference_pair(std::string_view value) {
    for (const std::string& p : pairs_of(value))
        if (is_preference_pair(p)) return p + ";";
    return {};
}

std::string with_gpu_preference(std::string_view value, std::string_view requested) {
    std::string out;
    bool placed = false;
    for (const std::string& p : pairs_of(value)) {
        if (is_preference_pair(p)) {
            if (placed) continue;  // a repeated pair would contradict the one we set
            out += requested;
            placed = true;
        } else {
            out += p + ";";
        }
    }
    if (!placed) out += requested;
    return out;
}

GpuPrefResult analyse_gpu_preference(GpuPrefPorts& ports, uint64_t render_luid, bool may_write) {
    GpuPrefResult r;
    r.exe_path = ports.exe_path;
    platform::RegistryValue stored;
    std::string whole;  // the whole stored text, kept when the pair is replaced
    if (ports.registry.get_value(platform::RegistryHive::current_user, kGpuPreferencesKey, r.exe_path, stored) == 0 &&
        platform::read_sz(stored, whole) && stored.data.size() <= kMaxValueBytes) {
        r.current = whole;
    }

    if (!ports.gpus.has_gpu_preference_order()) {
        r.text = "IDXGIFactory6 yok (eski Windows): GPU tercihi ayarlanmadi";
        return r;
    }
    platform::AdapterDesc low;
    platform::AdapterDesc high;
    if (ports.gpus.first_adapter_by_preference(platform::GpuPreference::minimum_power, low) != 0 ||
        ports.gpus.first_adapter_by_preference(platform::GpuPreference::high_performance, high) != 0) {
        r.text = "GPU siniflari okunamadi: GPU tercihi ayarlanmadi";
        return r;
    }
    if (low.luid == high.luid) {
        r.text = "tek GPU sinifi (en dusuk guc = en yuksek performans): GPU tercihi gerekmez";
        return r;
    }
    if (render_luid == high.luid) {
        r.requested = kGpuPreferenceHighPerformance;
    } else if (render_luid == low.luid) {
        r.requested = kGpuPreferenceMinimumPower;
    } else {
        r.text = "render GPU ne en dusuk guc ne en yuksek performans: GPU tercihi ayarlanmadi";
        return r;
    }
    if (gpu_preference_pair(r.current) == r.requested) {
        r.state = GpuPrefResult::matching;
        r.text = "GPU tercihi render GPU'suyla uyumlu";
        return r;
    }
    if (!may_write) {
        r.state = GpuPrefResult::mismatch;
        r.text = "GPU tercihi uyusmuyor (yazilmadi)";
        return r;
    }
    if (ports.registry.create_key(platform::RegistryHive::current_user, kGpuPreferencesKey) != 0) {
        r.state = GpuPrefResult::mismatch;
        r.text = "UserGpuPreferences anahtari acilamadi";
        return r;
    }
    // Merge with whatever the value holds, even text too long to be compared.
    std::string base;
    if (stored.type == platform::kRegSz) platform::read_sz(stored, base);
    if (ports.registry.set_value(platform::RegistryHive::current_user, kGpuPreferencesKey, r.exe_path,
                                 platform::reg_sz(with_gpu_preference(base, r.requested))) != 0) {
        r.state = GpuPrefResult::mismatch;
        r.text = "GPU tercihi yazilamadi";
        return r;
    }
    r.state = GpuPrefResult::written;
    r.text = "GPU tercihi yazildi (surec yeniden baslayinca gecerli)";
    return r;
}

bool gpu_preference_step(GpuPrefPorts& ports, bool restarted, const std::function<uint32_t()>& restart) {
    const std::optional<RenderGpuChoice> gpu = find_render_gpu(ports.gpus);
    if (!gpu) {
        log("[gpu-pref] render GPU belirlenemedi: GPU tercihi ayarlanmadi");
        return false;
    }
    const GpuPrefResult r = analyse_gpu_preference(ports, gpu->luid, !restarted);
    log("[gpu-pref] render GPU %s: %s (istenen=%s, onceki=%s)", gpu->name.c_str(), r.text.c_str(),
        or_dash(r.requested).c_str(), or_dash(r.current).c_str());
    if (r.state == GpuPrefResult::written) {
        const uint32_t error = restart ? restart() : 1;
        if (error == 0) {
            log("[gpu-pref] GPU tercihi degisti: yeni tercihle yeniden baslatildi, bu surec cikiyor");
            return true;
        }
        log("[gpu-pref] UYARI: yeniden baslatma basarisiz (%lu); tercih bir sonraki acilista gecerli olur",
            static_cast<unsigned long>(error));
        return false;
    }
    if (r.state == GpuPrefResult::mismatch) {
        log("[gpu-pref] UYARI: GPU tercihi render GPU'suyla uyusmuyor; hibrit dizustunde yakalama etkilenebilir (K34)");
    }
    return false;
}

GpuPrefCheck gpu_preference_check(GpuPrefPorts& ports) {
    GpuPrefCheck out;
    const std::optional<RenderGpuChoice> gpu = find_render_gpu(ports.gpus);
    if (!gpu) {
        out.exit_code = 1;
        out.text = "render GPU belirlenemedi\n";
        return out;
    }
    const GpuPrefResult r = analyse_gpu_preference(ports, gpu->luid, false);
    const char* word = r.state == GpuPrefResult::matching    ? "uyumlu"
                       : r.state == GpuPrefResult::not_needed ? "gerekmez"
                                                              : "UYUSMUYOR";
    out.text = "render GPU: " + gpu->name + "\nexe: " + r.exe_path + "\nistenen: " +
               (r.requested.empty() ? std::string("(girdi gerekmez)") : r.requested) + "\nmevcut: " +
               (r.current.empty() ? std::string("(yok)") : r.current) + "\ndurum: " + word + " (" + r.text + ")\n";
    return out;
}

}  // namespace sorvane
