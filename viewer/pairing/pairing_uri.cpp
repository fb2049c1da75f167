#include "viewer/pairing/pairing_uri.h"

#include <map>

#include "common/text.h"
#include "platform/socket.h"

namespace sorvane::viewer {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool percent_decode(std::string_view in, std::string& out) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out.push_back(in[i]);
            continue;
        }
        if (i + 2 >= in.size()) return false;
        const int hi = hex_value(in[i + 1]);
        const int lo = hex_value(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<char>(hi << 4 | lo));
        i += 2;
    }
    return true;
}

bool is_host_id(std::string_view t) {
    if (t.size() != 36) return false;
    for (size_t i = 0; i < t.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? t[i] != '-' : hex_value(t[i]) < 0) return false;
    }
    return true;
}

}  // namespace

bool parse_pairing_uri(std::string_view uri, PairingUri& out, std::string& error) {
    const std::string_view prefix = "sorvane://pair?";
    if (uri.substr(0, prefix.size()) != prefix) {
        error = "not a pairing URI (it must start with sorvane://pair?)";
        return false;
    }
    std::map<std::string, std::string> params;
    std::string_view rest = uri.substr(prefix.size());
    while (!rest.empty()) {
        const size_t amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        const size_t eq = pair.find('=');
        if (eq == std::string_view::npos) continue;
        params.emplace(std::string(pair.substr(0, eq)), std::string(pair.substr(eq + 1)));
    }
    PairingUri u;
    for (const char* key : {"host", "port", "fp", "token"}) {
        if (params.count(key) == 0) {
            error = std::string("the pairing URI has no ") + key;
            return false;
        }
    }
    u.host_id = params["host"];
    if (!is_host_id(u.host_id)) {
        error = "the host id is not 8-4-4-4-12 hexadecimal digits";
        return false;
    }
    int64_t port = 0;
    if (!parse_int_exact(params["port"], port) || port < 1 || port > 65535) {
        error = "the port is not a number from 1 to 65535";
        return false;
    }
    u.control_port = static_cast<uint16_t>(port);
    if (!from_hex(params["fp"], u.fingerprint.data(), u.fingerprint.size())) {
        error = "the fingerprint is not 64 hexadecimal digits";
        return false;
    }
    u.token = params["token"];
    if (u.token.empty() || u.token.size() > 64) {
        error = "the token is empty or too long";
        return false;
    }
    const std::string& ips = params["ip"];
    size_t start = 0;
    while (start < ips.size()) {
        size_t comma = ips.find(',', start);
        if (comma == std::string::npos) comma = ips.size();
        const std::string ip = ips.substr(start, comma - start);
        uint32_t address = 0;
        if (!platform::parse_ipv4(ip, address)) {
            error = "an offered address is not an IPv4 address";
            return false;
        }
        u.addresses.push_back(ip);
        start = comma + 1;
    }
    if (params.count("name") != 0 && !percent_decode(params["name"], u.host_name)) {
        error = "the host name is not percent-encoded correctly";
        return false;
    }
    out = std::move(u);
    return true;
}

std::string verify_code(const Fingerprint& fingerprint) {
    std::string hex = to_hex(fingerprint.data(), 4);
    for (char& c : hex) {
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    }
    return hex.substr(0, 4) + "-" + hex.substr(4, 4);
}

}  // namespace sorvane::viewer
