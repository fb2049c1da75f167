// Who may load the panel page served on loopback and talk to its bridge: the
// rule the Linux web view applies to every HTTP request and WebSocket
// upgrade, kept apart so that it can be checked case by case.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sorvane::platform {

struct PanelRequest {
    std::string method;       // "GET"
    std::string remote_addr;  // the peer's address as text
    std::string path;         // "/tray.html"
    std::string query;        // after "?", without it
    std::string host;         // the Host header
    std::string origin;       // the Origin header; empty when absent
    std::string referer;      // the Referer header; empty when absent
    std::string fetch_site;   // the Sec-Fetch-Site header; empty when absent
    bool websocket = false;
};

// The value of name in a query text ("a=1&token=x"); empty when absent.
std::string query_value(std::string_view query, std::string_view name);

// Whether a request may be served. The server listens on 127.0.0.1:port; a
// request is served only when it comes from 127.0.0.1, names that host (and
// port), comes from no other origin (a WebSocket must name ours), is a GET,
// and carries the secret: as "token" in its query, or (for the page's own
// scripts and styles) in the query of a Referer of our origin. why names the
// refusal (never the secret).
bool panel_request_allowed(const PanelRequest& request, const std::string& secret, uint16_t port, std::string& why);

// A relative page path that may name a file of the page folder: one or more
// segments of letters, digits, '-', '_' and '.', none starting with '.'.
bool panel_path_safe(std::string_view path);

}  // namespace sorvane::platform
