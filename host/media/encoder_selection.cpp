#include "host/media/encoder_selection.h"

#include <algorithm>
#include <cinttypes>

#include "common/text.h"
#include "common/text_format.h"
#include "host/core/log.h"
#include "host/media/mf_encoder.h"
#include "host/media/nvenc_encoder.h"

namespace sorvane {
namespace {

// Lower case with every non-ASCII byte as "?" (the log and the filter see the same text).
std::string ascii_text(const std::string& s, bool lower) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x80 || c < 0x20) out += '?';
        else out += lower ? ascii_lower(static_cast<char>(c)) : static_cast<char>(c);
    }
    return out;
}

class Reasons {
public:
    void add(const std::string& candidate, const std::string& reason) {
        log("[encoder] %s unavailable: %s", candidate.c_str(), reason.c_str());
        if (!text_.empty()) text_ += "; ";
        text_ += candidate + ": " + reason;
    }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

}  // namespace

bool mf_adapter_matches(const std::string& filter, const platform::AdapterDesc& adapter) {
    const std::string f = ascii_lower(filter);
    if (f.empty()) return true;
    if (f == "nvidia") return adapter.vendor_id == 0x10DE;
    if (f == "intel") return adapter.vendor_id == 0x8086;
    if (f == "amd") return adapter.vendor_id == 0x1002 || adapter.vendor_id == 0x1022;
    return ascii_text(adapter.description, true).find(f) != std::string::npos;
}

std::unique_ptr<IEncoder> create_encoder(EncoderPorts& ports, const EncodeConfig& config, const EncoderChoice& choice,
                                         EncoderInfo& info, std::string& error) {
    error.clear();
    platform::AdapterDesc capture;
    if (config.device != nullptr) capture = config.device->adapter;
    log("[encoder] capture GPU: %s (vendor 0x%04" PRIX32 "), policy %s%s%s", ascii_text(capture.description, false).c_str(),
        capture.vendor_id, encoder_kind_text(choice.kind), choice.mf_adapter.empty() ? "" : ", mf-adapter ",
        choice.mf_adapter.empty() ? "" : ascii_text(choice.mf_adapter, false).c_str());

    Reasons reasons;
    std::unique_ptr<IEncoder> chosen;
    const EncoderKind kind = choice.kind;

    if (kind == EncoderKind::auto_select || kind == EncoderKind::nvenc) {
        if (capture.vendor_id == kNvidiaVendorId) {
            auto nvenc = std::make_unique<NvencEncoder>(ports.nvenc, ports.clock);
            if (nvenc->init(config)) {
                chosen = std::move(nvenc);
            } else {
                reasons.add("NVENC", nvenc->last_error());
            }
        } else {
            reasons.add("NVENC", "capture GPU is not NVIDIA");
        }
        if (!chosen && kind == EncoderKind::nvenc) {
            error = "no encoder: " + reasons.text();
            return nullptr;
        }
    }

    std::string missing;
    const bool mf_present = ports.mft.media_foundation_available(missing);
    if (!chosen && (kind == EncoderKind::auto_select || kind == EncoderKind::mf_hw)) {
        if (!mf_present) {
            reasons.add("Media Foundation", media_foundation_missing_text(missing));
        } else {
            std::vector<KernelAdapter> kernel = ports.adapters.kernel_adapters();
            std::vector<platform::AdapterDesc> dxgi = ports.adapters.dxgi_adapters();
            std::stable_sort(dxgi.begin(), dxgi.end(), [&](const platform::AdapterDesc& a, const platform::AdapterDesc& b) {
                return (a.luid == capture.luid) && (b.luid != capture.luid);
            });
            for (const platform::AdapterDesc& adapter : dxgi) {
                auto k = std::find_if(kernel.begin(), kernel.end(),
                                      [&](const KernelAdapter& ka) { return ka.luid == adapter.luid; });
                const bool eligible = k != kernel.end() && k->query_ok && k->render_supported && !k->software_device &&
                                      !adapter.software;
                if (!eligible || !mf_adapter_matches(choice.mf_adapter, adapter)) continue;
                const std::string where = "MF hardware on \"" + adapter.description + "\"";
                std::vector<platform::MftActivate> transforms = ports.mft.list_encoder_transforms(true, &adapter.luid);
                if (transforms.empty()) {
                    reasons.add(where, "no hardware H.264 MFT");
                    continue;
                }
                auto mf = std::make_unique<MfEncoder>(ports.mft, ports.clock,
                                                      MfEncoderOptions{false, true, adapter.luid});
                if (mf->init(config)) {
                    chosen = std::move(mf);
                    break;
                }
                reasons.add(where + " (" + transforms.front().friendly_name + ")", mf->last_error());
            }
        }
        if (!chosen && kind == EncoderKind::mf_hw) {
            error = "no hardware encoder: " + reasons.text();
            return nullptr;
        }
    }

    if (!chosen) {
        if (!mf_present) {
            reasons.add("Media Foundation software", media_foundation_missing_text(missing));
            error = "no encoder: " + reasons.text();
            return nullptr;
        }
        auto mf = std::make_unique<MfEncoder>(ports.mft, ports.clock, MfEncoderOptions{true, false, 0});
        if (!mf->init(config)) {
            reasons.add("Media Foundation software", mf->last_error());
            error = "no encoder could be opened: " + reasons.text();
            return nullptr;
        }
        chosen = std::move(mf);
    }

    info = chosen->info();
    log("[encoder] using %s on %s%s", info.name.c_str(),
        info.adapter.empty() ? "(CPU)" : ("\"" + ascii_text(info.adapter, false) + "\"").c_str(),
        info.cross_adapter ? " (frames are copied from the capture GPU to the encoder GPU)" : "");
    if (info.kind == EncoderInfoKind::mf_software) {
        log("[encoder] WARNING: donanim kodlayici bulunamadi, gecikme artabilir / no hardware encoder found, latency "
            "may increase");
    }
    store_last_encoder_info(info);
    return chosen;
}

}  // namespace sorvane
