// Random and mutated payloads through every decoder and the dump. Under the
// sanitizers any out-of-bounds read or overflow aborts the run. Decoded
// messages must also re-encode to bytes that decode to the same bytes again.

#include <gtest/gtest.h>

#include <random>

#include "host/protocol/frame_reader.h"
#include "tests/host/protocol/samples.h"
#include "viewer/protocol/frame_dump.h"
#include "viewer/protocol/raw_frame.h"

namespace sorvane::proto {
namespace {

struct Seed {
    uint8_t type;
    Bytes payload;
};

template <class Variant>
void add_seeds(const std::vector<Variant>& samples, std::vector<Seed>& seeds) {
    for (const auto& m : samples) {
        Bytes frame;
        ASSERT_TRUE(std::visit([&](const auto& x) { return encode_message(x, frame); }, m));
        seeds.push_back(Seed{message_type(m), Bytes(frame.begin() + kFrameHeaderSize, frame.end())});
    }
}

// One of several kinds of damage.
Bytes mutate(const Bytes& in, std::mt19937& rng) {
    Bytes p = in;
    const auto pick = [&](size_t n) { return n == 0 ? size_t{0} : static_cast<size_t>(rng() % n); };
    switch (rng() % 7) {
        case 0:  // flip a few bytes
            for (int i = 0, n = 1 + int(rng() % 4); i < n && !p.empty(); ++i) p[pick(p.size())] ^= uint8_t(1 + rng() % 255);
            break;
        case 1:  // cut
            p.resize(pick(p.size() + 1));
            break;
        case 2:  // extreme bytes where counts and sizes live
            for (int i = 0, n = 1 + int(rng() % 3); i < n && !p.empty(); ++i) p[pick(p.size())] = (rng() & 1) ? 0xFF : 0x00;
            break;
        case 3: {  // a random tail entry, often lying about its size
            const viewer::RawPayload value = viewer::RawPayload().raw(Bytes(pick(12), uint8_t(rng())));
            viewer::RawPayload tail(p);
            if (rng() & 1) {
                tail.tail(uint8_t(pick(14)), value);
            } else {
                tail.tail_claiming(uint8_t(pick(14)), uint16_t(rng()), value);
            }
            p = tail.bytes();
            break;
        }
        case 4:  // random junk appended
            for (size_t i = 0, n = pick(8); i < n; ++i) p.push_back(uint8_t(rng()));
            break;
        case 5:  // a slice duplicated
            if (!p.empty()) {
                const size_t from = pick(p.size());
                const size_t len = pick(p.size() - from + 1);
                p.insert(p.begin() + std::ptrdiff_t(pick(p.size() + 1)), in.begin() + std::ptrdiff_t(from),
                         in.begin() + std::ptrdiff_t(std::min(in.size(), from + len)));
            }
            break;
        default:  // entirely random
            p.resize(pick(48));
            for (auto& b : p) b = uint8_t(rng());
    }
    return p;
}

// Decoded messages re-encode, and that encoding is a fixed point.
template <class Variant, class Decode>
void check_stable(const Decoded<Variant>& d, Decode decode) {
    if (!d.ok()) return;
    Bytes once;
    ASSERT_TRUE(std::visit([&](const auto& x) { return encode_message(x, once); }, d.message));
    const auto again = decode(once[kFrameHeaderSize - 1], ByteView(once).subspan(kFrameHeaderSize));
    ASSERT_TRUE(again.ok());
    Bytes twice;
    ASSERT_TRUE(std::visit([&](const auto& x) { return encode_message(x, twice); }, again.message));
    ASSERT_EQ(once, twice);
}

TEST(Robustness, RandomAndMutatedPayloadsThroughEveryDecoder) {
    std::vector<Seed> seeds;
    add_seeds(test::control_samples(), seeds);
    add_seeds(test::input_samples(), seeds);
    add_seeds(test::pairing_samples(), seeds);
    std::mt19937 rng(7);
    size_t decoded_ok = 0;
    for (int i = 0; i < 30'000; ++i) {
        const Seed& seed = seeds[rng() % seeds.size()];
        const Bytes p = mutate(seed.payload, rng);
        const uint8_t type = (rng() % 8 == 0) ? uint8_t(rng() % 16) : seed.type;

        const auto c = decode_control(type, p);
        check_stable(c, decode_control);
        const auto in = decode_input(type, p);
        check_stable(in, decode_input);
        const auto pr = decode_pairing(type, p);
        check_stable(pr, decode_pairing);
        decoded_ok += c.ok() + in.ok() + pr.ok();

        if (i % 4 == 0) {
            for (auto conn : {viewer::Connection::control, viewer::Connection::input, viewer::Connection::pairing}) {
                const std::string line = viewer::describe_frame(conn, type, p);
                ASSERT_FALSE(line.empty());
                ASSERT_EQ(line.find('\n'), std::string::npos);
            }
        }
    }
    // The mutations must leave a fair share decodable, or they test nothing but the first check.
    EXPECT_GT(decoded_ok, 5'000u);
}

TEST(Robustness, RandomStreamsThroughTheFrameReader) {
    std::mt19937 rng(11);
    for (int round = 0; round < 300; ++round) {
        Bytes stream;
        for (int f = 0, n = 1 + int(rng() % 20); f < n; ++f) {
            const Bytes payload = mutate(Bytes(rng() % 40, uint8_t(rng())), rng);
            const Bytes frame = viewer::RawPayload(payload).frame(uint8_t(rng() % 14));
            stream.insert(stream.end(), frame.begin(), frame.end());
        }
        // Now and then damage the stream itself, lengths included.
        if (rng() % 3 == 0) stream = mutate(stream, rng);
        FrameReader reader;
        viewer::StreamDumper dumper(viewer::Connection::control);
        std::string lines;
        size_t at = 0;
        while (at < stream.size()) {
            const size_t n = std::min(stream.size() - at, size_t(1 + rng() % 64));
            const ByteView piece(stream.data() + at, n);
            at += n;
            reader.append(piece);
            dumper.feed(piece, lines);
            for (;;) {
                const auto r = reader.next();
                if (r.status != FrameReader::Status::frame) break;
                decode_control(r.type, r.payload);
                decode_input(r.type, r.payload);
            }
        }
        EXPECT_LE(reader.buffered(), stream.size());
    }
}

}  // namespace
}  // namespace sorvane::proto
