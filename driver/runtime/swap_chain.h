// Keeps a monitor's swap chain moving: the host captures the virtual monitor
// itself, so every frame is acquired and handed straight back, on the render
// adapter the framework chose, so that the desktop keeps being composed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "driver/core/log.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/iddcx.h"

namespace sorvane::vdd {

// A render device on one adapter; released when the last holder lets go.
class RenderDevice {
public:
    RenderDevice(platform::IIddCx& iddcx, platform::AdapterLuid luid, platform::IddObject device)
        : iddcx_(iddcx), luid_(luid), device_(device) {}
    ~RenderDevice() { iddcx_.release_device(device_); }
    RenderDevice(const RenderDevice&) = delete;
    RenderDevice& operator=(const RenderDevice&) = delete;

    platform::IddObject handle() const { return device_; }
    const platform::AdapterLuid& luid() const { return luid_; }

private:
    platform::IIddCx& iddcx_;
    platform::AdapterLuid luid_;
    platform::IddObject device_;
};

// The factory, the adapter and the device on luid; the HRESULT of the first
// failed step (each is logged).
uint32_t create_render_device(platform::IIddCx& iddcx, const platform::AdapterLuid& luid,
                              std::shared_ptr<RenderDevice>& out);

inline constexpr uint32_t kFrameWaitMs = 16;

class SwapChainProcessor {
public:
    // Starts the thread at once.
    SwapChainProcessor(platform::IIddCx& iddcx, platform::IClock& clock, platform::IddObject swap_chain,
                       std::shared_ptr<RenderDevice> device, std::shared_ptr<platform::Event> new_frame);
    // Signals the terminate event and waits for the thread.
    ~SwapChainProcessor();
    SwapChainProcessor(const SwapChainProcessor&) = delete;
    SwapChainProcessor& operator=(const SwapChainProcessor&) = delete;

    uint64_t frames_acquired() const { return acquired_.load(); }
    uint64_t frames_finished() const { return finished_.load(); }
    // True once the loop has ended (terminated or failed).
    bool ended() const { return ended_.load(); }

private:
    void run();

    platform::IIddCx& iddcx_;
    platform::IClock& clock_;
    const platform::IddObject swap_chain_;
    std::shared_ptr<RenderDevice> device_;
    std::shared_ptr<platform::Event> new_frame_;
    platform::Event terminate_{false};
    std::atomic<uint64_t> acquired_{0};
    std::atomic<uint64_t> finished_{0};
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

}  // namespace sorvane::vdd
