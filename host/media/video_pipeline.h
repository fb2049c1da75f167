// The video of one session: captures the session's monitor, keeps the latest
// desktop image, applies the vibrance pass, hands the image to the encoder,
// draws the pointer on the encoder's input, encodes, cuts the access unit
// into sealed datagrams and gives each to the session's sender. Paced to the
// stream rate, sends only when something changed or an IDR is due, coalesces
// key-frame requests, and keeps the counters and stall timers the session's
// watchdog reads. The frame loop runs on a thread of its own.
//
// Sealing is the session's: the pipeline fills the fields of each fragment
// and the session's sealer turns fields and piece into a datagram (the
// video cipher lives with the session, above this library).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/core/encoder_choice.h"
#include "host/core/monitor_ref.h"
#include "host/media/capture_recovery.h"
#include "host/media/color_vibrance.h"
#include "host/media/cursor_overlay.h"
#include "host/media/encoder.h"
#include "host/media/row_split.h"
#include "host/protocol/wire.h"
#include "platform/clock.h"
#include "platform/duplication.h"

namespace sorvane {

// The bytes of an access unit one datagram carries.
inline constexpr size_t kPipelineFragmentPayload = 1361;
inline constexpr uint32_t kPipelineMaxFragments = 65535;

struct PipelineConfig {
    MonitorRef monitor;
    uint32_t fps = 60;
    uint32_t bitrate = 20'000'000;
    EncoderChoice encoder;
    uint32_t session_id = 0;
    std::string frame_log_path;  // empty: no per-frame CSV
};

// The fields of one sealed fragment.
struct FragmentFields {
    uint32_t session_id = 0;
    uint32_t frame_seq = 0;
    uint64_t capture_ms = 0;
    uint8_t format = 1;
    bool keyframe = false;
    uint16_t fragment_index = 0;
    uint16_t fragment_count = 0;
};

// Seals one piece (at most 1,361 bytes) into datagram; false when it cannot.
using FragmentSealer = std::function<bool(const FragmentFields& fields, proto::ByteView piece, proto::Bytes& datagram)>;
// Sends one datagram; true when it went out.
using DatagramSender = std::function<bool(proto::ByteView datagram)>;
// Sends count datagrams in order; sent[i] tells whether datagram i went out.
using DatagramBatchSender = std::function<void(const proto::ByteView* datagrams, size_t count, bool* sent)>;
// The datagrams of a frame handed to a batch sender at once, at most.
inline constexpr size_t kPipelineSendBatch = 64;
// Opens the encoder for a configuration and policy (create_encoder in the host).
using EncoderFactory = std::function<std::unique_ptr<IEncoder>(const EncodeConfig& config, const EncoderChoice& choice,
                                                               EncoderInfo& info, std::string& error)>;

struct FrameRecord {
    uint32_t frame_seq = 0;
    int32_t keyframe = 0;
    uint32_t bytes = 0;
    uint32_t fragments = 0;
    double acquire_to_sent_ms = 0;
    double encode_ms = 0;
};

struct PipelineStats {
    uint32_t sent = 0, captured = 0;
    bool live = false;
    uint32_t cap_lost = 0, cap_err = 0, enc_fail = 0, copy_fail = 0, send_fail = 0;
    uint64_t stuck_ms = 0;  // the capture's stall, or the time since the frame thread ended
    uint64_t idr_wait_ms = 0;
    std::string last_error;
    // The frame thread ended on a failure (last_error says which); only a
    // rebuild brings the video back.
    bool ended = false;
    // It ended because the monitor's desktop changed size: a rebuild opens
    // the pipeline at the new size.
    bool size_changed = false;
};

// "sent=%u captured=%u live=%d ... idr_wait_ms=%llu" and " err=<last error>" when there is one.
std::string pipeline_stats_text(const PipelineStats& stats);

// What the pipeline needs from desktop capture (the duplication of one
// output, its pointer shape, and the fallbacks of a monitor that has not
// presented yet). Times are the pipeline clock's microseconds.
enum class CaptureStatus { frame, timeout, lost, error };

struct CaptureFrame {
    bool has_image = false;          // a new desktop image
    uint64_t present_us = 0;         // when it was presented
    uint64_t acquire_us = 0;         // when acquire returned
    const platform::CpuTexture* texture = nullptr;  // valid until release_frame
    bool pointer_updated = false;
    bool pointer_visible = false;
    int32_t pointer_x = 0, pointer_y = 0;  // the shape's top-left, relative to the output
    bool shape_updated = false;            // shape_buffer and shape_info hold a new shape
};

// reopen, last_hr and release_hr serve the capture recovery rules.
class IPipelineCapture : public IRecoverableCapture {
public:
    virtual CaptureStatus acquire(uint32_t timeout_ms, CaptureFrame& frame) = 0;
    virtual void release_frame() = 0;
    virtual void close() = 0;
    virtual const std::vector<uint8_t>& shape_buffer() const = 0;
    virtual platform::PointerShapeInfo shape_info() const = 0;
    virtual const platform::GpuDevice* device() const = 0;
    // BGRA rows of the rectangle; false when the snapshot failed.
    virtual bool snapshot_gdi(int32_t left, int32_t top, int32_t right, int32_t bottom, std::vector<uint8_t>& bgra) = 0;
    virtual void nudge(int32_t left, int32_t top, int32_t right, int32_t bottom) = 0;
};

// An opened capture of the monitor and what the pipeline reports about it.
struct OpenedCapture {
    std::unique_ptr<IPipelineCapture> capture;
    std::string device_name;  // the output's GDI device name
    int32_t left = 0, top = 0, right = 0, bottom = 0;  // its desktop rectangle
};
// Finds the monitor's output and opens its capture; error is
// "<monitor> not found among the active monitors" or
// "DXGI DuplicateOutput failed: hr=0x%08lX".
using CaptureOpener = std::function<bool(const MonitorRef& monitor, OpenedCapture& out, std::string& error)>;

struct PipelineEnv {
    platform::IClock& clock;
    CaptureOpener open_capture;
    EncoderFactory make_encoder;
};

class VideoPipeline {
public:
    explicit VideoPipeline(PipelineEnv env);
    ~VideoPipeline();
    VideoPipeline(const VideoPipeline&) = delete;
    VideoPipeline& operator=(const VideoPipeline&) = delete;

