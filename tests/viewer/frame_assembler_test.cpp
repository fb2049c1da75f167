// The reference viewer's reassembly, fed with fragments sealed by the host's
// code: order, loss, duplication and forgery as a network and an attacker
// produce them.
#include "viewer/net/frame_assembler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "host/net/video_datagram.h"
#include "viewer/net/video_receiver.h"

namespace sorvane {
namespace {

struct AssemblerFixture : ::testing::Test {
    viewer::VideoKey key{};
    std::unique_ptr<VideoCipher> host;
    std::unique_ptr<viewer::VideoCrypto> crypto;
    std::unique_ptr<viewer::FrameAssembler> assembler;
    std::vector<viewer::ReceivedFrame> done;

    void SetUp() override {
        for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0xA0 + i);
        host = VideoCipher::create(key.data());
        std::string error;
        crypto = viewer::VideoCrypto::create(key, error);
        viewer::AssemblerOptions o;
        o.session_id = 3;
        o.incomplete_timeout_ms = 500;
        assembler = std::make_unique<viewer::FrameAssembler>(*crypto, o);
    }

    static proto::Bytes frame_bytes(size_t n, uint8_t seed) {
        proto::Bytes f(n);
        for (size_t i = 0; i < n; ++i) f[i] = static_cast<uint8_t>(seed + i * 31);
        return f;
    }

    std::vector<proto::Bytes> seal(uint32_t seq, const proto::Bytes& frame, uint64_t capture = 100,
                                   uint32_t session = 3) {
        std::vector<proto::Bytes> out;
        FrameSealer sealer;
        uint32_t sent = 0;
        sealer.send_frame(*host, session, seq, capture, seq % 10 == 0, frame,
                          [&](proto::ByteView d) {
                              out.emplace_back(d.begin(), d.end());
                              return true;
                          },
                          sent);
        return out;
    }

    bool feed(const proto::Bytes& d, uint64_t now = 1000) { return assembler->feed(d.data(), d.size(), now, done); }
};

TEST_F(AssemblerFixture, FramesArriveWholeWhateverTheOrder) {
    const proto::Bytes a = frame_bytes(5000, 1);
    const proto::Bytes b = frame_bytes(1361, 2);
    auto da = seal(10, a, 900);
    auto db = seal(11, b, 950);
    std::reverse(da.begin(), da.end());
    // Interleaved and reversed.
    EXPECT_TRUE(feed(da[0]));
    EXPECT_TRUE(feed(db[0]));
    for (size_t i = 1; i < da.size(); ++i) EXPECT_TRUE(feed(da[i], 1010));
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0].frame_seq, 11u);
    EXPECT_EQ(done[0].data, b);
    EXPECT_EQ(done[1].frame_seq, 10u);
    EXPECT_EQ(done[1].data, a);
    EXPECT_TRUE(done[1].keyframe);
    EXPECT_EQ(done[1].latency_ms, 110);
    const viewer::ReceiverStats s = assembler->stats();
    EXPECT_EQ(s.frames_complete, 2u);
    EXPECT_EQ(s.keyframes, 1u);
    EXPECT_EQ(s.bytes, a.size() + b.size());
    EXPECT_EQ(s.latency_min_ms, 50);
    EXPECT_EQ(s.latency_max_ms, 110);
    EXPECT_EQ(s.frames_missing, 0u);
}

TEST_F(AssemblerFixture, ForgeriesDuplicatesLossesAndStragglersAreCounted) {
    auto f1 = seal(1, frame_bytes(3000, 3));
    auto f2 = seal(2, frame_bytes(3000, 4));
    auto f5 = seal(5, frame_bytes(100, 5));
    auto other = seal(6, frame_bytes(100, 6), 100, 4);

    // A flipped ciphertext byte, a flipped header byte, a cut datagram, another session.
    proto::Bytes forged = f1[0];
    forged[30] ^= 0x80;
    EXPECT_FALSE(feed(forged));
    forged = f1[0];
    forged[10] ^= 0x01;
    EXPECT_FALSE(feed(forged));
    EXPECT_FALSE(feed(proto::Bytes(f1[0].begin(), f1[0].begin() + 38)));
    EXPECT_FALSE(feed(other[0]));

    // Frame 1 whole, then one of its fragments again.
    for (const auto& d : f1) feed(d);
    feed(f1[1]);
    // Frame 2 loses its last fragment but gets a duplicate of its first.
    feed(f2[0]);
    feed(f2[0]);
    feed(f2[1]);
    feed(f5[0]);
    assembler->expire(1400);
    EXPECT_EQ(assembler->pending(), 1u);
    assembler->expire(1501);
    EXPECT_EQ(assembler->pending(), 0u);
    // The missing piece arrives after the frame was given up.
    feed(f2[2], 1600);

    const viewer::ReceiverStats s = assembler->stats();
    EXPECT_EQ(s.tag_failures, 2u);
    EXPECT_EQ(s.malformed, 1u);
    EXPECT_EQ(s.other_session, 1u);
    EXPECT_EQ(s.duplicates, 2u);
    EXPECT_EQ(s.late, 1u);
    EXPECT_EQ(s.frames_complete, 2u);  // 1 and 5
    EXPECT_EQ(s.frames_incomplete, 1u);
    EXPECT_EQ(s.frames_missing, 2u);  // 3 and 4 never showed up
    EXPECT_EQ(s.last_complete_frame_seq, 5u);
    ASSERT_EQ(done.size(), 2u);
}

