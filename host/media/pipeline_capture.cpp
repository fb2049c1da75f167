#include "host/media/pipeline_capture.h"

#include <cinttypes>

#include "common/text_format.h"
#include "host/media/capture.h"

namespace sorvane {
namespace {

// Performance-counter ticks (100 ns) to microseconds.
uint64_t ticks_to_us(int64_t ticks) { return ticks <= 0 ? 0 : static_cast<uint64_t>(ticks) / 10; }

class DxgiPipelineCapture final : public IPipelineCapture {
public:
    DxgiPipelineCapture(std::unique_ptr<DxgiCaptureSource> source, OutputInfo output)
        : source_(std::move(source)), output_(std::move(output)) {}

    CaptureStatus acquire(uint32_t timeout_ms, CaptureFrame& f) override {
        f = CaptureFrame{};
        CapturedFrame c;
        switch (source_->acquire(timeout_ms, c)) {
            case AcquireStatus::timeout: return CaptureStatus::timeout;
            case AcquireStatus::lost: return CaptureStatus::lost;
            case AcquireStatus::error: return CaptureStatus::error;
            case AcquireStatus::frame: break;
        }
        f.has_image = c.has_image;
        f.present_us = ticks_to_us(c.present_time);
        f.acquire_us = ticks_to_us(c.acquire_time);
        f.texture = c.texture;
        f.pointer_updated = c.pointer_updated;
        f.pointer_visible = c.pointer_visible;
        f.pointer_x = c.pointer_x;
        f.pointer_y = c.pointer_y;
        f.shape_updated = c.shape_updated;
        return CaptureStatus::frame;
    }
    void release_frame() override { source_->release_frame(); }
    bool reopen() override { return source_->reopen(); }
    void close() override { source_->close(); }
    int32_t last_hr() const override { return source_->last_hr(); }
    int32_t release_hr() const override { return source_->release_hr(); }
    const std::vector<uint8_t>& shape_buffer() const override { return source_->shape_buffer(); }
    platform::PointerShapeInfo shape_info() const override { return source_->shape_info(); }
    const platform::GpuDevice* device() const override { return source_->device(); }
    bool snapshot_gdi(int32_t, int32_t, int32_t, int32_t, std::vector<uint8_t>& bgra) override {
        return source_->snapshot_gdi(output_, bgra);
    }
    void nudge(int32_t, int32_t, int32_t, int32_t) override { source_->nudge(output_); }

private:
    std::unique_ptr<DxgiCaptureSource> source_;
    OutputInfo output_;
};

}  // namespace

CaptureOpener make_dxgi_capture_opener(platform::IDuplication& duplication) {
    return [&duplication](const MonitorRef& monitor, OpenedCapture& out, std::string& error) {
        auto source = std::make_unique<DxgiCaptureSource>(duplication);
        std::optional<OutputInfo> output = source->find_output(monitor);
        if (!output) {
            error = monitor_ref_text(monitor) + " not found among the active monitors";
            return false;
        }
        if (!source->open(output->ordinal)) {
            error = format_text("DXGI DuplicateOutput failed: hr=0x%08" PRIX32, static_cast<uint32_t>(source->last_hr()));
            return false;
        }
        out.device_name = output->device_name;
        out.left = output->left;
        out.top = output->top;
        out.right = output->right;
        out.bottom = output->bottom;
        out.capture = std::make_unique<DxgiPipelineCapture>(std::move(source), *output);
        return true;
    };
}

}  // namespace sorvane