    // Finds the monitor, opens capture, encoder, overlay and copy texture.
    bool open(const PipelineConfig& config, std::string& error);
    // Set by the session before run (sealer) and start (the pipeline checks per frame).
    void set_sealer(FragmentSealer sealer);
    // A rebuilt pipeline continues the old one's numbering.
    void set_frame_seq(uint32_t seq) { frame_seq_.store(seq); }
    // Starts the frame thread with the session's sender.
    void run(DatagramSender sender);
    // Hands the datagrams of each frame to sender in batches (up to
    // kPipelineSendBatch, sealed first, sent in order) instead of to the
    // per-datagram sender; each datagram still counts on its own. Set before
    // run or begin_inline.
    void set_batch_sender(DatagramBatchSender sender);
    // Sets an IDR due ("start") and turns streaming on; true when it already was on.
    bool start();
    // The viewer's KeyframeRequest (coalesced; ignored before start).
    void request_keyframe();
    // Lowers the stream rate to max(fps, 1) when that is below the current one.
    bool lower_fps(uint32_t fps);
    PipelineStats stats();
    // Ends the thread, writes the summary, releases encoder and capture. Idempotent.
    void stop();

    uint32_t frame_seq() const { return frame_seq_.load(); }
    uint32_t fps() const { return fps_.load(); }
    bool live() const { return live_.load(); }
    bool touch_anyway() const { return touch_anyway_.load(); }
    std::string last_error() const;

    // Driving the loop from the caller's thread instead of run() (tests and
    // benchmarks): begin once with the sender, then one pass per call. A pass
    // returns false when the loop would end (stop asked or a send failed).
    void begin_inline(DatagramSender sender);
    bool pass();

