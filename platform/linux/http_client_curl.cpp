// The HTTP client on libcurl: http and https only, the peer's certificate and
// host name verified, no redirects, no cookies, a fresh copy asked for. The
// time-outs are kept on the injected clock from curl's progress callback, which
// curl calls at least once a second while a transfer waits; curl's own
// time-outs stay set to the same limits on the machine's clock as a backstop.
#include <curl/curl.h>

#include <mutex>
#include <string_view>

#include "platform/http_client.h"

namespace sorvane::platform {

namespace {

constexpr size_t kMaxHost = 255;   // characters of the host part
constexpr size_t kMaxPath = 1023;  // characters of the path and query
constexpr uint32_t kOutOfMemory = 8;   // ERROR_NOT_ENOUGH_MEMORY
constexpr uint32_t kFileNotFound = 2;  // ERROR_FILE_NOT_FOUND (the CA file)

void init_curl_once() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The WinHTTP error a failed transfer would have given.
uint32_t winhttp_error_of(CURLcode rc) {
    switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return kWinHttpNameNotResolved;
    case CURLE_COULDNT_CONNECT:
        return kWinHttpCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
        return kWinHttpTimeout;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return kWinHttpSecureFailure;
    case CURLE_SSL_CACERT_BADFILE:
        return kFileNotFound;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return kWinHttpConnectionError;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
        return kWinHttpInvalidServerResponse;
    case CURLE_OUT_OF_MEMORY:
        return kOutOfMemory;
    default:
        return kWinHttpInternalError;
    }
}

// http or https with a host, each part within WinHTTP's buffers.
bool usable_url(const std::string& url) {
    // curl would read a host out of "https:///x" (the path); WinHTTP finds none.
    const size_t authority = url.find("://");
    if (authority == std::string::npos || url.compare(authority + 3, 1, "/") == 0) return false;
    CURLU* u = curl_url();
    if (u == nullptr) return false;
    bool ok = curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    auto part = [&](CURLUPart which, std::string& out) {
        char* text = nullptr;
        if (curl_url_get(u, which, &text, 0) != CURLUE_OK) return false;
        out = text;
        curl_free(text);
        return true;
    };
    std::string scheme;
    std::string host;
    std::string path;
    std::string query;
    ok = ok && part(CURLUPART_SCHEME, scheme) && part(CURLUPART_HOST, host) && part(CURLUPART_PATH, path);
    if (ok && part(CURLUPART_QUERY, query)) path += "?" + query;
    curl_url_cleanup(u);
    return ok && (scheme == "https" || scheme == "http") && !host.empty() && host.size() <= kMaxHost &&
           path.size() <= kMaxPath;
}

struct Transfer {
    Transfer(IClock& c, const HttpGetOptions& o, CURL* e) : clock(c), options(o), easy(e) {}
    IClock& clock;
    const HttpGetOptions& options;
    CURL* easy;
    std::string body;
    bool other_status = false;  // not 200: the body is not read
    bool too_big = false;
    bool cancelled = false;
    bool timed_out = false;
    uint64_t start_ms = 0;
    bool connected = false;
    uint64_t last_activity_ms = 0;
    curl_off_t last_received = 0;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    long status = 0;
    curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        t->other_status = true;
        return 0;  // stops the transfer; the status is the answer
    }
    if (t->body.size() + n > t->options.max_body) {
        t->too_big = true;
        return 0;
    }
    t->body.append(data, n);
    return n;
}

int on_progress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
    auto* t = static_cast<Transfer*>(user);
    if (t->options.cancelled && t->options.cancelled()) {
        t->cancelled = true;
        return 1;
    }
    const uint64_t now = t->clock.now_ms();
    if (!t->connected) {
        curl_off_t connect_us = 0;
        curl_easy_getinfo(t->easy, CURLINFO_CONNECT_TIME_T, &connect_us);
        if (connect_us > 0) {
            t->connected = true;
            t->last_activity_ms = now;
        } else if (now - t->start_ms >= uint64_t{t->options.resolve_timeout_ms} + t->options.connect_timeout_ms) {
            t->timed_out = true;
            return 1;
        }
    }
    if (t->connected) {
        if (received != t->last_received) {
            t->last_received = received;
            t->last_activity_ms = now;
        } else if (now - t->last_activity_ms >= uint64_t{t->options.send_timeout_ms} + t->options.receive_timeout_ms) {
            t->timed_out = true;
            return 1;
        }
    }
    return 0;
}

class CurlHttpClient final : public IHttpClient {
public:
    explicit CurlHttpClient(IClock& clock) : clock_(clock) { init_curl_once(); }

    HttpResponse get(const std::string& url, const HttpGetOptions& options) override {
        HttpResponse r;
        if (!usable_url(url)) {
            r.failure = HttpFailure::bad_url;
            return r;
        }
        CURL* easy = curl_easy_init();
        if (easy == nullptr) {
            r.failure = HttpFailure::open;
            r.error_code = kOutOfMemory;
            return r;
        }
        Transfer t(clock_, options, easy);
        t.start_ms = clock_.now_ms();

        curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
        headers = curl_slist_append(headers, "Pragma: no-cache");
        const long read_limit_s = static_cast<long>((options.send_timeout_ms + options.receive_timeout_ms + 999) / 1000);
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_USERAGENT, options.user_agent.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!options.ca_file.empty()) {
            // The file replaces the system's set: no CA folder is consulted.
            curl_easy_setopt(easy, CURLOPT_CAINFO, options.ca_file.c_str());
            curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
        }
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(options.resolve_timeout_ms) + static_cast<long>(options.connect_timeout_ms));
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, read_limit_s);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_body);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &t);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, on_progress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &t);

        const CURLcode rc = curl_easy_perform(easy);
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_cleanup(easy);
        curl_slist_free_all(headers);

        if (t.cancelled) {
            r.failure = HttpFailure::cancelled;
        } else if (t.timed_out) {
            r.failure = HttpFailure::request;
            r.error_code = kWinHttpTimeout;
        } else if (t.too_big) {
            r.failure = HttpFailure::too_big;
        } else if (rc == CURLE_OK || (rc == CURLE_WRITE_ERROR && t.other_status)) {
            r.status = static_cast<uint32_t>(status);
            if (r.status == 200) r.body = std::move(t.body);
        } else {
            r.failure = HttpFailure::request;
            r.error_code = winhttp_error_of(rc);
        }
        return r;
    }

private:
    IClock& clock_;
};

}  // namespace

std::unique_ptr<IHttpClient> make_http_client(IClock& clock) { return std::make_unique<CurlHttpClient>(clock); }

}  // namespace sorvane::platform
