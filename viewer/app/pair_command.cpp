// sorvane-viewer pair: pair with a host from its pairing URI.
#include <cstdlib>
#include <string>

#include "common/text.h"
#include "host/protocol/defaults.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/random.h"
#include "platform/socket.h"
#include "viewer/app/commands.h"
#include "viewer/pairing/pairing_session.h"

namespace sorvane::viewer::app {

namespace {

struct PairArgs {
    std::string uri_text;
    std::string state_dir = default_state_dir();
    std::string client_id;
    std::optional<std::string> name;
    std::optional<std::string> token;
    uint16_t port = proto::kDefaultPairingPort;
    uint32_t timeout_ms = 5'000;
    bool with_certificate = true;
    std::vector<std::string> addresses;
    uint32_t local_address = 0;
};

// 0 when understood, else the exit code.
int parse(const std::vector<std::string>& args, PairArgs& p, const Streams& streams) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        std::string v;
        int64_t n = 0;
        uint32_t ip = 0;
        if (a == "--state" && value(v)) {
            p.state_dir = v;
        } else if (a == "--client-id" && value(v)) {
            p.client_id = v;
        } else if (a == "--name" && value(v)) {
            p.name = v;
        } else if (a == "--token" && value(v)) {
            p.token = v;
        } else if (a == "--port" && value(v) && parse_int_exact(v, n) && n > 0 && n < 65536) {
            p.port = static_cast<uint16_t>(n);
        } else if (a == "--timeout-ms" && value(v) && parse_int_exact(v, n) && n > 0 && n < 600'000) {
            p.timeout_ms = static_cast<uint32_t>(n);
        } else if (a == "--address" && value(v)) {
            p.addresses.push_back(v);
        } else if (a == "--local-address" && value(v) && platform::parse_ipv4(v, ip)) {
            p.local_address = ip;
        } else if (a == "--no-certificate") {
            p.with_certificate = false;
        } else if (p.uri_text.empty() && a.rfind("--", 0) != 0) {
            p.uri_text = a;
        } else {
            std::fprintf(streams.err, "sorvane-viewer pair: bad argument %s (see sorvane-viewer --help)\n",
                         scrub_control(a).c_str());
            return kExitUsage;
        }
    }
    if (p.uri_text.empty()) {
        std::fputs("sorvane-viewer pair: the pairing URI is missing (see sorvane-viewer --help)\n", streams.err);
        return kExitUsage;
    }
    return 0;
}

// The URI, with the addresses given by hand tried before the offered ones.
// 0 when usable, else the exit code.
int read_uri(const PairArgs& p, PairingUri& uri, const Streams& streams) {
    std::string error;
    if (!parse_pairing_uri(p.uri_text, uri, error)) {
        std::fprintf(streams.err, "sorvane-viewer pair: %s\n", error.c_str());
        return kExitFailed;
    }
    if (p.addresses.empty()) return 0;
    for (const std::string& a : p.addresses) {
        uint32_t ip = 0;
        if (!platform::parse_ipv4(a, ip)) {
            std::fprintf(streams.err, "sorvane-viewer pair: --address %s is not an IPv4 address\n",
                         scrub_control(a).c_str());
            return kExitUsage;
        }
    }
    std::vector<std::string> addresses = p.addresses;
    addresses.insert(addresses.end(), uri.addresses.begin(), uri.addresses.end());
    uri.addresses = addresses;
    return 0;
}

// The viewer's certificate (unless --no-certificate) and client id.
bool load_identity(PairArgs& p, platform::IClock& clock, std::unique_ptr<ViewerIdentity>& identity,
                   const Streams& streams) {
    std::string error;
    if (p.with_certificate) {
        identity = ViewerIdentity::load_or_create(p.state_dir, clock, error);
        if (!identity) {
            std::fprintf(streams.err, "sorvane-viewer pair: %s\n", error.c_str());
            return false;
        }
    }
    if (p.client_id.empty() && !viewer_client_id(p.state_dir, p.client_id, error)) {
        std::fprintf(streams.err, "sorvane-viewer pair: %s\n", error.c_str());
        return false;
    }
    return true;
}

// Keeps the paired host in the state folder.
bool remember(const PairArgs& p, const PairingUri& uri, const PairOutcome& outcome, platform::IClock& clock,
              const Streams& streams) {
    KnownHost host;
    host.host_id = uri.host_id;
    host.fingerprint = uri.fingerprint;
    host.host_name = outcome.result.host_name.value_or(uri.host_name);
    host.addresses = uri.addresses;
    host.last_address = outcome.address;
    host.control_port = uri.control_port;
    host.pairing_port = p.port;
    host.paired_at = platform::utc_stamp(platform::utc_civil(clock.wall_ms()));
    std::fprintf(streams.out, "paired with \"%s\" (host %s) at %s as %s\n", scrub_control(host.host_name).c_str(),
                 host.host_id.c_str(), outcome.address.c_str(), scrub_control(p.client_id).c_str());
    if (outcome.result.host_id != uri.host_id) {
        std::fprintf(streams.err, "sorvane-viewer pair: the host answered as %s, not %s\n",
                     scrub_control(outcome.result.host_id).c_str(), uri.host_id.c_str());
        return false;
    }
    std::string error;
    if (!save_known_host(p.state_dir, host, error)) {
        std::fprintf(streams.err, "sorvane-viewer pair: %s\n", error.c_str());
        return false;
    }
    std::fprintf(streams.out, "remembered in %s\n",
                 platform::join_path(platform::join_path(p.state_dir, "hosts"), host.host_id + ".txt").c_str());
    return true;
}

}  // namespace

int run_pair(const std::vector<std::string>& args, const Streams& streams) {
    PairArgs p;
    if (const int code = parse(args, p, streams); code != 0) return code;
    PairingUri uri;
    if (const int code = read_uri(p, uri, streams); code != 0) return code;
    auto clock = platform::make_system_clock();
    std::unique_ptr<ViewerIdentity> identity;
    if (!load_identity(p, *clock, identity, streams)) return kExitFailed;

    std::fprintf(streams.out, "verify code: %s (compare it with the code the host shows)\n",
                 verify_code(uri.fingerprint).c_str());
    PairOptions options;
    options.client_id = p.client_id;
    options.client_name = p.name;
    options.pairing_port = p.port;
    options.timeout_ms = p.timeout_ms;
    options.token = p.token;
    options.local_address = p.local_address;
    const PairOutcome outcome = pair_with_host(uri, identity.get(), *clock, options);
    if (!outcome.reached) {
        std::fprintf(streams.err, "sorvane-viewer pair: no answer: %s\n", scrub_control(outcome.error).c_str());
        return kExitFailed;
    }
    if (!outcome.result.ok) {
        std::fprintf(streams.out, "pairing refused: %s\n",
                     scrub_control(outcome.result.reason.value_or("(no reason)")).c_str());
        return kExitFailed;
    }
    return remember(p, uri, outcome, *clock, streams) ? kExitOk : kExitFailed;
}

}  // namespace sorvane::viewer::app
