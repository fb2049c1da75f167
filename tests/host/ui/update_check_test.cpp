#include "host/ui/update_check.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "host/core/settings.h"
#include "platform/sim/manual_clock.h"
#include "tests/support/host_fakes.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

using platform::HttpFailure;
using platform::HttpResponse;

HttpResponse answer(uint32_t status, std::string body = {}) {
    HttpResponse r;
    r.status = status;
    r.body = std::move(body);
    return r;
}
HttpResponse failure(HttpFailure kind, uint32_t code = 0) {
    HttpResponse r;
    r.failure = kind;
    r.error_code = code;
    return r;
}

// Answers from a script and records when each request came. A request with
// an empty script blocks until the caller's cancel hook says stop.
class ScriptedHttp final : public platform::IHttpClient {
public:
    struct Shared {
        std::mutex mutex;
        std::condition_variable cv;
        std::deque<HttpResponse> script;
        std::vector<uint64_t> times;
        std::vector<std::string> urls;
        std::string ca_file;
        bool saw_cancel = false;
    };

    ScriptedHttp(platform::IClock& clock, std::shared_ptr<Shared> shared) : clock_(clock), s_(std::move(shared)) {}

    HttpResponse get(const std::string& url, const platform::HttpGetOptions& options) override {
        std::unique_lock<std::mutex> lock(s_->mutex);
        s_->times.push_back(clock_.now_ms());
        s_->urls.push_back(url);
        s_->ca_file = options.ca_file;
        s_->cv.notify_all();
        if (s_->script.empty()) {
            lock.unlock();
            test::eventually([&] { return options.cancelled(); });
            lock.lock();
            s_->saw_cancel = true;
            return failure(HttpFailure::cancelled);
        }
        HttpResponse r = s_->script.front();
        s_->script.pop_front();
        return r;
    }

private:
    platform::IClock& clock_;
    std::shared_ptr<Shared> s_;
};

class UpdateCheckTest : public ::testing::Test {
protected:
    UpdateCheckTest() { setenv(kSettingsPathVariable, dir_.file("settings.txt").c_str(), 1); }
    ~UpdateCheckTest() override { unsetenv(kSettingsPathVariable); }

    std::unique_ptr<UpdateChecker> make_checker(std::deque<HttpResponse> script) {
        http_ = std::make_shared<ScriptedHttp::Shared>();
        http_->script = std::move(script);
        UpdateCheckConfig config;
        config.manifest_url = "https://updates.test/release.json";
        config.ca_file = "/ca.pem";
        return std::make_unique<UpdateChecker>(clock_, std::make_unique<ScriptedHttp>(clock_, http_), config);
    }
    size_t calls() {
        std::lock_guard<std::mutex> g(http_->mutex);
        return http_->times.size();
    }
    // Moves the clock and waits until the worker has looked at the new time
    // and waits again.
    void advance(uint64_t ms) {
        const uint64_t waits = clock_.wait_calls();
        clock_.advance_ms(ms);
        EXPECT_TRUE(test::eventually([&] { return clock_.wait_calls() > waits && clock_.waiters() == 1; }));
    }
    // Waits for the nth request and returns the clock's time at it, relative
    // to the start.
    uint64_t request_time(size_t n) {
        EXPECT_TRUE(test::eventually([&] { return calls() >= n; })) << "request " << n;
        std::lock_guard<std::mutex> g(http_->mutex);
        return http_->times.size() >= n ? http_->times[n - 1] - start_ : 0;
    }

    test::TempDir dir_;
    sim::ManualClock clock_;
    const uint64_t start_ = clock_.now_ms();
    std::shared_ptr<ScriptedHttp::Shared> http_;
    test::HostLog log_;
};

TEST(UpdateVersions, ParsingAndComparison) {
    struct Row {
        const char* text;
        bool valid;
    };
    for (const Row& r : std::initializer_list<Row>{{"0.1.14", true},
                                                   {" 0.2\t", true},
                                                   {"1.2.3.4", true},
                                                   {"123456789", true},
                                                   {"1.2.3.4.5", false},
                                                   {"1234567890", false},
                                                   {"0.1a", false},
                                                   {"v1", false},
                                                   {"1..2", false},
                                                   {"1.", false},
                                                   {"", false},
                                                   {"1 .2", false}})
        EXPECT_EQ(parse_version(r.text).has_value(), r.valid) << r.text;

    EXPECT_TRUE(is_newer_version("0.2", "0.1.14"));
    EXPECT_TRUE(is_newer_version("0.1.14.1", "0.1.14"));
    EXPECT_TRUE(is_newer_version("0.1.100", "0.1.99"));  // numbers, not text
    EXPECT_FALSE(is_newer_version("0.1.14.0", "0.1.14"));
    EXPECT_FALSE(is_newer_version("0.1.13", "0.1.14"));
    EXPECT_FALSE(is_newer_version("0.2x", "0.1.14"));
    EXPECT_FALSE(is_newer_version("0.2", "bad"));
}