// A fragment with any header a hostile host may send, sealed with the session key.
proto::Bytes forge(VideoCipher& cipher, uint32_t seq, uint64_t capture, uint16_t index, uint16_t count, size_t piece) {
    VideoFragmentHeader h;
    h.session_id = 3;
    h.frame_seq = seq;
    h.capture_ms = capture;
    h.fragment_index = index;
    h.fragment_count = count;
    proto::Bytes d(kVideoFragmentHeaderSize + piece + kVideoTagSize);
    EXPECT_TRUE(encode_fragment_header(h, d.data()));
    const proto::Bytes plain(piece, 0x5A);
    EXPECT_TRUE(cipher.encrypt_fragment(seq, index, proto::ByteView(d.data(), kVideoFragmentHeaderSize), plain.data(),
                                        piece, d.data() + kVideoFragmentHeaderSize,
                                        d.data() + kVideoFragmentHeaderSize + piece));
    return d;
}

TEST_F(AssemblerFixture, WaitingFramesCostWhatArrivedWithinABudget) {
    // First fragments that claim 65,535 pieces each hold one piece, not 89 MB.
    const size_t piece_cost = 1361 + viewer::FrameAssembler::kPieceBookkeeping;
    for (uint32_t seq = 1; seq <= 32; ++seq) EXPECT_TRUE(feed(forge(*host, seq, 1, 0, 65535, 1361)));
    EXPECT_EQ(assembler->pending(), 32u);
    EXPECT_EQ(assembler->pending_bytes(), 32u * piece_cost);

    // With a budget of 16 KiB: a frame growing past what is left pushes older
    // frames out; one larger than the whole budget is given up itself.
    viewer::AssemblerOptions o;
    o.session_id = 3;
    o.max_pending_bytes = 16 * 1024;
    viewer::FrameAssembler small(*crypto, o);
    auto host2 = VideoCipher::create(key.data());
    auto put = [&](const proto::Bytes& d) { return small.feed(d.data(), d.size(), 1000, done); };
    for (uint16_t i = 0; i < 6; ++i) put(forge(*host2, 100, 1, i, 8, 1361));
    for (uint16_t i = 0; i < 8; ++i) put(forge(*host2, 101, 1, i, 8, i == 7 ? 10 : 1361));
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].frame_seq, 101u);
    EXPECT_EQ(done[0].data.size(), 7u * 1361 + 10);
    for (uint16_t i = 0; i < 13; ++i) put(forge(*host2, 102, 1, i, 20, 1361));
    EXPECT_EQ(small.pending(), 0u);
    EXPECT_EQ(small.pending_bytes(), 0u);
    EXPECT_EQ(small.stats().frames_incomplete, 2u);  // 100 pushed out, 102 too large
    EXPECT_EQ(small.stats().late, 1u);                // the piece of 102 after it was given up
}

TEST_F(AssemblerFixture, LatencyOfAnyCaptureTimeSaturates) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    struct Case {
        uint64_t now;
        int64_t offset;
        uint64_t capture;
        int64_t latency;
    };
    const Case cases[] = {
        {1000, 0, 900, 100},
        {1000, -50, 900, 50},
        {900, 0, 1000, -100},
        {1000, 0, (uint64_t{1} << 63) + 5, kMin + 995},
        {1000, 0, (uint64_t{1} << 63) + 5000, kMin},
        {~uint64_t{0}, 100, 0, kMax},
        {uint64_t{1} << 63, 0, 0, kMax},
        {0, kMin, 1, kMin},
        {0, 0, uint64_t{1} << 63, kMin},
    };
    for (const Case& c : cases) EXPECT_EQ(viewer::frame_latency_ms(c.now, c.offset, c.capture), c.latency);

    // Two frames whose latencies sit at the limits: min, max and mean stay defined.
    auto a = seal(1, frame_bytes(10, 1), (uint64_t{1} << 63) + 5);
    auto b = seal(2, frame_bytes(10, 2), 0);
    feed(a[0], 0);
    feed(b[0], ~uint64_t{0});
    const viewer::ReceiverStats s = assembler->stats();
    EXPECT_EQ(s.latency_max_ms, kMax);
    EXPECT_EQ(s.latency_min_ms, kMin);
    EXPECT_LT(std::abs(s.latency_avg_ms), 1e18);
}

TEST(HelloScheduleTest, QuickRetriesThenFastUntilVideoThenSlow) {
    viewer::HelloSchedule s;
    EXPECT_TRUE(s.due(1000));
    uint64_t t = 1000;
    // Gaps after each hello until video: 10, 20, 40, 80, 160, then 250.
    for (uint64_t gap : {10u, 20u, 40u, 80u, 160u, 250u, 250u}) {
        s.sent(t);
        EXPECT_FALSE(s.due(t + gap - 1)) << gap;
        EXPECT_EQ(s.wait_ms(t + 1), gap - 1);
        t += gap;
        EXPECT_TRUE(s.due(t)) << gap;
    }
    s.video_arrived();
    EXPECT_EQ(s.sent(t), 8u);
    EXPECT_FALSE(s.due(t + 999));
    EXPECT_TRUE(s.due(t + 1000));
}

}  // namespace
}  // namespace sorvane
