#include "host/media/encoder.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>

namespace sorvane {

std::string fixed_text(double value, unsigned digits) {
    uint64_t scale = 1;
    for (unsigned i = 0; i < digits; ++i) scale *= 10;
    bool negative = value < 0;
    double mag = negative ? -value : value;
    uint64_t scaled = static_cast<uint64_t>(std::llround(mag * static_cast<double>(scale)));
    std::string out = negative && scaled != 0 ? "-" : "";
    out += std::to_string(scaled / scale);
    if (digits > 0) {
        std::string frac = std::to_string(scaled % scale);
        out += '.';
        out.append(digits - frac.size(), '0');
        out += frac;
    }
    return out;
}

double nearest_rank_percentile(const std::vector<double>& ascending, double q) {
    if (ascending.empty()) return 0.0;
    double pos = std::ceil(static_cast<double>(ascending.size()) * q);
    size_t n = pos < 1.0 ? 1 : static_cast<size_t>(pos);
    n = std::min(n, ascending.size());
    return ascending[n - 1];
}

void SampleSeries::add(double v) {
    if (ring_.size() < kSampleWindow) {
        ring_.push_back(v);
    } else {
        ring_[next_] = v;
        next_ = (next_ + 1) % kSampleWindow;
    }
    ++count_;
    sum_ += v;
    if (count_ == 1 || v > max_) max_ = v;
}

double SampleSeries::percentile(double q) const {
    std::vector<double> sorted = ring_;
    std::sort(sorted.begin(), sorted.end());
    return nearest_rank_percentile(sorted, q);
}

void StageTimings::add(const std::string& stage, double ms) {
    for (auto& s : stages_) {
        if (s.first == stage) {
            s.second.add(ms);
            return;
        }
    }
    stages_.emplace_back(stage, SampleSeries{});
    stages_.back().second.add(ms);
}

const SampleSeries* StageTimings::series(const std::string& stage) const {
    for (const auto& s : stages_) {
        if (s.first == stage) return &s.second;
    }
    return nullptr;
}

void StageTimings::clear() { stages_.clear(); }

std::string StageTimings::summary() const {
    std::string out;
    for (const auto& [name, series] : stages_) {
        if (series.count() == 0) continue;
        char buf[160];
        std::snprintf(buf, sizeof buf, "%s avg %s p95 %s max %s ms", name.c_str(), fixed_text(series.mean(), 2).c_str(),
                      fixed_text(series.percentile(0.95), 2).c_str(), fixed_text(series.max(), 2).c_str());
        if (!out.empty()) out += ", ";
        out += buf;
    }
    return out;
}

namespace {
std::mutex g_last_mutex;
std::optional<EncoderInfo> g_last_info;
}  // namespace

bool last_encoder_info(EncoderInfo& out) {
    std::lock_guard lock(g_last_mutex);
    if (!g_last_info) return false;
    out = *g_last_info;
    return true;
}

void store_last_encoder_info(const EncoderInfo& info) {
    std::lock_guard lock(g_last_mutex);
    g_last_info = info;
}

std::string copy_input_mismatch_text(const platform::CpuTexture& source, uint32_t width, uint32_t height) {
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  "copy_input: source is %" PRIu32 "x%" PRIu32 " format %" PRIu32
                  ", encoder was configured for %" PRIu32 "x%" PRIu32 " BGRA8",
                  source.width, source.height, source.format, width, height);
    return buf;
}

}  // namespace sorvane
