// The encoder interface every session's video goes through, its
// configuration and self-description records, the per-stage timing summary
// and the process-wide record of the last encoder chosen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/texture.h"

namespace sorvane {

struct EncodeConfig {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t fps = 0;
    // The capture device; the encoder's input texture lives on it.
    const platform::GpuDevice* device = nullptr;
    uint32_t bitrate = 0;  // bits per second
    uint32_t gop = 0;      // key-frame interval in frames; 0: an IDR only on request
};

enum class EncoderInfoKind : uint8_t { nvenc = 0, mf_hardware = 1, mf_software = 2 };

struct EncoderInfo {
    EncoderInfoKind kind = EncoderInfoKind::mf_software;
    std::string name;
    std::string adapter;  // UTF-8; empty when unknown
    bool hardware = false;
    bool cross_adapter = false;
};

struct EncodedFrame {
    const uint8_t* data = nullptr;  // Annex-B access unit, valid until the next encode_frame
    size_t size = 0;                // 0: nothing was produced for this input
    bool keyframe = false;
    double encode_ms = 0.0;
};

class IEncoder {
public:
    virtual ~IEncoder() = default;
    // Closes whatever was open and clears the last error first; on failure
    // closes again and keeps the failure text.
    virtual bool init(const EncodeConfig& config) = 0;
    // Copies a BGRA texture of the configured size into the input texture.
    virtual bool copy_input(const platform::CpuTexture* texture) = 0;
    virtual bool encode_frame(EncodedFrame& out) = 0;
    virtual void request_keyframe() = 0;
    virtual void close() = 0;
    virtual const std::string& last_error() const = 0;
    virtual platform::CpuTexture* input_texture() = 0;
    virtual EncoderInfo info() const = 0;
    virtual std::string stage_summary() const = 0;

    // An encoder that converts on the CPU can take the image straight from
    // the caller, with no copy into its input texture: encode_image converts
    // and encodes a BGRA image of the configured size as copy_input and
    // encode_frame would. Only when takes_image() says so.
    virtual bool takes_image() const { return false; }
    virtual bool encode_image(const platform::CpuTexture& image, EncodedFrame& out) {
        (void)image;
        (void)out;
        return false;
    }
    // Such an encoder also lets the caller's own pass over a new image convert
    // it a run of rows at a time, while the rows are still in the cache:
    // convert_rows takes rows [first, end) (first even; runs may come from two
    // threads at once), and encode_converted encodes that image, converting
    // again only rows [redo_first, redo_end) (say, where the pointer was drawn
    // since). False where the encoder cannot.
    virtual bool convert_rows(const platform::CpuTexture& image, uint32_t first, uint32_t end) {
        (void)image;
        (void)first;
        (void)end;
        return false;
    }
    virtual bool encode_converted(const platform::CpuTexture& image, uint32_t redo_first, uint32_t redo_end,
                                  EncodedFrame& out) {
        (void)redo_first;
        (void)redo_end;
        return encode_image(image, out);
    }
};

// The value at the nearest position ceiling(n x q) (1-based, clamped to 1..n)
// of ascending samples; 0 for none.
double nearest_rank_percentile(const std::vector<double>& ascending, double q);

// A series of samples for a summary: count, sum and maximum of every sample,
// percentiles over the newest kSampleWindow (bounded memory, however long a
// stream runs).
inline constexpr size_t kSampleWindow = 16384;

class SampleSeries {
public:
    void add(double v);
    size_t count() const { return count_; }
    double sum() const { return sum_; }
    double mean() const { return count_ == 0 ? 0.0 : sum_ / static_cast<double>(count_); }
    double max() const { return max_; }
    double percentile(double q) const;

private:
    std::vector<double> ring_;
    size_t next_ = 0;
    size_t count_ = 0;
    double sum_ = 0, max_ = 0;
};

// The samples of every named stage, in milliseconds.
class StageTimings {
public:
    void add(const std::string& stage, double ms);
    // "%s avg %.2f p95 %.2f max %.2f ms" per non-empty stage, joined by ", ",
    // in the order the stages were first timed.
    std::string summary() const;
    const SampleSeries* series(const std::string& stage) const;
    void clear();

private:
    std::vector<std::pair<std::string, SampleSeries>> stages_;
};

// A number with a fixed count of decimals and a '.' whatever the locale ("%.2f").
std::string fixed_text(double value, unsigned digits);

// The last encoder chosen, kept for the panel and the problem report.
bool last_encoder_info(EncoderInfo& out);
void store_last_encoder_info(const EncoderInfo& info);

// "copy_input: source is %ux%u format %u, encoder was configured for %ux%u BGRA8".
std::string copy_input_mismatch_text(const platform::CpuTexture& source, uint32_t width, uint32_t height);

}  // namespace sorvane
