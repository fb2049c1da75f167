// Decoding input must not allocate beyond the message's own text, and the
// frame reader must not allocate once its buffer has grown to working size.
// Runs as its own program: it replaces the global operator new to count.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "host/protocol/control_messages.h"
#include "host/protocol/frame_reader.h"
#include "host/protocol/input_messages.h"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {
std::atomic<uint64_t> g_allocations{0};
}  // namespace

void* operator new(std::size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace sorvane::proto {
namespace {

TEST(Allocations, DecodingInputAllocatesOnlyForText) {
    Bytes stream;
    TouchFrame touch{1, 2, {}};
    for (uint8_t i = 0; i < 10; ++i) touch.points.push_back(TouchPoint{i, kTouchMove, 0.5f, 0.5f});
    const std::vector<InputMessage> messages = {
        PointerMove{1, 0.5f, 0.5f, 3}, ButtonEvent{1, 1, true, 0, 0}, KeyEvent{1, 4, true, 0},
        ScrollEvent{1, 1, -1, 0, 0},   touch,                          RelativeMove{1, 3, 4},
        MouseButton{1, 2, false},      TextInput{1, std::string(200, 't')}};
    for (int round = 0; round < 50; ++round) {
        for (const auto& m : messages) ASSERT_TRUE(encode_input(m, stream));
    }
    FrameReader reader;
    reader.append(stream);  // the one allocation of the buffer, before counting

    const uint64_t before = g_allocations.load();
    size_t frames = 0;
    size_t texts = 0;
    for (auto r = reader.next(); r.status == FrameReader::Status::frame; r = reader.next(), ++frames) {
        const auto d = decode_input(r.type, r.payload);
        ASSERT_TRUE(d.ok());
        texts += std::holds_alternative<TextInput>(d.message);
        const auto c = decode_control(Heartbeat::kType, r.payload);  // fixed fields only
        (void)c;
    }
    EXPECT_EQ(frames, 50 * messages.size());
    // One allocation per text (its 200 bytes do not fit in place), none otherwise.
    EXPECT_EQ(g_allocations.load() - before, texts);
}

TEST(Allocations, TheFrameReaderReusesItsBuffer) {
    Bytes chunk;
    while (chunk.size() < 16'000) encode_input(PointerMove{1, 0.5f, 0.5f, 3}, chunk);
    FrameReader reader;
    const auto pass = [&] {
        reader.append(chunk);
        while (reader.next().status == FrameReader::Status::frame) {
        }
    };
    pass();
    pass();
    const uint64_t before = g_allocations.load();
    for (int i = 0; i < 100; ++i) pass();
    EXPECT_EQ(g_allocations.load() - before, 0u);
}

}  // namespace
}  // namespace sorvane::proto
