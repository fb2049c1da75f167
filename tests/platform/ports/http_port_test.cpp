// The HTTP client against a local HTTPS server with CAs of the test's own
// (tests/support/release_server.py).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "platform/http_client.h"
#include "platform/sim/manual_clock.h"
#include "platform/socket.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace sorvane::platform {
namespace {

class HttpClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new test::TempDir();
        server_ = new test::Process("/usr/bin/python3",
                                    {std::string(SORVANE_SOURCE_DIR) + "/tests/support/release_server.py", folder_->path()});
        ASSERT_TRUE(server_->wait_for_output("ports ")) << server_->err();
        const std::string out = server_->out();
        ASSERT_EQ(std::sscanf(out.c_str() + out.find("ports "), "ports trusted=%d other=%d", &trusted_, &other_), 2);
    }
    static void TearDownTestSuite() {
        delete server_;
        delete folder_;
    }

    static size_t slow_requests() {
        const std::string out = server_->out();
        size_t n = 0;
        for (size_t at = out.find("slow request"); at != std::string::npos; at = out.find("slow request", at + 1)) ++n;
        return n;
    }
    // Polls (bounded) until the server has taken one more slow request than seen.
    static bool slow_request_after(size_t seen) {
        for (int i = 0; i < 3000; ++i) {
            if (slow_requests() > seen) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string url(int port, const std::string& path) { return "https://127.0.0.1:" + std::to_string(port) + path; }
    HttpGetOptions trusting() {
        HttpGetOptions o;
        o.ca_file = folder_->file("ca.pem");
        return o;
    }

    static test::TempDir* folder_;
    static test::Process* server_;
    static int trusted_;
    static int other_;
    std::unique_ptr<IClock> clock_ = make_system_clock();
    std::unique_ptr<IHttpClient> http_ = make_http_client(*clock_);
};

test::TempDir* HttpClientTest::folder_ = nullptr;
test::Process* HttpClientTest::server_ = nullptr;
int HttpClientTest::trusted_ = 0;
int HttpClientTest::other_ = 0;

TEST_F(HttpClientTest, AnswersAndRefusals) {
    struct Row {
        std::string url;
        HttpGetOptions options;
        HttpFailure failure;
        uint32_t status_or_error;
        const char* body_part;
    };
    HttpGetOptions other_ca;
    other_ca.ca_file = folder_->file("other-ca.pem");
    HttpGetOptions missing_ca;
    missing_ca.ca_file = folder_->file("none.pem");
    HttpGetOptions small = trusting();
    small.max_body = 10;
    const Row rows[] = {
        {url(trusted_, "/newer/release.json"), trusting(), HttpFailure::none, 200, "\"0.2\""},
        // An answer other than 200 is the answer: the redirect is not followed.
        {url(trusted_, "/redirect/release.json"), trusting(), HttpFailure::none, 302, ""},
        {url(trusted_, "/nothing"), trusting(), HttpFailure::none, 404, ""},
        {url(trusted_, "/big/release.json"), trusting(), HttpFailure::too_big, 0, ""},
        {url(trusted_, "/newer/release.json"), small, HttpFailure::too_big, 0, ""},
        // Certificates of a CA the file does not hold, or of the test's CA
        // when only the system's are trusted, are refused.
        {url(other_, "/newer/release.json"), trusting(), HttpFailure::request, kWinHttpSecureFailure, ""},
        {url(trusted_, "/newer/release.json"), other_ca, HttpFailure::request, kWinHttpSecureFailure, ""},
        {url(trusted_, "/newer/release.json"), HttpGetOptions{}, HttpFailure::request, kWinHttpSecureFailure, ""},
        {url(trusted_, "/newer/release.json"), missing_ca, HttpFailure::request, 2, ""},
        {"ftp://127.0.0.1/release.json", trusting(), HttpFailure::bad_url, 0, ""},
        {"https:///release.json", trusting(), HttpFailure::bad_url, 0, ""},
        {"https://" + std::string(300, 'a') + "/release.json", trusting(), HttpFailure::bad_url, 0, ""},
    };
    for (const Row& r : rows) {
        const HttpResponse got = http_->get(r.url, r.options);
        SCOPED_TRACE(r.url.substr(0, 60) + " ca=" + r.options.ca_file);
        EXPECT_EQ(got.failure, r.failure);
        EXPECT_EQ(r.failure == HttpFailure::none ? got.status : got.error_code, r.status_or_error);
        EXPECT_NE(got.body.find(r.body_part), std::string::npos);
        if (r.failure != HttpFailure::none || got.status != 200) {
            EXPECT_EQ(got.body, "");
        }
    }
    EXPECT_EQ(server_->out().find("GET /newer/release.json\nGET /newer"), std::string::npos)
        << "the redirect must not be followed";
}

TEST_F(HttpClientTest, NothingListening) {
    // A port that was free a moment ago.
    uint16_t port = 0;
    {
        TcpListener probe;
        ASSERT_TRUE(probe.listen("127.0.0.1", 0, 1).ok());
        port = probe.port();
    }
    const HttpResponse got = http_->get(url(port, "/release.json"), trusting());
    EXPECT_EQ(got.failure, HttpFailure::request);
    EXPECT_EQ(got.error_code, kWinHttpCannotConnect);
}

TEST_F(HttpClientTest, ASilentServerTimesOutOnTheInjectedClock) {
    sim::ManualClock clock;
    auto http = make_http_client(clock);
    HttpResponse got;
    const size_t seen = slow_requests();
    std::thread t([&] { got = http->get(url(trusted_, "/slow/release.json"), trusting()); });
    ASSERT_TRUE(slow_request_after(seen));
    // Past the send and receive waits together.
    clock.advance_ms(20'000);
    t.join();
    EXPECT_EQ(got.failure, HttpFailure::request);
    EXPECT_EQ(got.error_code, kWinHttpTimeout);
}

TEST_F(HttpClientTest, CancelAbandonsARequest) {
    std::atomic<bool> cancel{false};
    HttpGetOptions o = trusting();
    o.cancelled = [&] { return cancel.load(); };
    HttpResponse got;
    const size_t seen = slow_requests();
    std::thread t([&] { got = http_->get(url(trusted_, "/slow/release.json"), o); });
    ASSERT_TRUE(slow_request_after(seen));
    cancel = true;
    t.join();
    EXPECT_EQ(got.failure, HttpFailure::cancelled);
}

}  // namespace
}  // namespace sorvane::platform
