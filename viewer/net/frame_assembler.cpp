#include "viewer/net/frame_assembler.h"

#include <algorithm>
#include <cstring>

namespace sorvane::viewer {

namespace {

constexpr size_t kResolvedKept = 4096;

}  // namespace

void FrameAssembler::resolve(uint32_t frame_seq, bool complete) {
    resolved_[frame_seq] = complete;
    while (resolved_.size() > kResolvedKept) resolved_.erase(resolved_.begin());
}

bool FrameAssembler::feed(const uint8_t* data, size_t n, uint64_t now_ms, std::vector<ReceivedFrame>& done) {
    ++stats_.datagrams;
    FragmentHeader h;
    if (!read_fragment_header(data, n, h) || h.type != 0x01) {
        ++stats_.malformed;
        return false;
    }
    if (h.session_id != options_.session_id) {
        ++stats_.other_session;
        return false;
    }
    const size_t piece = n - kFragmentHeaderBytes - kGcmTagBytes;
    if (h.format != 1 || h.keyframe > 1 || h.count == 0 || h.index >= h.count || piece > kLargestPiece) {
        ++stats_.malformed;
        return false;
    }
    if (!crypto_.open_fragment(data, n, h, scratch_.data())) {
        ++stats_.tag_failures;
        return false;
    }
    if (!lowest_seen_ || h.frame_seq < *lowest_seen_) lowest_seen_ = h.frame_seq;
    if (!highest_seen_ || h.frame_seq > *highest_seen_) highest_seen_ = h.frame_seq;

    if (const auto r = resolved_.find(h.frame_seq); r != resolved_.end()) {
        ++(r->second ? stats_.duplicates : stats_.late);
        return true;
    }
    // Every piece but the last is full; the last holds the rest.
    const bool last = h.index + 1 == h.count;
    if ((!last && piece != kLargestPiece) || (last && piece == 0 && h.count > 1)) {
        ++stats_.malformed;
        return true;
    }
    auto it = pending_.find(h.frame_seq);
    if (it == pending_.end()) {
        if (pending_.size() >= options_.max_pending_frames) {
            const uint32_t oldest = pending_.begin()->first;
            pending_.erase(pending_.begin());
            ++stats_.frames_incomplete;
            resolve(oldest, false);
        }
        Partial p;
        p.first_ms = now_ms;
        p.capture_ms = h.capture_ms;
        p.keyframe = h.keyframe == 1;
        p.count = h.count;
        p.data.resize(static_cast<size_t>(h.count) * kLargestPiece);
        p.have.assign(h.count, false);
        it = pending_.emplace(h.frame_seq, std::move(p)).first;
    }
    Partial& p = it->second;
    if (p.count != h.count || p.capture_ms != h.capture_ms || p.keyframe != (h.keyframe == 1)) {
        ++stats_.malformed;
        return true;
    }
    if (p.have[h.index]) {
        ++stats_.duplicates;
        return true;
    }
    p.have[h.index] = true;
    ++p.received;
    std::memcpy(p.data.data() + static_cast<size_t>(h.index) * kLargestPiece, scratch_.data(), piece);
    if (last) p.last_size = piece;
    if (p.received < p.count) return true;

    ReceivedFrame f;
    f.frame_seq = h.frame_seq;
    f.capture_ms = p.capture_ms;
    f.keyframe = p.keyframe;
    f.data = std::move(p.data);
    f.data.resize(static_cast<size_t>(p.count - 1) * kLargestPiece + p.last_size);
    f.latency_ms = static_cast<int64_t>(now_ms) + options_.clock_offset_ms - static_cast<int64_t>(p.capture_ms);
    pending_.erase(it);
    resolve(f.frame_seq, true);

    if (stats_.frames_complete == 0) {
        stats_.latency_min_ms = stats_.latency_max_ms = f.latency_ms;
    } else {
        stats_.latency_min_ms = std::min(stats_.latency_min_ms, f.latency_ms);
        stats_.latency_max_ms = std::max(stats_.latency_max_ms, f.latency_ms);
    }
    latency_sum_ += f.latency_ms;
    ++stats_.frames_complete;
    if (f.keyframe) ++stats_.keyframes;
    stats_.bytes += f.data.size();
    stats_.last_complete_frame_seq = f.frame_seq;
    done.push_back(std::move(f));
    return true;
}

void FrameAssembler::expire(uint64_t now_ms) {
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (now_ms - it->second.first_ms > options_.incomplete_timeout_ms) {
            ++stats_.frames_incomplete;
            resolve(it->first, false);
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
}

ReceiverStats FrameAssembler::stats() const {
    ReceiverStats s = stats_;
    if (s.frames_complete > 0) s.latency_avg_ms = static_cast<double>(latency_sum_) / static_cast<double>(s.frames_complete);
    if (lowest_seen_ && highest_seen_) {
        const uint64_t span = uint64_t{*highest_seen_} - *lowest_seen_ + 1;
        const uint64_t accounted = s.frames_complete + s.frames_incomplete + pending_.size();
        s.frames_missing = span > accounted ? span - accounted : 0;
    }
    return s;
}

}  // namespace sorvane::viewer
