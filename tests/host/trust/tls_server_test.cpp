// The TLS server when accepting keeps failing: it waits on the clock instead
// of spinning, and serves the waiting connection once it can.
#include "host/trust/tls_server.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>

#include "platform/sim/manual_clock.h"
#include "tests/support/host_fakes.h"

namespace sorvane {
namespace {

using test::eventually;

struct CountingHandler : TlsServer::Handler {
    std::atomic<int> served{0};
    void serve(TlsConnection&) override { served.fetch_add(1); }
};

TEST(TlsServer, AcceptingBacksOffOnTheClockWhileItKeepsFailing) {
    sim::ManualClock clock;
    CountingHandler handler;
    TlsServerTuning tuning;
    tuning.accept_retry_ms = 50;
    tuning.accept_retry_max_ms = 100;
    TlsServer server(clock, handler, tuning);
    platform::TcpListener listener;
    ASSERT_TRUE(listener.listen("127.0.0.1", 0).ok());
    const platform::Endpoint to{platform::kLoopbackAddress, listener.port()};
    const int fd = static_cast<int>(listener.native_handle());
    // Every accept fails while the listener's descriptor points at /dev/null
    // (as it does when descriptors run out); the socket waits in kept.
    const int kept = ::dup(fd);
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_TRUE(kept >= 0 && null_fd >= 0);
    server.listen(std::move(listener));
    ASSERT_EQ(::dup2(null_fd, fd), fd);
    platform::TcpStream client;
    ASSERT_TRUE(client.connect(to, 2'000).ok());

    // Both the acceptor and housekeeping wait on the clock before it moves.
    auto settled = [&] { return eventually([&] { return clock.waiters() == 2; }); };
    ASSERT_TRUE(eventually([&] { return server.accept_failures() == 1; }));
    ASSERT_TRUE(settled());  // waiting on the clock, not trying again
    EXPECT_EQ(server.accept_failures(), 1u);
    clock.advance_ms(50);
    ASSERT_TRUE(eventually([&] { return server.accept_failures() == 2; }));
    ASSERT_TRUE(settled());
    clock.advance_ms(99);  // the pause doubled
    ASSERT_TRUE(settled());
    EXPECT_EQ(server.accept_failures(), 2u);
    clock.advance_ms(1);
    ASSERT_TRUE(eventually([&] { return server.accept_failures() == 3; }));
    ASSERT_TRUE(settled());
    clock.advance_ms(100);  // and stays at its maximum
    ASSERT_TRUE(eventually([&] { return server.accept_failures() == 4; }));
    ASSERT_TRUE(settled());

    // The listener again: the waiting connection is served after the pause.
    ASSERT_EQ(::dup2(kept, fd), fd);
    ::close(kept);
    ::close(null_fd);
    EXPECT_EQ(handler.served.load(), 0);
    clock.advance_ms(100);
    ASSERT_TRUE(eventually([&] { return handler.served.load() == 1; }));
    server.stop();
    EXPECT_EQ(server.connection_count(), 0u);
}

}  // namespace
}  // namespace sorvane
