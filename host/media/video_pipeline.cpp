#include "host/media/video_pipeline.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "common/text_format.h"
#include "host/core/log.h"
#include "host/core/settings.h"
#include "platform/crash.h"
#include "platform/files.h"

namespace sorvane {
namespace {

constexpr uint64_t kUsPerMs = 1000;

std::string ascii_only(const std::string& s) {
    std::string out;
    for (unsigned char c : s) out += (c >= 0x80 || c < 0x20) ? '?' : static_cast<char>(c);
    return out;
}

double ms_of(uint64_t us) { return static_cast<double>(us) / 1000.0; }

}  // namespace

std::string pipeline_stats_text(const PipelineStats& s) {
    return format_text("sent=%" PRIu32 " captured=%" PRIu32 " live=%d cap_lost=%" PRIu32 " cap_err=%" PRIu32
                       " enc_fail=%" PRIu32 " copy_fail=%" PRIu32 " send_fail=%" PRIu32 " stuck_ms=%" PRIu64
                       " idr_wait_ms=%" PRIu64 "%s%s",
                       s.sent, s.captured, s.live ? 1 : 0, s.cap_lost, s.cap_err, s.enc_fail, s.copy_fail, s.send_fail,
                       s.stuck_ms, s.idr_wait_ms, s.last_error.empty() ? "" : " err=", s.last_error.c_str());
}

VideoPipeline::VideoPipeline(PipelineEnv env) : env_(std::move(env)) { datagram_.reserve(1400); }

VideoPipeline::~VideoPipeline() { stop(); }

std::string VideoPipeline::last_error() const {
    std::lock_guard<std::mutex> lock(error_mutex_);
    return last_error_;
}

void VideoPipeline::set_error(const std::string& text) {
    std::string clean;
    for (unsigned char c : text) {
        if (clean.size() >= 80) break;
        clean += (c < 32 || c > 126) ? '?' : static_cast<char>(c);
    }
    std::lock_guard<std::mutex> lock(error_mutex_);
    last_error_ = std::move(clean);
}

bool VideoPipeline::open(const PipelineConfig& config, std::string& error) {
    config_ = config;
    fps_.store(config.fps);
    const uint32_t sid = config.session_id;

    OpenedCapture opened;
    if (!env_.open_capture || !env_.open_capture(config.monitor, opened, error) || !opened.capture) {
        if (error.empty()) error = monitor_ref_text(config.monitor) + " not found among the active monitors";
        return false;
    }
    capture_ = std::move(opened.capture);
    recovery_ = std::make_unique<CaptureRecovery>(
        sid, *capture_, env_.clock,
        [this](const std::string& key, const std::string& value) { write_stall_note(key, value); },
        [this] { return stop_.load(); });
    rect_left_ = opened.left;
    rect_top_ = opened.top;
    rect_right_ = opened.right;
    rect_bottom_ = opened.bottom;
    width_ = static_cast<uint32_t>(rect_right_ - rect_left_);
    height_ = static_cast<uint32_t>(rect_bottom_ - rect_top_);

    encode_config_ = EncodeConfig{width_, height_, config.fps, capture_->device(), config.bitrate, 0};
    std::string encoder_error;
    converted_ = false;
    encoder_ = env_.make_encoder ? env_.make_encoder(encode_config_, config.encoder, encoder_info_, encoder_error)
                                 : nullptr;
    if (!encoder_) {
        error = "encoder: " + encoder_error;
        capture_->close();
        capture_.reset();
        return false;
    }
    if (capture_->device() == nullptr || !overlay_.init(*capture_->device())) {
        error = "cursor overlay init failed";
        encoder_->close();
        encoder_.reset();
        capture_->close();
        capture_.reset();
        return false;
    }
    if (!copy_texture_.allocate(width_, height_, platform::kFormatBgra8)) {
        error = "could not create the desktop copy texture";
        encoder_->close();
        encoder_.reset();
        capture_->close();
        capture_.reset();
        return false;
    }
    stopped_.store(false);
    opened_ = true;
    const std::string adapter = capture_->device()->adapter.description;
    session_log(sid, "pipeline open: %s (%s) %" PRIu32 "x%" PRIu32 " on \"%s\", %s H.264 %" PRIu32 " Mbps, infinite GOP",
                monitor_ref_text(config.monitor).c_str(), ascii_only(opened.device_name).c_str(), width_, height_,
                adapter.c_str(), encoder_info_.name.c_str(), config.bitrate / 1'000'000);
    return true;
}

void VideoPipeline::set_sealer(FragmentSealer sealer) { sealer_ = std::move(sealer); }

void VideoPipeline::set_batch_sender(DatagramBatchSender sender) {
    batch_sender_ = std::move(sender);
    if (batch_.empty()) {
        batch_.resize(kPipelineSendBatch);
        for (proto::Bytes& b : batch_) b.reserve(1400);
        batch_views_.resize(kPipelineSendBatch);
    }
}

void VideoPipeline::run(DatagramSender sender) {
    if (!opened_ || thread_.joinable()) return;
    sender_ = std::move(sender);
    thread_ = std::thread([this] {
        platform::install_thread_fault_stack();
        thread_main();
    });
}

void VideoPipeline::begin_inline(DatagramSender sender) {
    sender_ = std::move(sender);
    loop_begin();
}

bool VideoPipeline::start() {
    {
        std::lock_guard<std::mutex> lock(key_mutex_);
        idr_pending_ = true;
        idr_reason_ = "start";
        request_since_ms_.store(env_.clock.now_ms());
    }
    return streaming_.exchange(true);
}

void VideoPipeline::request_keyframe() {
    if (!streaming_.load()) return;
    const uint64_t now = env_.clock.now_ms();
    std::lock_guard<std::mutex> lock(key_mutex_);
    if (idr_pending_) {
        ++counters_.coalesced;
        session_log(config_.session_id, "KeyframeRequest coalesced (an IDR is already pending)");
    } else if (idr_taken_ && now - last_idr_ms_ < 100) {
        ++counters_.coalesced;
        session_log(config_.session_id, "KeyframeRequest coalesced (IDR sent %llu ms ago)",
                    static_cast<unsigned long long>(now - last_idr_ms_));
    } else {
        idr_pending_ = true;
        idr_reason_ = "request";
        request_since_ms_.store(now);
    }
}

bool VideoPipeline::lower_fps(uint32_t fps) {
    const uint32_t want = std::max<uint32_t>(fps, 1);
    uint32_t current = fps_.load();
    while (want < current) {
        if (fps_.compare_exchange_weak(current, want)) return true;
    }
    return false;
}

PipelineStats VideoPipeline::stats() {
    PipelineStats s;
    s.sent = sent_.load();
    s.captured = captured_.load();
    s.live = live_.load();
    s.cap_lost = recovery_ ? static_cast<uint32_t>(recovery_->capture_losses()) : 0;
    s.cap_err = recovery_ ? static_cast<uint32_t>(recovery_->capture_errors()) : 0;
    s.enc_fail = enc_fail_.load();
    s.copy_fail = copy_fail_.load();
    s.send_fail = send_fail_.load();
    const uint64_t now = env_.clock.now_ms();
    const uint64_t stall = recovery_ ? recovery_->stall_since_ms() : 0, req = request_since_ms_.load();
    const uint64_t ended = ended_ms_.load();
    s.stuck_ms = stall == 0 || now < stall ? 0 : now - stall;
    // A frame thread that ended is as stuck as a capture that fails: longer
    // of the two.
    if (ended != 0 && now > ended) s.stuck_ms = std::max(s.stuck_ms, now - ended);
    s.idr_wait_ms = req == 0 || now < req ? 0 : now - req;
    s.last_error = last_error();
    s.ended = ended != 0;
    s.size_changed = size_changed_.load();
    return s;
}

bool VideoPipeline::end_loop() {
    loop_.ended = true;
    ended_ms_.store(std::max<uint64_t>(env_.clock.now_ms(), 1));
    session_log(config_.session_id, "frame thread ended (%s): no more frames until the pipeline is rebuilt",
                last_error().c_str());
    return false;
}

void VideoPipeline::thread_main() {
    loop_begin();
    while (pass()) {
    }
}

void VideoPipeline::loop_begin() {
    loop_ = Loop{};
    const uint64_t now = now_us();
    loop_.start_us = loop_.window_us = now;
    loop_.nudge_deadline_us = now + 1000 * kUsPerMs;
}

bool VideoPipeline::pass() {
    if (stop_.load() || loop_.ended || !capture_) return false;
    const uint32_t sid = config_.session_id;
    Loop& L = loop_;

    // 2. Interval: 0.9 of the frame period.
    const uint32_t fps = fps_.load();
    if (fps != L.interval_fps) {
        L.interval_fps = fps;
        L.interval_us = 900 * kUsPerMs / std::max<uint32_t>(fps, 1);
    }

    // 3. Acquire time-out.
    const bool streaming = streaming_.load();
    uint32_t timeout_ms = streaming ? 2 : 8;
    bool idr_pending_now;
    {
        std::lock_guard<std::mutex> lock(key_mutex_);
        idr_pending_now = idr_pending_;
    }
    if (streaming && L.have_image && L.pending_us != 0 && !idr_pending_now) {
        const uint64_t now = now_us();
        if (now >= L.next_send_us) {
            timeout_ms = 0;
        } else {
            const double remaining_ms = static_cast<double>(L.next_send_us - now) / 1000.0;
            timeout_ms = std::min<uint32_t>(2, static_cast<uint32_t>(remaining_ms + 0.999));
        }
    }

    // 4. Acquire.
    CaptureFrame frame;
    const CaptureStatus status = capture_->acquire(timeout_ms, frame);
    if (status == CaptureStatus::timeout) {
        ++L.timeouts;
        recovery_->on_status(AcquireStatus::timeout);
    } else if (status == CaptureStatus::lost || status == CaptureStatus::error) {
        recovery_->on_status(status == CaptureStatus::lost ? AcquireStatus::lost : AcquireStatus::error);
        counters_.capture_losses = static_cast<uint32_t>(recovery_->capture_losses());
        set_error(recovery_->last_error());
    } else {
        ++L.frames;
        captured_.fetch_add(1);
        recovery_->on_status(AcquireStatus::frame);
        // 5. The frame.
        const uint64_t acquired = frame.acquire_us;
        bool changed = false;
        if (frame.has_image && frame.texture != nullptr) {
            if (frame.texture->width != width_ || frame.texture->height != height_) {
                // A mode change: the encoder, the copy and the viewer's
                // decoder are all of the old size. Only a pipeline opened
                // anew fits the monitor again.
                const uint32_t w = frame.texture->width, h = frame.texture->height;
                capture_->release_frame();
                set_error(format_text("the desktop is now %" PRIu32 "x%" PRIu32 ", the pipeline was opened for %" PRIu32
                                      "x%" PRIu32,
                                      w, h, width_, height_));
                size_changed_.store(true);
                return end_loop();
            }
            // An encoder that converts on the CPU converts each run of rows
            // as it is copied, while the rows are in the cache, unless the
            // vibrance pass will change the image first.
            const platform::CpuTexture& image = *frame.texture;
            const bool convert = encoder_ && encoder_->takes_image() &&
                                 (current_vibrance_level() == VibranceLevel::off || vibrance_failed_);
            std::atomic<bool> converted{convert};
            copy_split_.run(height_, kSplitRows, [&](uint32_t first, uint32_t end) {
                for (uint32_t y = first; y < end; ++y) {
                    std::copy_n(image.row(y), static_cast<size_t>(width_) * 4, copy_texture_.row(y));
                }
                if (convert && !encoder_->convert_rows(copy_texture_, first, end)) converted.store(false);
            });
            converted_ = converted.load();
            stale_first_ = stale_end_ = 0;
            L.have_image = true;
            changed = true;
            if (!live_.exchange(true)) {
                session_log(sid, "first desktop frame captured: the monitor is live (touch injection enabled)");
            }
        } else {
            ++L.frames_without_image;
        }
        if (frame.shape_updated) {
            const std::vector<uint8_t>& shape = capture_->shape_buffer();
            overlay_.set_shape(shape.data(), shape.size(), capture_->shape_info());
            ++counters_.shape_changes;
            changed = true;
        }
        if (frame.pointer_updated &&
            (!pointer_seen_ || frame.pointer_x != last_px_ || frame.pointer_y != last_py_ ||
             frame.pointer_visible != last_pvisible_)) {
            pointer_seen_ = true;
            last_px_ = frame.pointer_x;
            last_py_ = frame.pointer_y;
            last_pvisible_ = frame.pointer_visible;
            overlay_.set_position(frame.pointer_x, frame.pointer_y, frame.pointer_visible);
            ++counters_.pointer_updates;
            changed = true;
        }
        capture_->release_frame();
        if (changed) {
            const uint64_t present = frame.has_image ? frame.present_us : 0;
            if (L.pending_us == 0) {
                L.pending_us = acquired != 0 ? acquired : now_us();
                L.image_us = frame.has_image ? present : L.pending_us;
            } else if (frame.has_image) {
                L.image_us = present;
            }
        }
    }

    // 6. Touch after 5 s without an image.
    uint64_t now = now_us();
    const uint64_t elapsed = now - L.start_us;
    if (!live_.load() && !touch_anyway_.load() && elapsed >= 5000 * kUsPerMs) {
        touch_anyway_.store(true);
        session_log(sid,
                    "no desktop frame after 5 s: touch injection enabled anyway (acquire: %" PRIu32
                    " timeouts, %" PRIu32 " frames, %" PRIu32 " without a new image)",
                    L.timeouts, L.frames, L.frames_without_image);
    }

    // 7. Nudges, then a GDI snapshot, while no image has come.
    if (!L.have_image) {
        if (L.nudges < 2 && now >= L.nudge_deadline_us) {
            ++L.nudges;
            ++counters_.nudges;
            L.nudge_deadline_us = now + 800 * kUsPerMs;
            session_log(sid,
                        "no desktop frame yet (%.1f s; acquire: %" PRIu32 " timeouts, %" PRIu32 " frames, %" PRIu32
                        " without a new image): nudging the monitor (%d/2)",
                        ms_of(elapsed) / 1000.0, L.timeouts, L.frames, L.frames_without_image,
                        static_cast<int>(L.nudges));
            capture_->nudge(rect_left_, rect_top_, rect_right_, rect_bottom_);
        } else if (L.nudges >= 2 && !L.snapshot_tried && now >= L.nudge_deadline_us) {
            L.snapshot_tried = true;
            gdi_pixels_.clear();
            if (capture_->snapshot_gdi(rect_left_, rect_top_, rect_right_, rect_bottom_, gdi_pixels_) &&
                gdi_pixels_.size() == static_cast<size_t>(width_) * height_ * 4) {
                for (uint32_t y = 0; y < height_; ++y) {
                    std::copy_n(gdi_pixels_.data() + static_cast<size_t>(y) * width_ * 4,
                                static_cast<size_t>(width_) * 4, copy_texture_.row(y));
                }
                converted_ = false;
                L.have_image = true;
                if (L.pending_us == 0) L.pending_us = L.image_us = now;
                session_log(sid, "still no Desktop Duplication frame: sent a GDI snapshot of the monitor as the first image");
            } else {
                session_log(sid, "still no Desktop Duplication frame and the GDI snapshot failed");
            }
        }
    }

    // 8. A new vibrance level resends the still image.
    if (L.have_image && L.pending_us == 0 && current_vibrance_level() != applied_level_) {
        L.pending_us = L.image_us = now;
    }

    // 9. Send decision.
    if (streaming_.load() && L.have_image) {
        bool idr_due;
        {
            std::lock_guard<std::mutex> lock(key_mutex_);
            idr_due = idr_pending_;
        }
        if (idr_due || (L.pending_us != 0 && now >= L.next_send_us)) {
            const uint64_t recorded_before = counters_.frames_recorded;
            const uint64_t a = L.pending_us != 0 ? L.pending_us : now;
            const uint64_t i = L.image_us != 0 ? L.image_us : now;
            const uint64_t decided = now;
            if (!send_frame(a, i)) return end_loop();
            now = now_us();
            L.pending_us = L.image_us = 0;
            // The interval counts from the moment the frame was due, not from the end of its encoding: a
            // chain of C ms would otherwise cap the stream at 1000 / (C + interval) frames a second.
            L.next_send_us = decided + L.interval_us;
            if (counters_.frames_recorded != recorded_before) {
                const FrameRecord& r = records_[(records_next_ + records_.size() - 1) % records_.size()];
                ++L.window_frames;
                L.window_bytes += r.bytes;
            }
        }
    }

    // 10. Statistics window.
    if (now - L.window_us >= 5000 * kUsPerMs) {
        const double seconds = static_cast<double>(now - L.window_us) / 1e6;
        session_log(sid, "video: %zu frames in %.1fs (%.1f fps), %.0f KiB/s, %" PRIu32 " cursor draws", L.window_frames,
                    seconds, static_cast<double>(L.window_frames) / seconds,
                    static_cast<double>(L.window_bytes) / 1024.0 / seconds, counters_.cursor_draws);
        L.window_us = now;
        L.window_frames = 0;
        L.window_bytes = 0;
    }
    return !stop_.load();
}

bool VideoPipeline::send_frame(uint64_t acquire_us, uint64_t image_us) {
    const uint32_t sid = config_.session_id;
    if (!sealer_) {
        session_log(sid, "no video cipher set: cannot send (v0.10 K16/K21 requires one per session)");
        set_error("no video cipher");
        return false;
    }

    // Vibrance.
    const VibranceLevel level = current_vibrance_level();
    if (level != applied_level_) {
        session_log(sid, "renk canliligi: %s -> %s (doygunluk x%.2f)", vibrance_level_name(applied_level_),
                    vibrance_level_name(level), static_cast<double>(vibrance_level_factor(level)));
        applied_level_ = level;
    }
    platform::CpuTexture* source = &copy_texture_;
    if (level != VibranceLevel::off && !vibrance_failed_) {
        if (!vibrance_) {
            vibrance_ = std::make_unique<VibrancePass>();
            if (!vibrance_->init(*capture_->device(), width_, height_)) {
                vibrance_failed_ = true;
                vibrance_.reset();
                session_log(sid, "renk canliligi gecisi kurulamadi: goruntu dogal renkle gonderiliyor");
            }
        }
        if (vibrance_ && vibrance_->apply(copy_texture_, vibrance_level_factor(level))) {
            source = &vibrance_->output();
            ++counters_.vibrance_frames;
        }
    }

    // An encoder that converts on the CPU takes the image itself: the
    // pointer is drawn on it for the encoding and the pixels under it are put
    // back after, so the image is still the bare desktop for the next frame.
    const bool takes_image = encoder_->takes_image();
    if (takes_image) {
        if (overlay_.draw_saving(*source, under_pointer_)) ++counters_.cursor_draws;
    } else {
        if (!encoder_->copy_input(source)) {
            session_log(sid, "copy_input failed: %s", encoder_->last_error().c_str());
            copy_fail_.fetch_add(1);
            set_error("copy_input: " + encoder_->last_error());
            return false;
        }
        if (platform::CpuTexture* input = encoder_->input_texture()) {
            if (overlay_.draw(*input)) ++counters_.cursor_draws;
        }
    }

    // The pending IDR is taken, and cleared, now: the encoder is told, and
    // whatever becomes of the datagrams, the request no longer bypasses the
    // pacing (with the network gone every send fails, and a request kept
    // pending would make every pass an IDR). A viewer that misses it asks again.
    std::string reason;
    bool taken = false;
    {
        std::lock_guard<std::mutex> lock(key_mutex_);
        if (idr_pending_) {
            reason = idr_reason_;
            taken = true;
            idr_pending_ = false;
            idr_taken_ = true;
            last_idr_ms_ = env_.clock.now_ms();
            request_since_ms_.store(0);
        }
    }
    const uint32_t seq = frame_seq_.load();
    if (seq == 0) {
        encoder_->request_keyframe();
        if (!taken) reason = "start";
    } else if (taken) {
        encoder_->request_keyframe();
    }

    EncodedFrame out;
    bool encoded;
    if (takes_image) {
        const bool drawn = under_pointer_.width != 0 && under_pointer_.height != 0;
        if (converted_ && source == &copy_texture_) {
            // Converted as it was copied: only the rows the pointer is on now
            // or was on at the last encoding are converted again.
            uint32_t first = stale_first_, end = stale_end_;
            if (drawn) {
                first = first < end ? std::min(first, under_pointer_.top) : under_pointer_.top;
                end = std::max(end, under_pointer_.top + under_pointer_.height);
            }
            encoded = encoder_->encode_converted(*source, first, end, out);
            stale_first_ = drawn ? under_pointer_.top : 0;
            stale_end_ = drawn ? under_pointer_.top + under_pointer_.height : 0;
        } else {
            encoded = encoder_->encode_image(*source, out);
            converted_ = false;  // the encoder's picture is no longer the bare copy's
        }
        CursorOverlay::restore(*source, under_pointer_);
        under_pointer_.width = under_pointer_.height = 0;
    } else {
        encoded = encoder_->encode_frame(out);
    }
    if (!encoded) {
        const std::string err = encoder_->last_error();
        session_log(sid, "encode_frame failed: %s", err.c_str());
        enc_fail_.fetch_add(1);
        set_error("encode_frame: " + err);
        if (seq == 0 && !fallback_tried_ && encoder_info_.hardware && config_.encoder.kind != EncoderKind::mf_sw) {
            fallback_tried_ = true;
            EncoderInfo info;
            std::string error;
            EncoderChoice sw = config_.encoder;
            sw.kind = EncoderKind::mf_sw;
            std::unique_ptr<IEncoder> replacement = env_.make_encoder(encode_config_, sw, info, error);
            if (replacement) {
                log("[encoder] hardware encoder failed on the first frame (%s): falling back to %s",
                    encoder_info_.name.c_str(), info.name.c_str());
                encoder_->close();
                encoder_ = std::move(replacement);
                converted_ = false;
                encoder_info_ = info;
                store_last_encoder_info(info);
                return true;  // frame_seq is still 0: the next pass starts with an IDR
            }
            log("[encoder] software fallback could not be created: %s", error.c_str());
        }
        return false;
    }
    if (out.size == 0) return true;  // nothing to send; the encoder still owes the IDR it was asked for
    const size_t fragments = std::max<size_t>(1, (out.size + kPipelineFragmentPayload - 1) / kPipelineFragmentPayload);
    if (fragments > kPipelineMaxFragments) {
        session_log(sid, "frame of %zu bytes does not fit in 65535 fragments", out.size);
        set_error("frame too large");
        return false;
    }
    FragmentFields fields;
    fields.session_id = sid;
    fields.frame_seq = seq;
    fields.capture_ms = image_us / kUsPerMs;
    fields.format = 1;
    fields.keyframe = out.keyframe;
    fields.fragment_count = static_cast<uint16_t>(fragments);
    send_fragments(fields, out.data, out.size, fragments);
    const uint64_t t = now_us();
    if (out.keyframe) {
        if (reason == "start") ++counters_.idr_start;
        else if (taken) ++counters_.idr_request;
        session_log(sid, "IDR frame_seq=%" PRIu32 " reason=%s size=%zu bytes, %zu fragments", seq,
                    reason.empty() ? "encoder" : reason.c_str(), out.size, fragments);
    } else if (taken || seq == 0) {
        session_log(sid, "warning: IDR was requested (%s) but frame_seq=%" PRIu32 " is not a keyframe", reason.c_str(),
                    seq);
    }

    FrameRecord r;
    r.frame_seq = seq;
    r.keyframe = out.keyframe ? 1 : 0;
    r.bytes = static_cast<uint32_t>(out.size);
    r.fragments = static_cast<uint32_t>(fragments);
    r.acquire_to_sent_ms = t > acquire_us ? ms_of(t - acquire_us) : 0.0;
    r.encode_ms = out.encode_ms;
    if (records_.size() < kSampleWindow) {
        records_.push_back(r);
        records_next_ = records_.size() % kSampleWindow;
    } else {
        records_[records_next_] = r;
        records_next_ = (records_next_ + 1) % kSampleWindow;
    }
    ++counters_.frames_recorded;
    acquire_to_sent_.add(r.acquire_to_sent_ms);
    encode_ms_.add(r.encode_ms);
    frame_kib_.add(static_cast<double>(r.bytes) / 1024.0);
    frame_seq_.store(seq + 1);
    sent_.fetch_add(1);
    return true;
}

void VideoPipeline::count_send_failure() {
    ++counters_.send_failures;
    send_fail_.fetch_add(1);
}

void VideoPipeline::send_fragments(FragmentFields& fields, const uint8_t* data, size_t size, size_t fragments) {
    auto piece = [&](size_t i) {
        const size_t begin = i * kPipelineFragmentPayload;
        return proto::ByteView(data + begin, std::min(size, begin + kPipelineFragmentPayload) - begin);
    };
    if (!batch_sender_) {
        for (size_t i = 0; i < fragments; ++i) {
            fields.fragment_index = static_cast<uint16_t>(i);
            const bool ok = sealer_(fields, piece(i), datagram_) && sender_ &&
                            sender_(proto::ByteView(datagram_.data(), datagram_.size()));
            if (!ok) count_send_failure();
        }
        return;
    }
    size_t pending = 0;
    auto flush = [&] {
        if (pending == 0) return;
        for (size_t k = 0; k < pending; ++k) batch_sent_[k] = false;
        batch_sender_(batch_views_.data(), pending, batch_sent_);
        for (size_t k = 0; k < pending; ++k) {
            if (!batch_sent_[k]) count_send_failure();
        }
        pending = 0;
    };
    for (size_t i = 0; i < fragments; ++i) {
        fields.fragment_index = static_cast<uint16_t>(i);
        proto::Bytes& d = batch_[pending];
        if (!sealer_(fields, piece(i), d)) {
            count_send_failure();
            continue;
        }
        batch_views_[pending++] = proto::ByteView(d.data(), d.size());
        if (pending == kPipelineSendBatch) flush();
    }
    flush();
}

void VideoPipeline::write_stall_note(const std::string& key, const std::string& text) {
    // Stored time stamps are UTC, in the settings store's own form.
    const std::string stamp = platform::utc_stamp(platform::utc_civil(env_.clock.wall_ms()));
    settings_set(key, stamp + " | session " + std::to_string(config_.session_id) + " | " + text);
}

void VideoPipeline::stop() {
    if (stopped_.load() && !thread_.joinable()) return;
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (stopped_.exchange(true)) return;
    write_summary();
    if (encoder_) encoder_->close();
    if (capture_) capture_->close();
}

std::vector<FrameRecord> VideoPipeline::frame_records() const {
    std::vector<FrameRecord> out;
    const size_t n = records_.size();
    const size_t first = n < kSampleWindow ? 0 : records_next_;
    out.reserve(n);
    for (size_t j = 0; j < n; ++j) out.push_back(records_[(first + j) % n]);
    return out;
}

void VideoPipeline::write_summary() {
    const uint32_t sid = config_.session_id;
    const LoopCounters& c = counters_;
    session_log(sid,
                "summary: %zu frames sent, IDR start=%" PRIu32 " request=%" PRIu32 " coalesced=%" PRIu32
                ", send failures=%" PRIu32 ", pointer updates=%" PRIu32 ", shape changes=%" PRIu32
                ", cursor draws=%" PRIu32 ", capture losses=%" PRIu32,
                static_cast<size_t>(c.frames_recorded), c.idr_start, c.idr_request, c.coalesced, c.send_failures,
                c.pointer_updates, c.shape_changes, c.cursor_draws, c.capture_losses);
    if (c.vibrance_frames != 0) session_log(sid, "renk canliligi uygulanan kare: %" PRIu32, c.vibrance_frames);
    const SampleSeries& a = acquire_to_sent_;
    session_log(sid, "acquire->last datagram sent (ms): avg=%.2f p50=%.2f p95=%.2f max=%.2f", a.mean(),
                a.percentile(0.5), a.percentile(0.95), a.max());
    const std::string adapter = encoder_ ? encoder_->info().adapter : std::string();
    session_log(sid, "encoder: %s%s%s", encoder_info_.name.c_str(), adapter.empty() ? "" : " on ",
                ascii_only(adapter).c_str());
    const SampleSeries& e = encode_ms_;
    session_log(sid, "encode time (ms): avg=%.2f p50=%.2f p95=%.2f max=%.2f", e.mean(), e.percentile(0.5),
                e.percentile(0.95), e.max());
    const std::string stages = encoder_ ? encoder_->stage_summary() : std::string();
    if (!stages.empty()) session_log(sid, "encoder stages: %s", stages.c_str());
    const SampleSeries& k = frame_kib_;
    session_log(sid, "frame size (KiB): avg=%.1f p50=%.1f p95=%.1f max=%.1f", k.mean(), k.percentile(0.5),
                k.percentile(0.95), k.max());
    if (!config_.frame_log_path.empty()) {
        std::string csv = "frame_seq,keyframe,bytes,fragments,acquire_to_sent_ms,encode_ms\n";
        for (const FrameRecord& r : frame_records()) {
            csv += format_text("%" PRIu32 ",%d,%" PRIu32 ",%" PRIu32 ",%.3f,%.3f\n", r.frame_seq, r.keyframe, r.bytes,
                               r.fragments, r.acquire_to_sent_ms, r.encode_ms);
        }
        if (platform::write_file_atomic(config_.frame_log_path, csv).ok()) {
            session_log(sid, "per-frame log: %s", ascii_only(config_.frame_log_path).c_str());
        }
    }
}

}  // namespace sorvane
