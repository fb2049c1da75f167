#include "platform/linux/panel_access.h"

namespace sorvane::platform {

namespace {

// Compares every byte, whatever the first difference.
bool same_secret(std::string_view a, const std::string& secret) {
    if (secret.empty() || a.size() != secret.size()) return false;
    unsigned diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(secret[i]);
    return diff == 0;
}

}  // namespace

std::string query_value(std::string_view query, std::string_view name) {
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string_view::npos) end = query.size();
        const std::string_view item = query.substr(start, end - start);
        const size_t eq = item.find('=');
        if (eq != std::string_view::npos && item.substr(0, eq) == name) return std::string(item.substr(eq + 1));
        start = end + 1;
    }
    return {};
}

bool panel_path_safe(std::string_view path) {
    if (path.empty() || path.size() > 200) return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view segment = path.substr(start, end - start);
        if (segment.empty() || segment[0] == '.') return false;
        for (char c : segment) {
            const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                            c == '_' || c == '.';
            if (!ok) return false;
        }
        start = end + 1;
    }
    return true;
}

bool panel_request_allowed(const PanelRequest& r, const std::string& secret, uint16_t port, std::string& why) {
    const std::string origin = "http://127.0.0.1:" + std::to_string(port);
    if (r.remote_addr != "127.0.0.1") {
        why = "not from loopback";
        return false;
    }
    // A name that merely resolves here (a rebound DNS name) is not ours.
    if (r.host != "127.0.0.1:" + std::to_string(port) && r.host != "127.0.0.1") {
        why = "wrong host";
        return false;
    }
    if (r.method != "GET") {
        why = "method";
        return false;
    }
    if (r.websocket ? r.origin != origin : (!r.origin.empty() && r.origin != origin)) {
        why = "other origin";
        return false;
    }
    if (!r.fetch_site.empty() && r.fetch_site != "same-origin" && r.fetch_site != "none") {
        why = "other site";
        return false;
    }
    if (same_secret(query_value(r.query, "token"), secret)) return true;
    // The page's scripts and styles: the page that asks for them is ours.
    const std::string page = origin + "/";
    if (!r.websocket && r.referer.compare(0, page.size(), page) == 0) {
        const size_t q = r.referer.find('?');
        if (q != std::string::npos) {
            std::string_view rest(r.referer);
            rest = rest.substr(q + 1);
            const size_t hash = rest.find('#');
            if (same_secret(query_value(rest.substr(0, hash), "token"), secret)) return true;
        }
    }
    why = "no secret";
    return false;
}

}  // namespace sorvane::platform
