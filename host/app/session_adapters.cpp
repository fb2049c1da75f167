#include "host/app/session_adapters.h"

#include <utility>

#include "host/input/input_injector.h"
#include "host/input/touch_injector.h"
#include "host/media/pipeline_capture.h"
#include "host/media/video_pipeline.h"
#include "host/net/video_datagram.h"

namespace sorvane {

FragmentSealer cipher_sealer(std::shared_ptr<VideoCipher> cipher) {
    return [cipher = std::move(cipher)](const FragmentFields& f, proto::ByteView piece, proto::Bytes& datagram) {
        if (!cipher) return false;
        VideoFragmentHeader h;
        h.session_id = f.session_id;
        h.frame_seq = f.frame_seq;
        h.capture_ms = f.capture_ms;
        h.format = f.format;
        h.keyframe = f.keyframe;
        h.fragment_index = f.fragment_index;
        h.fragment_count = f.fragment_count;
        return build_fragment(*cipher, h, piece, datagram);
    };
}

// ---- monitors ----

SessionMonitor SessionMonitorsAdapter::acquire_monitor(const SessionMonitorRequest& request, uint32_t session_id) {
    MonitorRequest r;
    r.client_id = request.client_id;
    r.width = request.width;
    r.height = request.height;
    r.refresh = request.refresh;
    r.mm_width = request.edid_width_mm;
    r.mm_height = request.edid_height_mm;
    AcquiredMonitor got;
    SessionMonitor out;
    if (!provider_.acquire_monitor(r, session_id, got, out.error)) {
        if (out.error.empty()) out.error = "the monitor provider gave no reason";
        return out;
    }
    out.ok = true;
    out.ref = got.ref;
    out.text = monitor_ref_text(got.ref);
    out.width = got.width;
    out.height = got.height;
    out.refresh = got.refresh;
    out.reused = got.reused;
    return out;
}

void SessionMonitorsAdapter::release_after_grace(const std::string& client_id, uint32_t session_id, uint32_t grace_ms) {
    provider_.release_after_grace(client_id, session_id, grace_ms);
}

void SessionMonitorsAdapter::release_monitor(const std::string& client_id, uint32_t session_id) {
    provider_.release_monitor(client_id, session_id);
}

bool SessionMonitorsAdapter::monitor_alive(const std::string& client_id, uint32_t session_id) {
    return provider_.monitor_alive(client_id, session_id);
}

bool OutputPresence::has_output(const MonitorRef& monitor) {
    std::lock_guard<std::mutex> g(mutex_);
    if (!source_) {
        port_ = platform::make_duplication();
        source_ = std::make_unique<DxgiCaptureSource>(*port_);
    }
    return source_->find_output(monitor).has_value();
}

// ---- encoder choice ----

std::vector<KernelAdapter> DuplicationAdapterList::kernel_adapters() {
    std::vector<KernelAdapter> out;
    for (const platform::AdapterDesc& a : dxgi_adapters()) {
        KernelAdapter k;
        k.luid = a.luid;
        k.software_device = a.software;
        out.push_back(k);
    }
    return out;
}

std::vector<platform::AdapterDesc> DuplicationAdapterList::dxgi_adapters() {
    std::vector<platform::AdapterDesc> out;
    if (port_.enum_adapters(out) != 0) out.clear();
    return out;
}

// ---- pipeline ----

namespace {

// One session's VideoPipeline with the duplication it captures through.
class MediaSessionPipeline final : public ISessionPipeline {
public:
    // encoders_mutex guards the encoder ports every pipeline shares.
    MediaSessionPipeline(platform::IClock& clock, platform::IMftPort& mft, platform::INvencLibrary& nvenc,
                         std::mutex& encoders_mutex)
        : port_(platform::make_duplication()),
          adapters_(*port_),
          ports_{mft, nvenc, adapters_, clock},
          encoders_mutex_(encoders_mutex),
          pipeline_(PipelineEnv{clock, capture_opener(), encoder_factory()}) {}
    ~MediaSessionPipeline() override { pipeline_.stop(); }

    bool open(const SessionPipelineConfig& config, std::string& error) {
        PipelineConfig c;
        c.monitor = config.monitor;
        c.fps = config.fps;
        c.bitrate = config.bitrate;
        c.encoder = config.encoder;
        c.session_id = config.session_id;
        c.frame_log_path = config.frame_log_path;
        return pipeline_.open(c, error);
    }

