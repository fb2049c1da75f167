// Desktop capture of one monitor through Desktop Duplication: finding the
// output of a monitor, opening a duplication on it, acquiring desktop images
// and pointer updates, and recreating the duplication after a loss. Also the
// two fallbacks for a monitor that has not presented yet: the nudge and the
// GDI snapshot. Used by one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/core/monitor_ref.h"
#include "platform/duplication.h"

namespace sorvane {

enum class AcquireStatus : uint8_t { frame = 0, timeout = 1, lost = 2, error = 3 };

struct OutputInfo {
    uint32_t ordinal = 0;  // position over all adapters
    uint32_t adapter_index = 0;
    uint32_t output_index = 0;
    std::string adapter_description;
    uint32_t vendor_id = 0;
    uint64_t adapter_luid = 0;
    std::string device_name;  // GDI device name
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    bool attached = false;
};

struct CapturedFrame {
    uint32_t width = 0, height = 0, format = 0;
    bool has_image = false;
    int64_t present_time = 0;
    int64_t acquire_time = 0;
    bool pointer_updated = false;
    bool pointer_visible = false;
    int32_t pointer_x = 0, pointer_y = 0;
    bool shape_updated = false;
    const platform::CpuTexture* texture = nullptr;  // valid until release_frame
};

class ICaptureSource {
public:
    virtual ~ICaptureSource() = default;
    virtual bool open(uint32_t output_index) = 0;
    virtual AcquireStatus acquire(uint32_t timeout_ms, CapturedFrame& frame) = 0;
    virtual void release_frame() = 0;
    virtual void close() = 0;
};

// What recovering from a lost or failing capture needs of it.
class IRecoverableCapture {
public:
    virtual ~IRecoverableCapture() = default;
    // Recreates the duplication on the same output after a loss.
    virtual bool reopen() = 0;
    virtual int32_t last_hr() const = 0;
    virtual int32_t release_hr() const = 0;
};

class DxgiCaptureSource final : public ICaptureSource, public IRecoverableCapture {
public:
    explicit DxgiCaptureSource(platform::IDuplication& port);
    ~DxgiCaptureSource() override;
    DxgiCaptureSource(const DxgiCaptureSource&) = delete;
    DxgiCaptureSource& operator=(const DxgiCaptureSource&) = delete;

    // Every output of every adapter, enumerated afresh.
    std::vector<OutputInfo> enumerate_outputs();
    // The attached output that shows a monitor; an empty device id matches nothing.
    std::optional<OutputInfo> find_output(const MonitorRef& ref);

    bool open(uint32_t output_index) override;
    AcquireStatus acquire(uint32_t timeout_ms, CapturedFrame& frame) override;
    void release_frame() override;
    void close() override;
    // Recreates the duplication on the same output, keeping the device.
    bool reopen() override;

    int32_t last_hr() const override { return last_hr_; }
    int32_t release_hr() const override { return release_hr_; }
    const std::vector<uint8_t>& shape_buffer() const { return shape_buffer_; }
    const platform::PointerShapeInfo& shape_info() const { return shape_info_; }
    const platform::GpuDevice* device() const { return device_.get(); }
    const platform::AdapterDesc& adapter() const { return adapter_; }

    // The desktop rectangle's pixels through GDI (top-down BGRA, alpha 255).
    bool snapshot_gdi(const OutputInfo& output, std::vector<uint8_t>& pixels);
    // Makes the compositor present on the output's monitor.
    void nudge(const OutputInfo& output);

private:
    platform::IDuplication& port_;
    std::shared_ptr<platform::GpuDevice> device_;
    std::unique_ptr<platform::IOutputDuplication> duplication_;
    bool frame_held_ = false;
    bool lost_ = false;
    int32_t last_hr_ = 0;
    int32_t release_hr_ = 0;
    std::vector<uint8_t> shape_buffer_;
    std::vector<uint8_t> shape_scratch_;
    platform::PointerShapeInfo shape_info_;
    uint32_t adapter_index_ = 0;
    platform::AdapterDesc adapter_;
    std::string device_name_;
};

}  // namespace sorvane
