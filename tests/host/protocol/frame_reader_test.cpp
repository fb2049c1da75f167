// The frame reader must give the same frames however the stream is split.

#include <gtest/gtest.h>

#include <random>

#include "host/protocol/frame_reader.h"
#include "viewer/protocol/raw_frame.h"

namespace sorvane::proto {
namespace {

using viewer::RawPayload;

struct Collected {
    std::vector<std::pair<uint8_t, Bytes>> frames;
    bool invalid = false;
};

// Feeds the stream in the given piece sizes, taking frames after every piece.
Collected feed(const Bytes& stream, const std::vector<size_t>& pieces) {
    Collected c;
    FrameReader reader;
    size_t at = 0;
    const auto drain = [&] {
        for (;;) {
            const auto r = reader.next();
            if (r.status == FrameReader::Status::need_more) return;
            if (r.status == FrameReader::Status::invalid) {
                c.invalid = true;
                return;
            }
            c.frames.emplace_back(r.type, Bytes(r.payload.begin(), r.payload.end()));
        }
    };
    for (size_t n : pieces) {
        n = std::min(n, stream.size() - at);
        reader.append(ByteView(stream.data() + at, n));
        at += n;
        drain();
    }
    EXPECT_EQ(at, stream.size());
    return c;
}

// Frames of many sizes: empty payloads, small ones, and several above 4 KiB.
std::vector<std::pair<uint8_t, Bytes>> sample_frames(std::mt19937& rng) {
    std::vector<std::pair<uint8_t, Bytes>> frames;
    const size_t sizes[] = {0, 1, 13, 4'095, 4'096, 4'097, 9'000, 70'000, 3, 16'384, 0, 200'000};
    for (size_t i = 0; i < std::size(sizes); ++i) {
        Bytes payload(sizes[i]);
        for (auto& b : payload) b = static_cast<uint8_t>(rng());
        frames.emplace_back(static_cast<uint8_t>(i * 37), std::move(payload));
    }
    return frames;
}

Bytes stream_of(const std::vector<std::pair<uint8_t, Bytes>>& frames) {
    Bytes stream;
    for (const auto& [type, payload] : frames) {
        const Bytes f = RawPayload(payload).frame(type);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    return stream;
}

TEST(FrameReader, SameFramesWholeByteByByteAndInRandomSplits) {
    std::mt19937 rng(20240611);
    const auto frames = sample_frames(rng);
    const Bytes stream = stream_of(frames);

    const Collected whole = feed(stream, {stream.size()});
    EXPECT_FALSE(whole.invalid);
    EXPECT_EQ(whole.frames, frames);

    // Byte by byte over the smaller frames (the large ones only add time).
    const auto small = std::vector<std::pair<uint8_t, Bytes>>(frames.begin(), frames.begin() + 7);
    const Bytes small_stream = stream_of(small);
    EXPECT_EQ(feed(small_stream, std::vector<size_t>(small_stream.size(), 1)).frames, small);

    for (int round = 0; round < 40; ++round) {
        std::vector<size_t> pieces;
        size_t total = 0;
        // Mix tiny pieces with large reads, as a TLS channel delivers them.
        std::uniform_int_distribution<size_t> tiny(1, 7), large(1, 20'000);
        while (total < stream.size()) {
            const size_t n = (rng() % 3 == 0) ? tiny(rng) : large(rng);
            pieces.push_back(n);
            total += n;
        }
        const Collected c = feed(stream, pieces);
        EXPECT_FALSE(c.invalid);
        ASSERT_EQ(c.frames, frames) << "round " << round;
    }
}

TEST(FrameReader, LengthsZeroAndAboveTheLimitAreInvalidForGood) {
    for (const Bytes& bad : {viewer::zero_length_frame(), viewer::oversized_length_frame(1),
                             RawPayload().frame_claiming(0xFFFFFFFF, 1)}) {
        FrameReader reader;
        const Bytes good = RawPayload().u32(7).frame(7);
        reader.append(good);
        reader.append(bad);
        ASSERT_EQ(reader.next().status, FrameReader::Status::frame);
        EXPECT_EQ(reader.next().status, FrameReader::Status::invalid);
        EXPECT_TRUE(reader.invalid());
        EXPECT_EQ(reader.invalid_length(), load_u32(bad.data()));
        reader.append(good);
        EXPECT_EQ(reader.next().status, FrameReader::Status::invalid);
        EXPECT_EQ(reader.buffered(), 0u);
    }
    // Decided from the length alone, before any more bytes arrive.
    FrameReader early;
    early.append(Bytes{0x00, 0x10, 0x00, 0x01});
    EXPECT_EQ(early.next().status, FrameReader::Status::invalid);
}

TEST(FrameReader, LengthOneIsAFrameWithAnEmptyPayloadAndTheLimitIsAccepted) {
    FrameReader reader;
    reader.append(Bytes{0, 0, 0, 1, 42});
    auto r = reader.next();
    ASSERT_EQ(r.status, FrameReader::Status::frame);
    EXPECT_EQ(r.type, 42);
    EXPECT_TRUE(r.payload.empty());

    Bytes max = RawPayload().raw(Bytes(kMaxFrameLength - 1, 0xEE)).frame(3);
    reader.append(max);
    r = reader.next();
    ASSERT_EQ(r.status, FrameReader::Status::frame);
    EXPECT_EQ(r.payload.size(), kMaxFrameLength - 1);
}

TEST(FrameReader, WaitsForTheWholeFrame) {
    FrameReader reader;
    const Bytes f = RawPayload().raw("hello").frame(5);
    reader.append(ByteView(f.data(), 3));
    EXPECT_EQ(reader.next().status, FrameReader::Status::need_more);
    reader.append(ByteView(f.data() + 3, f.size() - 4));
    EXPECT_EQ(reader.next().status, FrameReader::Status::need_more);
    EXPECT_EQ(reader.buffered(), f.size() - 1);
    reader.append(ByteView(f.data() + f.size() - 1, 1));
    const auto r = reader.next();
    ASSERT_EQ(r.status, FrameReader::Status::frame);
    EXPECT_EQ(std::string(r.payload.begin(), r.payload.end()), "hello");
    EXPECT_EQ(reader.next().status, FrameReader::Status::need_more);
}

}  // namespace
}  // namespace sorvane::proto
