// Adapters from getifaddrs and /sys/class/net; the best interface from the
// kernel's routing table (/proc/net/route), so nothing is sent.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/linux/network_linux.h"

namespace sorvane::platform {

namespace {

std::string read_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string link_target_name(const std::string& path) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    const char* slash = std::strrchr(buf, '/');
    return slash != nullptr ? slash + 1 : buf;
}

int prefix_of(const sockaddr* mask) {
    if (mask == nullptr || mask->sa_family != AF_INET) return 0;
    uint32_t m = ntohl(reinterpret_cast<const sockaddr_in*>(mask)->sin_addr.s_addr);
    int n = 0;
    while (m & 0x80000000u) {
        ++n;
        m <<= 1;
    }
    return n;
}

// What the system calls the adapter, in the words the classification reads:
// the kernel driver's name, what kind of link it is, and "virtual" for
// software devices with no hardware behind them.
void describe(const std::string& name, NetworkAdapter& a) {
    const std::string sys = "/sys/class/net/" + name;
    const std::string driver = link_target_name(sys + "/device/driver");
    const int arp_type = std::atoi(read_line(sys + "/type").c_str());
    const bool wireless = exists(sys + "/wireless") || exists(sys + "/phy80211");
    const bool virtual_device = !exists(sys + "/device");

    if (arp_type == 772) {
        a.if_type = kIfTypeSoftwareLoopback;
    } else if (arp_type == 512) {
        a.if_type = kIfTypePpp;
    } else if (arp_type == 65534 || arp_type == 768 || arp_type == 769 || arp_type == 776 || arp_type == 778) {
        a.if_type = kIfTypeTunnel;  // tun, ipip, ip6ip6, sit, gre
    } else if (wireless) {
        a.if_type = kIfTypeIeee80211;
    } else if (arp_type == 1) {
        a.if_type = kIfTypeEthernet;
    }

    std::string d = driver.empty() ? std::string("network adapter") : driver;
    if (driver == "rndis_host") d += " (Remote NDIS)";
    if (driver == "cdc_ncm") d += " (USB NCM)";
    if (wireless) d += " wireless";
    if (virtual_device) d += " (virtual)";
    a.description = d;
}

class LinuxNetworkInfo final : public INetworkInfo {
public:
    bool adapters(std::vector<NetworkAdapter>& out) override {
        out.clear();
        ifaddrs* list = nullptr;
        if (::getifaddrs(&list) != 0) return false;
        std::map<std::string, size_t> by_name;
        for (const ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
            if (ifa->ifa_name == nullptr) continue;
            const std::string name = ifa->ifa_name;
            auto it = by_name.find(name);
            if (it == by_name.end()) {
                NetworkAdapter a;
                a.friendly_name = name;
                a.adapter_name = name;
                a.if_index = ::if_nametoindex(name.c_str());
                a.up = (ifa->ifa_flags & IFF_UP) != 0 && (ifa->ifa_flags & IFF_RUNNING) != 0;
                describe(name, a);
                it = by_name.emplace(name, out.size()).first;
                out.push_back(std::move(a));
            }
            if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) continue;
            char text[INET_ADDRSTRLEN] = {};
            const auto* sin = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr);
            if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) == nullptr) continue;
            out[it->second].addresses.push_back({text, static_cast<uint8_t>(prefix_of(ifa->ifa_netmask))});
        }
        ::freeifaddrs(list);
        return true;
    }

    uint32_t best_interface(uint32_t destination) override {
        // Longest matching prefix, then lowest metric, as the kernel chooses.
        std::ifstream in("/proc/net/route");
        std::string line;
        std::getline(in, line);  // header
        std::string best_name;
        int best_prefix = -1;
        long best_metric = 0;
        while (std::getline(in, line)) {
            std::istringstream ss(line);
            std::string iface;
            std::string dest_hex;
            std::string gw_hex;
            unsigned flags = 0;
            long refcnt = 0;
            long use = 0;
            long metric = 0;
            std::string mask_hex;
            if (!(ss >> iface >> dest_hex >> gw_hex >> std::hex >> flags >> std::dec >> refcnt >> use >> metric >>
                  mask_hex)) {
                continue;
            }
            if ((flags & 0x1) == 0) continue;  // RTF_UP
            // The table holds addresses in network order printed as a host-order number.
            const uint32_t dest = ntohl(static_cast<uint32_t>(std::stoul(dest_hex, nullptr, 16)));
            const uint32_t mask = ntohl(static_cast<uint32_t>(std::stoul(mask_hex, nullptr, 16)));
            if ((destination & mask) != dest) continue;
            int prefix = 0;
            for (uint32_t m = mask; m & 0x80000000u; m <<= 1) ++prefix;
            if (prefix > best_prefix || (prefix == best_prefix && metric < best_metric)) {
                best_prefix = prefix;
                best_metric = metric;
                best_name = iface;
            }
        }
        return best_name.empty() ? 0 : ::if_nametoindex(best_name.c_str());
    }
};

}  // namespace

std::unique_ptr<INetworkInfo> make_linux_network_info() { return std::make_unique<LinuxNetworkInfo>(); }

}  // namespace sorvane::platform
