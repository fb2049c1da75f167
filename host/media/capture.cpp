#include "host/media/capture.h"

#include "common/text.h"

namespace sorvane {

using platform::kDxgiErrorAccessLost;
using platform::kDxgiErrorWaitTimeout;

DxgiCaptureSource::DxgiCaptureSource(platform::IDuplication& port) : port_(port) {}

DxgiCaptureSource::~DxgiCaptureSource() { close(); }

std::vector<OutputInfo> DxgiCaptureSource::enumerate_outputs() {
    std::vector<OutputInfo> out;
    std::vector<platform::AdapterDesc> adapters;
    if (port_.enum_adapters(adapters) < 0) return out;
    for (uint32_t a = 0; a < adapters.size(); ++a) {
        std::vector<platform::OutputDesc> outputs;
        if (port_.enum_outputs(a, outputs) < 0) continue;
        for (uint32_t o = 0; o < outputs.size(); ++o) {
            OutputInfo info;
            info.ordinal = static_cast<uint32_t>(out.size());
            info.adapter_index = a;
            info.output_index = o;
            info.adapter_description = adapters[a].description;
            info.vendor_id = adapters[a].vendor_id;
            info.adapter_luid = adapters[a].luid;
            info.device_name = outputs[o].device_name;
            info.left = outputs[o].left;
            info.top = outputs[o].top;
            info.right = outputs[o].right;
            info.bottom = outputs[o].bottom;
            info.attached = outputs[o].attached;
            out.push_back(std::move(info));
        }
    }
    return out;
}

std::optional<OutputInfo> DxgiCaptureSource::find_output(const MonitorRef& ref) {
    std::string gdi;
    if (ref.by_target) {
        // The topology may change between the size query and the query; a
        // bounded number of retries keeps a flapping topology from spinning.
        std::vector<platform::DisplayPath> paths;
        int32_t rc = platform::kErrorInsufficientBuffer;
        for (int attempt = 0; attempt < 16 && rc == platform::kErrorInsufficientBuffer; ++attempt) {
            uint32_t count = 0;
            rc = port_.display_config_buffer_sizes(count);
            if (rc != platform::kErrorSuccess) return std::nullopt;
            rc = port_.query_display_config(count, paths);
        }
        if (rc != platform::kErrorSuccess) return std::nullopt;
        const platform::DisplayPath* path = nullptr;
        for (const auto& p : paths) {
            if (p.target_adapter_luid == ref.adapter_luid && p.target_id == ref.target_id) {
                path = &p;
                break;
            }
        }
        if (!path || port_.source_gdi_name(path->source_adapter_luid, path->source_id, gdi) != 0) {
            return std::nullopt;
        }
    } else {
        // An empty id would be a substring of every monitor, the user's own
        // screen first: it names nothing.
        if (ref.device_id.empty()) return std::nullopt;
        const std::string wanted = ascii_lower(ref.device_id);
        platform::DisplayDevice adapter;
        for (uint32_t i = 0; gdi.empty() && port_.enum_display_devices(nullptr, i, adapter); ++i) {
            if (!adapter.attached_to_desktop) continue;
            platform::DisplayDevice monitor;
            for (uint32_t j = 0; port_.enum_display_devices(&adapter.name, j, monitor); ++j) {
                if (ascii_lower(monitor.id).find(wanted) != std::string::npos) {
                    gdi = adapter.name;
                    break;
                }
            }
        }
        if (gdi.empty()) return std::nullopt;
    }
    for (const OutputInfo& o : enumerate_outputs()) {
        if (o.device_name == gdi && o.attached) return o;
    }
    return std::nullopt;
}

bool DxgiCaptureSource::open(uint32_t output_index) {
    close();
    std::vector<OutputInfo> outputs = enumerate_outputs();
    if (output_index >= outputs.size()) {
        last_hr_ = platform::kEInvalidArg;
        return false;
    }
    const OutputInfo& o = outputs[output_index];
    std::vector<platform::AdapterDesc> adapters;
    port_.enum_adapters(adapters);
    if (o.adapter_index < adapters.size()) adapter_ = adapters[o.adapter_index];
    int32_t hr = port_.create_device(o.adapter_index, device_);
    if (hr < 0 || !device_) {
        device_.reset();
        last_hr_ = hr < 0 ? hr : platform::kEFail;
        return false;
    }
    adapter_index_ = o.adapter_index;
    device_name_ = o.device_name;
    hr = port_.duplicate_output(o.adapter_index, o.output_index, *device_, duplication_);
    if (hr < 0 || !duplication_) {
        duplication_.reset();
        last_hr_ = hr < 0 ? hr : platform::kEFail;
        return false;
    }
    return true;
}

AcquireStatus DxgiCaptureSource::acquire(uint32_t timeout_ms, CapturedFrame& frame) {
    frame = CapturedFrame{};
    if (!duplication_) {
        last_hr_ = platform::kEUnexpected;
        return AcquireStatus::error;
    }
    release_frame();
    if (lost_) {
        last_hr_ = release_hr_;
        return AcquireStatus::lost;
    }
    platform::DuplicationFrameInfo info;
    const platform::CpuTexture* texture = nullptr;
    int32_t hr = duplication_->acquire_next_frame(timeout_ms, info, texture);
    if (hr == kDxgiErrorWaitTimeout) return AcquireStatus::timeout;
    if (hr < 0) {
        last_hr_ = hr;
        return hr == kDxgiErrorAccessLost ? AcquireStatus::lost : AcquireStatus::error;
    }
    frame_held_ = true;
    if (texture == nullptr) {
        release_frame();
        last_hr_ = platform::kENoInterface;
        return AcquireStatus::error;
    }
    frame.width = texture->width;
    frame.height = texture->height;
    frame.format = texture->format;
    frame.has_image = info.last_present_time != 0;
    frame.present_time = info.last_present_time;
    frame.acquire_time = port_.performance_counter();
    if (info.last_mouse_update_time != 0) {
        frame.pointer_updated = true;
        frame.pointer_visible = info.pointer_visible;
        frame.pointer_x = info.pointer_x;
        frame.pointer_y = info.pointer_y;
    }
    if (info.pointer_shape_buffer_size != 0) {
        // Read into a scratch buffer so that a failed read keeps the shape we had.
        shape_scratch_.resize(info.pointer_shape_buffer_size);
        platform::PointerShapeInfo shape;
        if (duplication_->get_frame_pointer_shape(shape_scratch_, shape) >= 0) {
            shape_buffer_.swap(shape_scratch_);
            shape_info_ = shape;
            frame.shape_updated = true;
        }
    }
    frame.texture = texture;
    return AcquireStatus::frame;
}

void DxgiCaptureSource::release_frame() {
    if (!frame_held_ || !duplication_) {
        frame_held_ = false;
        return;
    }
    frame_held_ = false;
    int32_t hr = duplication_->release_frame();
    if (hr < 0) {
        release_hr_ = hr;
        lost_ = true;
    }
}

void DxgiCaptureSource::close() {
    release_frame();
    duplication_.reset();
    lost_ = false;
    device_.reset();
}

bool DxgiCaptureSource::reopen() {
    if (!device_) {
        last_hr_ = platform::kEUnexpected;
        return false;
    }
    release_frame();
    duplication_.reset();
    lost_ = false;
    release_hr_ = 0;
    std::vector<platform::OutputDesc> outputs;
    if (port_.enum_outputs(adapter_index_, outputs) >= 0) {
        for (uint32_t i = 0; i < outputs.size(); ++i) {
            if (outputs[i].device_name != device_name_) continue;
            int32_t hr = port_.duplicate_output(adapter_index_, i, *device_, duplication_);
            if (hr < 0 || !duplication_) {
                duplication_.reset();
                last_hr_ = hr < 0 ? hr : platform::kEFail;
                return false;
            }
            return true;
        }
    }
    last_hr_ = platform::kDxgiErrorNotFound;
    return false;
}

bool DxgiCaptureSource::snapshot_gdi(const OutputInfo& output, std::vector<uint8_t>& pixels) {
    int64_t w = static_cast<int64_t>(output.right) - output.left;
    int64_t h = static_cast<int64_t>(output.bottom) - output.top;
    if (w <= 0 || h <= 0) return false;
    if (!port_.snapshot_gdi(output.left, output.top, static_cast<uint32_t>(w), static_cast<uint32_t>(h), pixels)) {
        return false;
    }
    if (pixels.size() < static_cast<size_t>(w) * static_cast<size_t>(h) * 4) return false;
    for (size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 255;
    return true;
}

void DxgiCaptureSource::nudge(const OutputInfo& output) {
    port_.nudge(output.left, output.top, output.right, output.bottom);
}

}  // namespace sorvane
