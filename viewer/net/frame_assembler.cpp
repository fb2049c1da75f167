#include "viewer/net/frame_assembler.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>

namespace sorvane::viewer {

namespace {

constexpr size_t kResolvedKept = 4096;

int64_t saturating_add(int64_t a, int64_t b) {
    if (b > 0 && a > std::numeric_limits<int64_t>::max() - b) return std::numeric_limits<int64_t>::max();
    if (b < 0 && a < std::numeric_limits<int64_t>::min() - b) return std::numeric_limits<int64_t>::min();
    return a + b;
}

}  // namespace

int64_t frame_latency_ms(uint64_t now_ms, int64_t clock_offset_ms, uint64_t capture_ms) {
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    int64_t difference = 0;
    if (now_ms >= capture_ms) {
        const uint64_t d = now_ms - capture_ms;
        difference = d > kMax ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(d);
    } else {
        const uint64_t d = capture_ms - now_ms;
        difference = d > kMax ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(d);
    }
    return saturating_add(difference, clock_offset_ms);
}

void FrameAssembler::resolve(uint32_t frame_seq, bool complete) {
    resolved_[frame_seq] = complete;
    while (resolved_.size() > kResolvedKept) resolved_.erase(resolved_.begin());
}

void FrameAssembler::give_up(std::map<uint32_t, Partial>::iterator it) {
    ++stats_.frames_incomplete;
    pending_bytes_ -= it->second.footprint();
    resolve(it->first, false);
    pending_.erase(it);
}

bool FrameAssembler::make_room(size_t extra, uint32_t keep) {
    auto it = pending_.begin();
    while (pending_bytes_ + extra > options_.max_pending_bytes && it != pending_.end()) {
        if (it->first == keep) {
            ++it;
            continue;
        }
        auto next = std::next(it);
        give_up(it);
        it = next;
    }
    return pending_bytes_ + extra <= options_.max_pending_bytes;
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
        if (pending_.size() >= options_.max_pending_frames) give_up(pending_.begin());
        Partial p;
        p.first_ms = now_ms;
        p.capture_ms = h.capture_ms;
        p.keyframe = h.keyframe == 1;
        p.count = h.count;
        it = pending_.emplace(h.frame_seq, std::move(p)).first;
    }
    Partial& p = it->second;
    if (p.count != h.count || p.capture_ms != h.capture_ms || p.keyframe != (h.keyframe == 1)) {
        ++stats_.malformed;
        return true;
    }
    if (p.slot_of.count(h.index) != 0) {
        ++stats_.duplicates;
        return true;
    }
    if (!make_room(kLargestPiece + kPieceBookkeeping, h.frame_seq)) {
        // This frame alone is more than the budget: it cannot be kept.
        give_up(it);
        return true;
    }
    const uint16_t slot = p.received;
    p.slots.resize((size_t{slot} + 1) * kLargestPiece);
    pending_bytes_ += kLargestPiece + kPieceBookkeeping;
    std::memcpy(p.slots.data() + size_t{slot} * kLargestPiece, scratch_.data(), piece);
    p.slot_of.emplace(h.index, slot);
    ++p.received;
    if (last) p.last_size = piece;
    if (p.received < p.count) return true;

    ReceivedFrame f;
    f.frame_seq = h.frame_seq;
    f.capture_ms = p.capture_ms;
    f.keyframe = p.keyframe;
    f.data.resize(static_cast<size_t>(p.count - 1) * kLargestPiece + p.last_size);
    for (size_t i = 0; i < p.count; ++i) {
        const size_t size = i + 1 == p.count ? p.last_size : kLargestPiece;
        const size_t from = p.slot_of.at(static_cast<uint16_t>(i));
        if (size > 0) std::memcpy(f.data.data() + i * kLargestPiece, p.slots.data() + from * kLargestPiece, size);
    }
    f.latency_ms = frame_latency_ms(now_ms, options_.clock_offset_ms, p.capture_ms);
    pending_bytes_ -= p.footprint();
    pending_.erase(it);
    resolve(f.frame_seq, true);

    if (stats_.frames_complete == 0) {
        stats_.latency_min_ms = stats_.latency_max_ms = f.latency_ms;
    } else {
        stats_.latency_min_ms = std::min(stats_.latency_min_ms, f.latency_ms);
        stats_.latency_max_ms = std::max(stats_.latency_max_ms, f.latency_ms);
    }
    latency_sum_ += static_cast<double>(f.latency_ms);
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
            auto next = std::next(it);
            give_up(it);
            it = next;
        } else {
            ++it;
        }
    }
}

ReceiverStats FrameAssembler::stats() const {
    ReceiverStats s = stats_;
    if (s.frames_complete > 0) s.latency_avg_ms = latency_sum_ / static_cast<double>(s.frames_complete);
    if (lowest_seen_ && highest_seen_) {
        const uint64_t span = uint64_t{*highest_seen_} - *lowest_seen_ + 1;
        const uint64_t accounted = s.frames_complete + s.frames_incomplete + pending_.size();
        s.frames_missing = span > accounted ? span - accounted : 0;
    }
    return s;
}

}  // namespace sorvane::viewer
