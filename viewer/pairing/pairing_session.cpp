#include "viewer/pairing/pairing_session.h"

#include <algorithm>

#include "common/text.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/socket.h"
#include "viewer/protocol/pairing_client.h"
#include "viewer/tls/tls_client.h"

namespace sorvane::viewer {

namespace {

// Host names come from the host: keep them on one line of the hosts file.
std::string one_line(const std::string& s) { return scrub_control(s); }

bool host_id_is_safe(const std::string& id) {
    if (id.empty() || id.size() > 64) return false;
    for (char c : id) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '-';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

PairOutcome pair_with_host(const PairingUri& uri, const ViewerIdentity* identity, platform::IClock& clock,
                           const PairOptions& options) {
    PairOutcome outcome;
    proto::PairRequest request;
    request.client_id = options.client_id;
    request.token = options.token.value_or(uri.token);
    request.client_name = options.client_name;
    if (uri.addresses.empty()) {
        outcome.error = "the pairing URI offers no address";
        return outcome;
    }
    for (const std::string& address : uri.addresses) {
        platform::Endpoint host;
        if (!platform::parse_ipv4(address, host.address)) continue;
        host.port = options.pairing_port;
        TlsClient client(clock);
        TlsClientOptions tls;
        tls.timeout_ms = options.timeout_ms;
        tls.local_address = options.local_address;
        if (!client.connect(host, uri.fingerprint, identity, tls)) {
            outcome.error = address + ": " + client.last_error();
            continue;
        }
        PairingExchange exchange(request);
        proto::Bytes frame;
        if (!exchange.request_frame(frame) || !client.write(frame.data(), frame.size())) {
            outcome.error = address + ": could not send the PairRequest";
            continue;
        }
        uint8_t buf[4096];
        while (exchange.state() == PairingExchange::State::waiting) {
            const int64_t n = client.read(buf, sizeof buf);
            if (n <= 0) break;
            exchange.receive(proto::ByteView(buf, static_cast<size_t>(n)));
        }
        client.close();
        if (exchange.result()) {
            outcome.reached = true;
            outcome.result = *exchange.result();
            outcome.address = address;
            return outcome;
        }
        outcome.error = address + ": " + (exchange.error().empty() ? "no PairResult" : exchange.error());
    }
    return outcome;
}

bool save_known_host(const std::string& state_dir, const KnownHost& host, std::string& error) {
    if (!host_id_is_safe(host.host_id)) {
        error = "unusable host id";
        return false;
    }
    const std::string dir = platform::join_path(state_dir, "hosts");
    platform::FileResult r = platform::create_directories(dir, platform::FileAccess::owner_only);
    if (!r.ok()) {
        error = "cannot create " + dir + ": " + platform::describe(r);
        return false;
    }
    std::string text;
    text += "host_id=" + host.host_id + "\n";
    text += "fingerprint=" + to_hex(host.fingerprint.data(), host.fingerprint.size()) + "\n";
    text += "host_name=" + one_line(host.host_name) + "\n";
    std::string joined;
    for (size_t i = 0; i < host.addresses.size(); ++i) joined += (i ? "," : "") + host.addresses[i];
    text += "addresses=" + joined + "\n";
    if (!host.last_address.empty()) text += "last_address=" + one_line(host.last_address) + "\n";
    text += "control_port=" + std::to_string(host.control_port) + "\n";
    text += "pairing_port=" + std::to_string(host.pairing_port) + "\n";
    text += "paired_at=" + one_line(host.paired_at) + "\n";
    r = platform::write_file_atomic(platform::join_path(dir, host.host_id + ".txt"), text,
                                    platform::FileAccess::owner_only);
    if (!r.ok()) {
        error = "cannot write the host file: " + platform::describe(r);
        return false;
    }
    return true;
}

bool load_known_host(const std::string& state_dir, const std::string& host_id, KnownHost& out, std::string& error) {
    if (!host_id_is_safe(host_id)) {
        error = "unusable host id";
        return false;
    }
    std::string text;
    const platform::FileResult r =
        platform::read_file(platform::join_path(platform::join_path(state_dir, "hosts"), host_id + ".txt"), 65536, text);
    if (!r.ok()) {
        error = "no paired host " + host_id + " (" + platform::describe(r) + ")";
        return false;
    }
    KnownHost h;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        int64_t n = 0;
        if (key == "host_id") h.host_id = value;
        else if (key == "fingerprint") from_hex(value, h.fingerprint.data(), h.fingerprint.size());
        else if (key == "host_name") h.host_name = value;
        else if (key == "paired_at") h.paired_at = value;
        else if (key == "last_address") h.last_address = value;
        else if (key == "control_port" && parse_int_exact(value, n) && n > 0 && n < 65536) h.control_port = static_cast<uint16_t>(n);
        else if (key == "pairing_port" && parse_int_exact(value, n) && n > 0 && n < 65536) h.pairing_port = static_cast<uint16_t>(n);
        else if (key == "addresses") {
            size_t s = 0;
            while (s < value.size()) {
                size_t c = value.find(',', s);
                if (c == std::string::npos) c = value.size();
                h.addresses.push_back(value.substr(s, c - s));
                s = c + 1;
            }
        }
    }
    if (h.host_id != host_id) {
        error = "the host file of " + host_id + " is damaged";
        return false;
    }
    out = std::move(h);
    return true;
}

std::vector<KnownHost> list_known_hosts(const std::string& state_dir) {
    std::vector<KnownHost> hosts;
    std::vector<std::string> names;
    if (!platform::list_directory(platform::join_path(state_dir, "hosts"), names).ok()) return hosts;
    for (const std::string& n : names) {
        if (n.size() < 5 || n.substr(n.size() - 4) != ".txt") continue;
        KnownHost h;
        std::string error;
        if (load_known_host(state_dir, n.substr(0, n.size() - 4), h, error)) hosts.push_back(std::move(h));
    }
    return hosts;
}

std::vector<std::string> connect_order(const KnownHost& host) {
    std::vector<std::string> order;
    auto add = [&](const std::string& a) {
        if (!a.empty() && std::find(order.begin(), order.end(), a) == order.end()) order.push_back(a);
    };
    add(host.last_address);
    for (const std::string& a : host.addresses) add(a);
    return order;
}

}  // namespace sorvane::viewer
