// Reassembly of video frames from sealed fragments on the viewer's side:
// every datagram is checked (type, session, header sense, GCM tag) before it
// counts; frames are delivered whole, and frames that stay incomplete past a
// bound are given up. The counters say what the network and the host did.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <unordered_map>
#include <vector>

#include "viewer/net/video_crypto.h"

namespace sorvane::viewer {

struct ReceivedFrame {
    uint32_t frame_seq = 0;
    uint64_t capture_ms = 0;
    bool keyframe = false;
    std::vector<uint8_t> data;
    // Local arrival minus capture, in the host's clock (see clock_offset_ms).
    int64_t latency_ms = 0;
};

struct ReceiverStats {
    uint64_t datagrams = 0;       // every datagram looked at
    uint64_t other_session = 0;   // fragments of another session
    uint64_t malformed = 0;       // not a fragment, or a header that makes no sense
    uint64_t tag_failures = 0;    // the GCM check failed
    uint64_t duplicates = 0;      // a fragment that had already arrived
    uint64_t late = 0;            // a fragment of a frame already delivered or given up
    uint64_t frames_complete = 0;
    uint64_t keyframes = 0;
    uint64_t frames_incomplete = 0;  // given up with fragments missing
    uint64_t frames_missing = 0;     // frame numbers of which nothing arrived
    uint64_t bytes = 0;              // plaintext bytes of complete frames
    std::optional<uint32_t> last_complete_frame_seq;
    int64_t latency_min_ms = 0;
    int64_t latency_max_ms = 0;
    double latency_avg_ms = 0;
};

struct AssemblerOptions {
    uint32_t session_id = 0;
    // An incomplete frame is given up this long after its first fragment.
    uint64_t incomplete_timeout_ms = 500;
    // At most this many frames wait for fragments; the oldest is given up.
    size_t max_pending_frames = 32;
    // The host's clock minus the local one (0 when both are the same clock).
    int64_t clock_offset_ms = 0;
    // Bytes all waiting frames may hold together; the oldest frames are given
    // up to stay below it. A frame is stored as its pieces arrive, so a
    // header that claims many pieces costs nothing until they come.
    size_t max_pending_bytes = 64u * 1024 * 1024;
};

// now + clock offset - capture, saturated at the limits of int64_t: a capture
// time comes from the host and may be anything.
int64_t frame_latency_ms(uint64_t now_ms, int64_t clock_offset_ms, uint64_t capture_ms);

class FrameAssembler {
public:
    // What the budget counts for keeping track of one piece besides its bytes.
    static constexpr size_t kPieceBookkeeping = 32;

    FrameAssembler(VideoCrypto& crypto, const AssemblerOptions& options) : crypto_(crypto), options_(options) {}

    // Looks at one datagram; frames it completes are appended to done.
    // Returns true when the datagram was an authentic fragment.
    bool feed(const uint8_t* data, size_t n, uint64_t now_ms, std::vector<ReceivedFrame>& done);
    // Gives up frames incomplete for longer than the bound.
    void expire(uint64_t now_ms);

    ReceiverStats stats() const;
    // Bytes the waiting frames hold.
    size_t pending_bytes() const { return pending_bytes_; }
    size_t pending() const { return pending_.size(); }

private:
    struct Partial {
        uint64_t first_ms = 0;
        uint64_t capture_ms = 0;
        bool keyframe = false;
        uint16_t count = 0;
        uint16_t received = 0;
        size_t last_size = 0;
        // Pieces in arrival order, one kLargestPiece slot each, and the slot
        // of each piece index that arrived: a frame costs what came of it,
        // whatever count its header claims.
        std::vector<uint8_t> slots;
        std::unordered_map<uint16_t, uint16_t> slot_of;
        size_t footprint() const { return slots.size() + slot_of.size() * kPieceBookkeeping; }
    };

    void resolve(uint32_t frame_seq, bool complete);
    // Gives up waiting frames, oldest first, other than keep, until extra
    // more bytes fit the budget. False when they cannot fit even then.
    bool make_room(size_t extra, uint32_t keep);
    void give_up(std::map<uint32_t, Partial>::iterator it);

    VideoCrypto& crypto_;
    AssemblerOptions options_;
    std::map<uint32_t, Partial> pending_;
    // Frames delivered (true) or given up (false) lately, to tell late and
    // duplicate fragments apart from new frames.
    std::map<uint32_t, bool> resolved_;
    ReceiverStats stats_;
    std::optional<uint32_t> lowest_seen_;
    std::optional<uint32_t> highest_seen_;
    size_t pending_bytes_ = 0;
    // A double: the latencies of a hostile host's frames can be anything.
    double latency_sum_ = 0;
    std::vector<uint8_t> scratch_ = std::vector<uint8_t>(kLargestPiece);
};

}  // namespace sorvane::viewer