TEST(UpdateVersions, OnlyTheTopLevelVersionMemberCounts) {
    struct Row {
        const char* body;
        std::optional<std::string> version;
    };
    const std::optional<std::string> none;
    for (const Row& r : std::initializer_list<Row>{
             {R"({"version": "0.2"})", "0.2"},
             {"\xEF\xBB\xBF {\"version\":\"0.2\"}\n", "0.2"},
             // A nested "version" or one inside another member's text is not the member.
             {R"({"a": {"version": "9.9"}, "b": "\"version\": \"9.9\"", "version": "0.1.14"})", "0.1.14"},
             {R"({"a": {"version": "9.9"}})", none},
             {R"({"note": "{\"version\": \"9.9\"}"})", none},
             {R"([{"version": "0.2"}])", none},
             {R"({"version": 2})", none},
             {R"({"version": "0.\u0032"})", "0.2"},
             {R"({"version": "0.2", "version": "0.3"})", "0.3"},
             // Not one well-formed object: nothing is trusted.
             {R"({"version": "0.2")", none},
             {R"({"version": "0.2"} x)", none},
             {R"({"version": "0.2",})", none},
             {R"({"x": 01, "version": "0.2"})", none},
             {R"({"x": tru, "version": "0.2"})", none},
             {"{\"version\": \"0.2\n\"}", none},
             {"", none}})
        EXPECT_EQ(manifest_version(r.body), r.version) << r.body;
    // Deep nesting ends the parse instead of the stack.
    EXPECT_EQ(manifest_version(std::string(100000, '[')), none);
}

