#include "driver/runtime/swap_chain.h"

#include <cinttypes>
#include <cstdio>

#include "driver/core/types.h"

namespace sorvane::vdd {

namespace {

std::string id_hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%" PRIx32, v);
    return buf;
}

void info(const std::string& text) { write_log(kLogInfo, text); }

}  // namespace

uint32_t create_render_device(platform::IIddCx& iddcx, const platform::AdapterLuid& luid,
                              std::shared_ptr<RenderDevice>& out) {
    uint32_t hr = iddcx.create_dxgi_factory();
    if (hr != 0) {
        info("CreateDXGIFactory2 failed: " + hex_short(hr));
        return hr;
    }
    platform::RenderAdapterDesc desc;
    hr = iddcx.enum_adapter_by_luid(luid, desc);
    if (hr != 0) {
        info("EnumAdapterByLuid failed: " + hex_short(hr));
        return hr;
    }
    if (log_enabled(kLogInfo)) {
        std::string name = desc.description.substr(0, 127);
        info("render adapter: " + name + " (vendor 0x" + id_hex(desc.vendor_id) + " device 0x" +
             id_hex(desc.device_id) + ")");
    }
    platform::IddObject device = 0;
    hr = iddcx.create_d3d_device(luid, device);
    if (hr != 0) {
        info("D3D11CreateDevice failed: " + hex_short(hr));
        return hr;
    }
    out = std::make_shared<RenderDevice>(iddcx, luid, device);
    return 0;
}

SwapChainProcessor::SwapChainProcessor(platform::IIddCx& iddcx, platform::IClock& clock,
                                       platform::IddObject swap_chain, std::shared_ptr<RenderDevice> device,
                                       std::shared_ptr<platform::Event> new_frame)
    : iddcx_(iddcx),
      clock_(clock),
      swap_chain_(swap_chain),
      device_(std::move(device)),
      new_frame_(std::move(new_frame)) {
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        info("swap-chain thread creation failed: " + std::to_string(e.code().value()));
        ended_.store(true);
    }
}

SwapChainProcessor::~SwapChainProcessor() {
    terminate_.set();
    if (thread_.joinable()) thread_.join();
}

void SwapChainProcessor::run() {
    // Checked once: the framework's version does not change while the driver runs.
    const platform::IddFrameworkInfo fw = iddcx_.framework();
    const bool version2 = !(fw.older_than_driver && fw.function_count < 32);
    uint32_t hr = iddcx_.query_dxgi_device(device_->handle());
    if (hr != 0) {
        info("no IDXGIDevice: " + hex_short(hr));
    } else if ((hr = iddcx_.swap_chain_set_device(swap_chain_, device_->handle())) != 0) {
        info("IddCxSwapChainSetDevice failed: " + hex_short(hr));
    } else {
        while (true) {
            hr = iddcx_.swap_chain_release_and_acquire(swap_chain_, version2);
            if (hr == platform::kEPending) {
                const int w = platform::Event::wait_any({new_frame_.get(), &terminate_}, clock_, kFrameWaitMs);
                if (w == 1) break;
                continue;  // a new frame, or the wait ran out: acquire again
            }
            if (hr != 0) {
                if (log_enabled(kLogDebug)) {
                    write_log(kLogDebug, "acquire failed, leaving the swap-chain loop: " + hex_short(hr));
                }
                break;
            }
            acquired_.fetch_add(1);
            // The surface is not used: the frame goes straight back.
            if (iddcx_.swap_chain_finished_processing_frame(swap_chain_) != 0) break;
            finished_.fetch_add(1);
            if (terminate_.is_set()) break;
        }
    }
    // Without its swap chain the framework hands the monitor a new one, if it still needs one.
    iddcx_.object_delete(swap_chain_);
    ended_.store(true);
}

}  // namespace sorvane::vdd