    void set_cipher(std::shared_ptr<VideoCipher> cipher) override {
        pipeline_.set_sealer(cipher_sealer(std::move(cipher)));
    }
    void set_batch_sender(VideoBatchSender sender) override { pipeline_.set_batch_sender(std::move(sender)); }
    void run(VideoSender sender) override { pipeline_.run(std::move(sender)); }
    void start() override { pipeline_.start(); }
    void stop() override { pipeline_.stop(); }
    void request_keyframe() override { pipeline_.request_keyframe(); }
    bool lower_fps(uint32_t fps) override { return pipeline_.lower_fps(fps); }
    uint32_t fps() const override { return pipeline_.fps(); }
    uint32_t width() const override { return width_; }
    uint32_t height() const override { return height_; }
    uint32_t frame_seq() const override { return pipeline_.frame_seq(); }
    void set_frame_seq(uint32_t seq) override { pipeline_.set_frame_seq(seq); }
    bool touch_ready() const override { return pipeline_.live() || pipeline_.touch_anyway(); }
    PipelineSnapshot stats() const override {
        const PipelineStats s = pipeline_.stats();
        PipelineSnapshot out;
        out.sent = s.sent;
        out.stuck_ms = s.stuck_ms;
        out.idr_wait_ms = s.idr_wait_ms;
        out.text = pipeline_stats_text(s);
        out.ended = s.ended;
        out.size_changed = s.size_changed;
        return out;
    }

private:
    // Keeps the size of the output the capture opened: the stream's size.
    CaptureOpener capture_opener() {
        return [this, opener = make_dxgi_capture_opener(*port_)](const MonitorRef& monitor, OpenedCapture& out,
                                                                 std::string& error) {
            if (!opener(monitor, out, error)) return false;
            width_ = static_cast<uint32_t>(out.right - out.left);
            height_ = static_cast<uint32_t>(out.bottom - out.top);
            return true;
        };
    }
    // Every encoder, the one of open and the software fallback of the frame
    // thread alike, is made under the factory's lock.
    EncoderFactory encoder_factory() {
        return [this](const EncodeConfig& config, const EncoderChoice& choice, EncoderInfo& info, std::string& error) {
            std::lock_guard<std::mutex> g(encoders_mutex_);
            return create_encoder(ports_, config, choice, info, error);
        };
    }

    std::unique_ptr<platform::IDuplication> port_;
    DuplicationAdapterList adapters_;
    EncoderPorts ports_;
    std::mutex& encoders_mutex_;
    uint32_t width_ = 0, height_ = 0;
    // stats() is logically const; the pipeline's counters are atomics.
    mutable VideoPipeline pipeline_;
};

}  // namespace

std::unique_ptr<ISessionPipeline> MediaPipelineFactory::open(const SessionPipelineConfig& config, std::string& error) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (!mft_) mft_ = platform::make_mft_port();
        if (!nvenc_) nvenc_ = platform::make_nvenc_library();
    }
    auto pipeline = std::make_unique<MediaSessionPipeline>(clock_, *mft_, *nvenc_, mutex_);
    if (!pipeline->open(config, error)) return nullptr;
    return pipeline;
}

// ---- input ----

PlatformInjectorFactory::~PlatformInjectorFactory() = default;

std::unique_ptr<InputInjector> PlatformInjectorFactory::make_input(std::string name,
                                                                   std::function<void(std::string_view)> notify) {
    std::lock_guard<std::mutex> g(mutex_);
    if (!sink_) sink_ = platform::make_input_sink();
    if (!foreground_) foreground_ = platform::make_foreground_info();
    return std::make_unique<InputInjector>(std::move(name), std::move(notify), InputPorts{*sink_, *foreground_, clock_});
}

std::unique_ptr<TouchInjector> PlatformInjectorFactory::make_touch(uint32_t session_id, const MonitorRef& monitor,
                                                                   const std::string& trace_path) {
    std::lock_guard<std::mutex> g(mutex_);
    if (!touch_devices_) touch_devices_ = platform::make_touch_device_factory();
    if (!desktop_) desktop_ = platform::make_desktop_info();
    if (!rects_) {
        rect_port_ = platform::make_duplication();
        rects_ = std::make_unique<OutputRectLookup>(*rect_port_);
    }
    return std::make_unique<TouchInjector>(session_id, monitor, TouchPorts{*touch_devices_, *rects_, *desktop_, clock_},
                                           trace_path);
}

}  // namespace sorvane