TEST_F(UpdateCheckTest, ScheduleFindsANewVersionOnceAndForgetsItWhenCurrent) {
    auto checker = make_checker({answer(200, R"({"version": "0.2"})"), answer(200, R"({"version": "0.2"})"),
                                 failure(HttpFailure::request, 12002), answer(200, R"({"version": " 0.1.14 "})")});
    std::atomic<int> found{0};
    checker->start_update_check("0.1.14", [&] { ++found; });
    EXPECT_TRUE(log_.has("[update] guncelleme denetimi acik (yalniz release.json okunur; hicbir sey indirilmez)"));

    clock_.advance_ms(14'999);
    advance(1);
    EXPECT_EQ(request_time(1), 15'000u);
    EXPECT_EQ(http_->urls[0], "https://updates.test/release.json");
    EXPECT_EQ(http_->ca_file, "/ca.pem");
    ASSERT_TRUE(test::eventually([&] { return checker->known_update() == "0.2"; }));
    EXPECT_EQ(found.load(), 1);
    EXPECT_NE(checker->update_status_text().find("tamam: yayindaki 0.2, bu 0.1.14 (yeni surum var)"),
              std::string::npos);
    EXPECT_EQ(checker->update_status_text().substr(0, 20), "acik; son denetim: 2");

    // A day after a success; the same version again is not news.
    clock_.advance_ms(kUpdateAfterSuccessMs - 1);
    advance(1);
    EXPECT_EQ(request_time(2), 15'000 + kUpdateAfterSuccessMs);
    // Three hours after a failure, which keeps the known version.
    advance(kUpdateAfterSuccessMs);
    EXPECT_EQ(request_time(3), 15'000 + 2 * kUpdateAfterSuccessMs);
    ASSERT_TRUE(test::eventually([&] { return log_.has("basarisiz (istek basarisiz 12002)"); }));
    EXPECT_EQ(checker->known_update(), "0.2");
    advance(kUpdateAfterFailureMs);
    EXPECT_EQ(request_time(4), 15'000 + 2 * kUpdateAfterSuccessMs + kUpdateAfterFailureMs);
    // The running version is current again: the known update is forgotten.
    ASSERT_TRUE(test::eventually([&] { return log_.has("tamam: yayindaki 0.1.14, bu 0.1.14 (guncel)"); }));
    EXPECT_FALSE(checker->known_update());
    EXPECT_EQ(found.load(), 1);
    checker->stop_update_check();
}

TEST_F(UpdateCheckTest, FailuresAreNamedInTheStatus) {
    auto checker = make_checker({failure(HttpFailure::bad_url), failure(HttpFailure::open, 5),
                                 failure(HttpFailure::request, 12175), answer(302), failure(HttpFailure::too_big),
                                 answer(200, R"({"version": "0.1.14.0.1"})"), answer(200, "<html>")});
    checker->start_update_check("0.1.14", [] { FAIL() << "nothing new was found"; });
    const char* expected[] = {"adres cozulemedi",
                              "WinHttpOpen 5",
                              "istek basarisiz 12175",
                              "HTTP 302",
                              "govde cok buyuk",
                              "release.json'da gecerli \"version\" yok",
                              "release.json'da gecerli \"version\" yok"};
    uint64_t at = 15'000;
    advance(at);
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(request_time(i + 1), at);
        const std::string text = std::string(" basarisiz (") + expected[i] + ")";
        ASSERT_TRUE(test::eventually([&] {
            const std::string status = checker->update_status_text();
            return status.size() >= text.size() && status.compare(status.size() - text.size(), text.size(), text) == 0;
        })) << checker->update_status_text();
        if (i + 1 == std::size(expected)) break;
        at += kUpdateAfterFailureMs;
        advance(kUpdateAfterFailureMs);
    }
    checker->stop_update_check();
}

TEST_F(UpdateCheckTest, SwitchedOffNoRequestSwitchedOnSoon) {
    auto checker = make_checker({answer(200, R"({"version": "0.3"})"), answer(200, R"({"version": "0.3"})")});
    checker->set_update_check(false);
    EXPECT_EQ(test::read_all(dir_.file("settings.txt")), "update_check=off\n");
    checker->start_update_check("0.1.14", {});
    EXPECT_TRUE(log_.has("guncelleme denetimi kapali: ag istegi yok"));
    // Switched on: a check 2 s later instead of at 15 s.
    checker->set_update_check(true);
    EXPECT_TRUE(log_.has("[update] guncelleme denetimi acildi"));
    EXPECT_FALSE(settings_get(kSettingUpdateCheck));
    advance(kUpdateSoonDelayMs);
    EXPECT_EQ(request_time(1), kUpdateSoonDelayMs);
    ASSERT_TRUE(test::eventually([&] { return checker->known_update() == "0.3"; }));
    // Switched off: the update disappears at once, and the next due time
    // passes without a request.
    checker->set_update_check(false);
    EXPECT_FALSE(checker->known_update());
    EXPECT_EQ(checker->update_status_text().substr(0, 7), "kapali;");
    advance(2 * kUpdateAfterSuccessMs);
    checker->set_update_check(true);
    advance(kUpdateSoonDelayMs);
    EXPECT_EQ(request_time(2), 2 * kUpdateAfterSuccessMs + 2 * kUpdateSoonDelayMs);
    checker->stop_update_check();
    EXPECT_EQ(calls(), 2u);
}

TEST_F(UpdateCheckTest, StopAbandonsACheckUnderWay) {
    auto checker = make_checker({});
    std::atomic<int> found{0};
    checker->start_update_check("0.1.14", [&] { ++found; });
    clock_.advance_ms(15'000);
    ASSERT_TRUE(test::eventually([&] { return calls() == 1; }));
    checker->stop_update_check();
    EXPECT_TRUE(http_->saw_cancel);
    checker->stop_update_check();  // harmless
    EXPECT_EQ(found.load(), 0);
}

TEST_F(UpdateCheckTest, BalloonOncePerVersionAlsoAfterARestart) {
    std::vector<std::string> shown;
    auto show = [&](const std::string& title, const std::string& text) { shown.push_back(title + "|" + text); };
    settings_set(kSettingLang, std::string("en"));
    for (const char* version : {"0.2", "0.2", "0.3"}) {  // each run a process of its own
        auto checker = make_checker({answer(200, std::string(R"({"version": ")") + version + "\"}")});
        std::atomic<int> found{0};
        checker->start_update_check("0.1.14", [&] { ++found; });
        advance(15'000);
        ASSERT_TRUE(test::eventually([&] { return found.load() == 1; }));
        EXPECT_FALSE(show_update_balloon(*checker, false, show));  // no tray icon: not now
        show_update_balloon(*checker, true, show);
        EXPECT_FALSE(show_update_balloon(*checker, true, show));
    }
    EXPECT_EQ(shown, (std::vector<std::string>{
                         "New version available|Sorvane 0.2 is out. Click to open the download page.",
                         "New version available|Sorvane 0.3 is out. Click to open the download page."}));
    EXPECT_EQ(settings_get(kSettingUpdateNotified), "0.3");
}

class RecordingShell final : public platform::IShell {
public:
    int64_t open(const std::string& target) override {
        opened.push_back(target);
        return result;
    }
    std::vector<std::string> opened;
    int64_t result = 42;
};

TEST_F(UpdateCheckTest, DownloadPageInTheUsersLanguageWhileAnUpdateIsKnown) {
    RecordingShell shell;
    EXPECT_TRUE(open_download_page(shell, true));
    shell.result = 2;
    EXPECT_FALSE(open_download_page(shell, false));
    EXPECT_EQ(shell.opened, (std::vector<std::string>{kDownloadPageTurkish, kDownloadPageEnglish}));
    EXPECT_TRUE(log_.has("[update] indirme sayfasi acildi (tr): ok"));
    EXPECT_TRUE(log_.has("[update] indirme sayfasi acildi (en): BASARISIZ"));

    auto checker = make_checker({answer(200, R"({"version": "0.2"})")});
    on_update_balloon_click(*checker, shell);
    EXPECT_EQ(shell.opened.size(), 2u);
    checker->start_update_check("0.1.14", {});
    advance(15'000);
    ASSERT_TRUE(test::eventually([&] { return checker->known_update().has_value(); }));
    on_update_balloon_click(*checker, shell);
    EXPECT_EQ(shell.opened.size(), 3u);
}

}  // namespace
}  // namespace sorvane
