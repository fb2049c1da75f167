// One thread reads a channel while several others write to it, as the
// transport does (its connection thread reads, sessions send).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/host/trust/tls_test_util.h"

namespace sorvane {
namespace {

constexpr int kWriters = 3;
constexpr uint32_t kMessagesPerWriter = 40;
// Sizes cycle through a small message, a mid-size one and one that spans
// two records, so writers interleave at every possible point.
constexpr size_t kSizes[] = {40, 3'000, 20'000};
constexpr size_t kUpstreamChunks = 150;
constexpr size_t kUpstreamChunk = 997;

std::string payload(uint32_t writer, uint32_t seq, size_t n) {
    std::string s(n, '\0');
    uint32_t x = writer * 7919u + seq * 104729u + 1;
    for (auto& c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

// [u32 length of the rest][u8 writer][u32 seq][payload]
std::string message(uint32_t writer, uint32_t seq) {
    const std::string body = payload(writer, seq, kSizes[seq % 3]);
    std::string m(9, '\0');
    const uint32_t len = static_cast<uint32_t>(5 + body.size());
    std::memcpy(&m[0], &len, 4);
    m[4] = static_cast<char>(writer);
    std::memcpy(&m[5], &seq, 4);
    return m + body;
}

TEST(ChannelConcurrency, OneReaderAndSeveralWritersShareAChannel) {
    test::TlsLogCapture log;
    test::HostIdentityFixture host;
    ASSERT_TRUE(host.identity.valid());
    auto clock = platform::make_system_clock();
    std::string error;
    auto viewer_identity = viewer::ViewerIdentity::create_ephemeral(host.clock, "Concurrency Viewer", error);
    ASSERT_NE(viewer_identity, nullptr) << error;

    test::OneConnectionServer server(host.identity, 20'000);
    viewer::TlsClient client(*clock);
    viewer::TlsClientOptions options;
    options.timeout_ms = 20'000;
    ASSERT_TRUE(client.connect(server.endpoint(), host.identity.fingerprint(), viewer_identity.get(), options))
        << client.last_error();
    ASSERT_TRUE(server.join());
    TlsChannel& channel = server.channel();

    // Server side: the reader gathers everything the client sends.
    std::string upstream_received;
    int64_t reader_end = 1;
    std::thread reader([&] {
        std::vector<char> buf(16384);
        int64_t r = 0;
        while ((r = channel.read(buf.data(), buf.size())) > 0)
            upstream_received.append(buf.data(), static_cast<size_t>(r));
        reader_end = r;
    });
    std::atomic<int> write_failures{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (uint32_t seq = 0; seq < kMessagesPerWriter; ++seq) {
                const std::string m = message(static_cast<uint32_t>(w), seq);
                if (!channel.write(m.data(), m.size())) write_failures++;
            }
        });
    }

    // Client side: one thread sends while this one reads.
    std::string upstream_sent;
    for (size_t i = 0; i < kUpstreamChunks; ++i) upstream_sent += payload(99, static_cast<uint32_t>(i), kUpstreamChunk);
    std::thread client_writer([&] {
        for (size_t i = 0; i < kUpstreamChunks; ++i)
            ASSERT_TRUE(client.write(upstream_sent.data() + i * kUpstreamChunk, kUpstreamChunk));
    });

    uint32_t next_seq[kWriters] = {};
    for (uint32_t n = 0; n < kWriters * kMessagesPerWriter; ++n) {
        uint32_t len = 0;
        ASSERT_TRUE(client.read_exact(&len, 4)) << client.last_error();
        ASSERT_GE(len, 5u);
        ASSERT_LE(len, 5u + 20'000u);
        std::string rest(len, '\0');
        ASSERT_TRUE(client.read_exact(rest.data(), rest.size())) << client.last_error();
        const uint32_t writer = static_cast<uint8_t>(rest[0]);
        uint32_t seq = 0;
        std::memcpy(&seq, &rest[1], 4);
        ASSERT_LT(writer, static_cast<uint32_t>(kWriters));
        // Each writer's messages arrive whole and in its own order.
        ASSERT_EQ(seq, next_seq[writer]);
        next_seq[writer]++;
        ASSERT_EQ(rest.substr(5), payload(writer, seq, kSizes[seq % 3]));
    }

    for (auto& t : writers) t.join();
    client_writer.join();
    EXPECT_EQ(write_failures.load(), 0);
    ASSERT_TRUE(client.close_notify());
    reader.join();
    EXPECT_EQ(reader_end, 0);
    EXPECT_EQ(upstream_received, upstream_sent);
}

}  // namespace
}  // namespace sorvane
