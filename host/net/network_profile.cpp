#include "host/net/network_profile.h"

#include <algorithm>
#include <mutex>

#include "common/text.h"
#include "host/core/log.h"
#include "platform/socket.h"

namespace sorvane::netprofile {

namespace {

const char* const kVirtualWords[] = {
    "hyper-v", "vethernet", "virtualbox", "vbox",      "vmware",    "vmnet",    "virtual", "wi-fi direct", "hosted network",
    "wsl",     "docker",    "tap-windows", "tap-",     "wintun",    "wireguard", "tailscale", "zerotier",  "openvpn",
    "vpn",     "npcap",     "loopback",   "bluetooth", "teredo",    "isatap",   "6to4",    "pseudo",
};

const char* const kUsbWords[] = {"remote ndis", "rndis", "usbncm", "usb ncm"};

constexpr uint32_t kProbeAddress = 0x08080808;  // 8.8.8.8

std::string match_text(const std::string& friendly_name, const std::string& description) {
    return ascii_lower(friendly_name + " | " + description);
}

int class_of(const AdapterAddress& a) {
    if (a.is_virtual) return a.mesh_range ? 8 : 9;
    if (a.usb) return 3;
    if (a.default_route) return 0;
    if (a.ip.rfind("192.168.", 0) == 0) return 1;
    return a.mesh_range ? 7 : 2;
}

std::mutex g_signature_mutex;
std::string g_logged_signature;

}  // namespace

bool is_virtual_adapter(uint32_t if_type, const std::string& friendly_name, const std::string& description) {
    if (if_type == platform::kIfTypeTunnel || if_type == platform::kIfTypePpp) return true;
    const std::string text = match_text(friendly_name, description);
    for (const char* w : kVirtualWords) {
        if (text.find(w) != std::string::npos) return true;
    }
    return false;
}

bool is_usb_tethering(const std::string& friendly_name, const std::string& description) {
    const std::string text = match_text(friendly_name, description);
    for (const char* w : kUsbWords) {
        if (text.find(w) != std::string::npos) return true;
    }
    return false;
}

bool in_mesh_range(const std::string& ip) {
    uint32_t a = 0;
    if (!platform::parse_ipv4(ip, a)) return false;
    return (a & 0xFFC00000u) == 0x64400000u;  // 100.64.0.0/10
}

std::vector<AdapterAddress> enumerate(platform::INetworkInfo& net) {
    std::vector<platform::NetworkAdapter> adapters;
    if (!net.adapters(adapters)) return {};
    const uint32_t best = net.best_interface(kProbeAddress);

    std::vector<AdapterAddress> out;
    for (const platform::NetworkAdapter& ad : adapters) {
        if (!ad.up || ad.if_type == platform::kIfTypeSoftwareLoopback) continue;
        const bool is_virtual = is_virtual_adapter(ad.if_type, ad.friendly_name, ad.description);
        const bool usb = !is_virtual && is_usb_tethering(ad.friendly_name, ad.description);
        for (const platform::AdapterIpv4& addr : ad.addresses) {
            if (addr.ip.empty() || addr.ip.rfind("169.254.", 0) == 0) continue;
            AdapterAddress e;
            e.ip = addr.ip;
            e.friendly_name = ad.friendly_name;
            e.description = ad.description;
            e.adapter_name = ad.adapter_name;
            e.wifi = ad.if_type == platform::kIfTypeIeee80211;
            e.is_virtual = is_virtual;
            e.default_route = best != 0 && ad.if_index == best;
            e.mesh_range = in_mesh_range(addr.ip);
            e.usb = usb;
            e.prefix_length = addr.prefix_length;
            e.if_index = ad.if_index;
            e.klass = class_of(e);
            out.push_back(std::move(e));
        }
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const AdapterAddress& a, const AdapterAddress& b) { return a.klass < b.klass; });
    return out;
}

std::vector<std::string> offered_addresses(platform::INetworkInfo& net) {
    const std::vector<AdapterAddress> list = enumerate(net);
    std::string signature;
    std::vector<std::string> ips;
    for (const AdapterAddress& a : list) {
        signature += a.ip;
        signature += a.is_virtual ? "v" : "p";
        if (a.default_route) signature += "d";
        signature += ";";
        ips.push_back(a.ip);
    }
    std::lock_guard<std::mutex> g(g_signature_mutex);
    if (signature != g_logged_signature) {
        int n = 0;
        for (const AdapterAddress& a : list) {
            log("[pairing] QR IP #%d: %s adapter \"%s\" (%s)%s%s", ++n, a.ip.c_str(), a.friendly_name.c_str(),
                a.is_virtual ? "virtual" : "physical", a.default_route ? ", default route" : "",
                a.mesh_range ? ", mesh VPN range" : "");
        }
        g_logged_signature = signature;
    }
    return ips;
}

bool is_on_usb_subnet(platform::INetworkInfo& net, const std::string& ip) {
    uint32_t addr = 0;
    if (!platform::parse_ipv4(ip, addr)) return false;
    for (const AdapterAddress& a : enumerate(net)) {
        if (!a.usb || a.prefix_length < 1 || a.prefix_length > 32) continue;
        uint32_t base = 0;
        if (!platform::parse_ipv4(a.ip, base)) continue;
        const uint32_t mask = a.prefix_length == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> a.prefix_length);
        if ((addr & mask) == (base & mask)) return true;
    }
    return false;
}

}  // namespace sorvane::netprofile