    // Counters of the frame thread (read after stop, or from the thread driving pass()).
    struct LoopCounters {
        uint32_t idr_start = 0, idr_request = 0, coalesced = 0, send_failures = 0;
        uint32_t pointer_updates = 0, shape_changes = 0, cursor_draws = 0, capture_losses = 0;
        uint32_t vibrance_frames = 0, nudges = 0;
        uint64_t frames_recorded = 0;
    };
    const LoopCounters& counters() const { return counters_; }
    // The records of the newest sent frames (at most kSampleWindow),
    // oldest first; read after stop, or from the thread driving pass().
    std::vector<FrameRecord> frame_records() const;

private:
    uint64_t now_us() { return env_.clock.now_us(); }
    void thread_main();
    void loop_begin();
    bool send_frame(uint64_t acquire_us, uint64_t image_us);
    // The loop ends on a failure: marked for the watchdog and logged once.
    bool end_loop();
    // Seals and sends the fragments of one access unit.
    void send_fragments(FragmentFields& fields, const uint8_t* data, size_t size, size_t fragments);
    void count_send_failure();
    void write_stall_note(const std::string& key, const std::string& text);
    void set_error(const std::string& text);
    void write_summary();

    PipelineEnv env_;
    PipelineConfig config_;
    std::atomic<uint32_t> fps_{60};
    uint32_t width_ = 0, height_ = 0;
    int32_t rect_left_ = 0, rect_top_ = 0, rect_right_ = 0, rect_bottom_ = 0;
    std::unique_ptr<IPipelineCapture> capture_;
    platform::CpuTexture copy_texture_;
    RowSplit copy_split_;  // the copy on two cores
    // The encoder converted copy_texture_ as it was copied; rows
    // [stale_first_, stale_end_) of its picture still hold the pointer.
    bool converted_ = false;
    uint32_t stale_first_ = 0, stale_end_ = 0;
    std::unique_ptr<IEncoder> encoder_;
    EncodeConfig encode_config_;
    EncoderInfo encoder_info_;
    bool fallback_tried_ = false;
    CursorOverlay overlay_;
    CursorOverlay::Saved under_pointer_;  // the image's pixels under the pointer while it is drawn
    int32_t last_px_ = 0, last_py_ = 0;
    bool last_pvisible_ = false, pointer_seen_ = false;
    VibranceLevel applied_level_ = VibranceLevel::off;
    bool vibrance_failed_ = false;
    std::unique_ptr<VibrancePass> vibrance_;
    FragmentSealer sealer_;
    DatagramSender sender_;
    proto::Bytes datagram_;
    DatagramBatchSender batch_sender_;
    std::vector<proto::Bytes> batch_;  // kPipelineSendBatch sealed datagrams
    std::vector<proto::ByteView> batch_views_;
    bool batch_sent_[kPipelineSendBatch] = {};
    std::atomic<uint32_t> frame_seq_{0};

    std::atomic<bool> stop_{false}, streaming_{false}, live_{false}, touch_anyway_{false}, stopped_{true};
    std::atomic<uint64_t> ended_ms_{0};  // when the loop ended on a failure; 0: it did not
    std::atomic<bool> size_changed_{false};
    bool opened_ = false;
    std::thread thread_;

    std::mutex key_mutex_;
    bool idr_pending_ = false;
    std::string idr_reason_;
    uint64_t last_idr_ms_ = 0;
    bool idr_taken_ = false;  // last_idr_ms_ is set
    std::atomic<uint64_t> request_since_ms_{0};
    // Losses and error runs of the capture, and its stall mark.
    std::unique_ptr<CaptureRecovery> recovery_;

    mutable std::mutex error_mutex_;
    std::string last_error_;

    std::atomic<uint32_t> sent_{0}, captured_{0}, enc_fail_{0}, copy_fail_{0}, send_fail_{0};
    LoopCounters counters_;
    SampleSeries acquire_to_sent_, encode_ms_, frame_kib_;
    std::vector<FrameRecord> records_;  // the newest kSampleWindow frames, as a ring
    size_t records_next_ = 0;

    // Loop state (frame thread).
    struct Loop {
        uint64_t start_us = 0, window_us = 0;
        uint64_t pending_us = 0, image_us = 0;  // D and d of the send decision; 0 = none
        uint64_t next_send_us = 0;
        uint64_t nudge_deadline_us = 0;
        uint32_t nudges = 0;
        bool snapshot_tried = false;
        bool have_image = false;
        uint32_t interval_fps = 0;
        uint64_t interval_us = 0;
        uint32_t timeouts = 0, frames = 0, frames_without_image = 0;
        size_t window_frames = 0;
        uint64_t window_bytes = 0;
        bool ended = false;
    } loop_;
    std::vector<uint8_t> gdi_pixels_;
};

}  // namespace sorvane
