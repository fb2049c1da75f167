// Named pipes between two processes: the listener here, the client in a
// child, whole messages of any size each way, and the descriptor's access
// check turning away a client it does not admit.
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/pipe.h"
#include "tests/platform/ports/port_test.h"

namespace sorvane::platform {
namespace {

const size_t kSizes[] = {1, 4096, 70000};

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 23);
    return s;
}

// Sends one message of each size, then expects one reply naming their count.
const port_test::ChildRole client_role("pipe-client", [](const std::string& name) {
    uint32_t error = 0;
    auto pipe = open_pipe(name, error);
    if (!pipe) return 100 + static_cast<int>(error % 100);
    for (size_t n : kSizes) {
        const std::string m = pattern(n);
        if (!pipe->write_message(m.data(), m.size(), 10'000).ok()) return 2;
    }
    char reply[16] = {};
    const PipeResult r = pipe->read_message(reply, sizeof reply, 30'000);
    if (!r.ok() || std::string(reply, r.bytes) != "3") return 3;
    return 0;
});

// Exits with the error of its open: 0 when it was let in.
const port_test::ChildRole opener_role("pipe-open", [](const std::string& name) {
    uint32_t error = 0;
    auto pipe = open_pipe(name, error);
    return pipe ? 0 : static_cast<int>(error);
});

TEST(Pipe, MessagesKeepTheirBoundsBetweenTwoProcesses) {
    const std::string sid = process_user_sid();
    ASSERT_TRUE(string_sid_valid(sid)) << sid;
    const std::string name = "\\\\.\\pipe\\" + port_test::unique_name("sorvane-port-pipe");
    uint32_t error = 0;
    auto listener = create_pipe_listener(name, "D:P(A;;GA;;;" + sid + ")", error);
    ASSERT_NE(listener, nullptr) << error;

    int child_code = -1;
    std::thread child([&] {
        child_code = port_test::run_child("pipe-client", name);
        if (child_code != 0) listener->stop();  // no client is coming
    });
    std::unique_ptr<IPipeConnection> conn;
    const PipeResult accepted = listener->accept(conn);
    if (!accepted.ok()) {
        child.join();
        FAIL() << "no client: the child ended with " << child_code;
    }
    EXPECT_NE(conn->peer_pid(), 0u);
    EXPECT_EQ(conn->peer_sid(), sid);
    std::vector<char> buf(100'000);
    for (size_t n : kSizes) {
        const PipeResult r = conn->read_message(buf.data(), buf.size(), 30'000);
        ASSERT_TRUE(r.ok()) << r.error;
        EXPECT_EQ(r.bytes, n);
        EXPECT_EQ(std::string(buf.data(), r.bytes), pattern(n));
    }
    EXPECT_TRUE(conn->write_message("3", 1, 10'000).ok());
    child.join();
    EXPECT_EQ(child_code, 0);
}

TEST(Pipe, ADescriptorThatAdmitsOnlyTheSystemTurnsTheUserAwayAndTheNameIsHeld) {
    const std::string name = "\\\\.\\pipe\\" + port_test::unique_name("sorvane-port-pipe");
    uint32_t error = 0;
    auto listener = create_pipe_listener(name, "D:P(A;;GA;;;SY)", error);
    ASSERT_NE(listener, nullptr) << error;
    const int code = port_test::run_child("pipe-open", name);
    // The name is held: a second listener is refused as well.
    uint32_t second = 0;
    const auto again = create_pipe_listener(name, "D:P(A;;GA;;;SY)", second);
    if ((code == 0 || again != nullptr) && port_test::under_wine())
        GTEST_SKIP() << "Wine checks neither a named pipe's security descriptor when a client opens it nor who holds its name";
    EXPECT_EQ(code, 5);  // ERROR_ACCESS_DENIED
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(second, 5u);
}

}  // namespace
}  // namespace sorvane::platform
