// Decoding input must not allocate beyond the message's own text, and the
// frame reader must not allocate once its buffer has grown to working size.
// Runs as its own program: it replaces the global operator new to count.

#include <gtest/gtest.h>


#include "host/protocol/control_messages.h"
#include "host/protocol/frame_reader.h"
#include "host/protocol/input_messages.h"
#include "tests/support/allocation_counter.h"

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

    const uint64_t before = test::allocation_count();
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
    EXPECT_EQ(test::allocation_count() - before, texts);
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
    const uint64_t before = test::allocation_count();
    for (int i = 0; i < 100; ++i) pass();
    EXPECT_EQ(test::allocation_count() - before, 0u);
}

}  // namespace
}  // namespace sorvane::proto
