// HTTP client port: one GET of a small document, over HTTPS with the server's
// certificate verified, never following a redirect. What the update check
// needs of WinHTTP on Windows and of libcurl on Linux.
//
// Failures carry the WinHTTP error numbers (12002 time-out, 12007 name not
// resolved, 12029 cannot connect, 12175 secure failure, ...) on every
// platform, so log lines read the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/clock.h"

namespace sorvane::platform {

inline constexpr uint32_t kWinHttpTimeout = 12002;
inline constexpr uint32_t kWinHttpInternalError = 12004;
inline constexpr uint32_t kWinHttpNameNotResolved = 12007;
inline constexpr uint32_t kWinHttpCannotConnect = 12029;
inline constexpr uint32_t kWinHttpConnectionError = 12030;
inline constexpr uint32_t kWinHttpInvalidServerResponse = 12152;
inline constexpr uint32_t kWinHttpSecureFailure = 12175;

struct HttpGetOptions {
    std::string user_agent = "Sorvane";
    // Each phase's limit: name resolution, connecting, sending the request,
    // and waiting for the answer or for the next piece of it.
    uint32_t resolve_timeout_ms = 10'000;
    uint32_t connect_timeout_ms = 10'000;
    uint32_t send_timeout_ms = 10'000;
    uint32_t receive_timeout_ms = 10'000;
    // A larger body fails with too_big.
    size_t max_body = 65'536;
    // A PEM file of CA certificates trusted instead of the system's; empty
    // for the system's.
    std::string ca_file;
    // Polled while the request runs; true abandons it (failure cancelled).
    std::function<bool()> cancelled;
};

enum class HttpFailure : uint8_t {
    none,       // an answer arrived: see status (the body is read for 200 only)
    bad_url,    // not an http or https URL with a host (or a part too long)
    open,       // the client could not be set up; error_code says why
    request,    // connecting, TLS, sending or receiving failed; error_code says why
    too_big,    // the body grew past max_body
    cancelled,  // options.cancelled asked to stop
};

struct HttpResponse {
    HttpFailure failure = HttpFailure::none;
    uint32_t error_code = 0;  // open and request failures
    uint32_t status = 0;      // the HTTP status code when failure is none
    std::string body;         // for status 200
};

class IHttpClient {
public:
    virtual ~IHttpClient() = default;
    virtual HttpResponse get(const std::string& url, const HttpGetOptions& options) = 0;
};

// Time-outs are measured on clock where the implementation can (Linux); the
// Windows client leaves them to the system.
std::unique_ptr<IHttpClient> make_http_client(IClock& clock);

}  // namespace sorvane::platform
