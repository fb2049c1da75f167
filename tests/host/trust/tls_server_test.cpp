// The TLS server when accepting keeps failing (out of descriptors): it waits
// on the clock instead of spinning, and serves the connection once it can.
#include "host/trust/tls_server.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/sim/manual_clock.h"
#include "tests/support/host_fakes.h"

namespace sorvane {
namespace {

using test::eventually;

struct CountingHandler : TlsServer::Handler {
    std::atomic<int> served{0};
    void serve(TlsConnection&) override { served.fetch_add(1); }
};

size_t open_descriptors() {
    size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr) ++n;
        ::closedir(d);
    }
    return n;  // counts ".", ".." and the directory's own descriptor: a little slack
}

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
    server.listen(std::move(listener));

    // Leave the process exactly one descriptor: the client's socket takes it,
    // so the server's accept fails with "too many open files".
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = open_descriptors() + 8;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
    ASSERT_FALSE(fillers.empty());
    ::close(fillers.back());
    fillers.pop_back();
    platform::TcpStream client;
    ASSERT_TRUE(client.connect(to, 2'000).ok());

    ASSERT_TRUE(eventually([&] { return server.accept_failures() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(server.accept_failures(), 1u);  // the clock stands still: no second try
    clock.advance_ms(50);
    ASSERT_TRUE(eventually([&] { return server.accept_failures() == 2; }));
    clock.advance_ms(99);  // the pause doubled
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server.accept_failures(), 2u);
    clock.advance_ms(1);
    ASSERT_TRUE(eventually([&] { return server.accept_failures() == 3; }));
    clock.advance_ms(100);  // and stays at its maximum
    ASSERT_TRUE(eventually([&] { return server.accept_failures() == 4; }));

    // Descriptors again: the waiting connection is served after the pause.
    for (int fd : fillers) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(handler.served.load(), 0);
    clock.advance_ms(100);
    ASSERT_TRUE(eventually([&] { return handler.served.load() == 1; }));
    server.stop();
    EXPECT_EQ(server.connection_count(), 0u);
}

}  // namespace
}  // namespace sorvane
