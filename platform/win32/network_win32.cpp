// Adapters from the IP helper's GetAdaptersAddresses (IPv4 only); the best
// interface from its route lookup, so nothing is sent.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <cstring>
#include <vector>

#include "platform/network.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

class Win32NetworkInfo final : public INetworkInfo {
public:
    bool adapters(std::vector<NetworkAdapter>& out) override {
        out.clear();
        const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
        // The list can grow between the size query and the call: retry a few times.
        ULONG size = 16 * 1024;
        std::vector<unsigned char> buf;
        ULONG r = ERROR_BUFFER_OVERFLOW;
        for (int attempt = 0; attempt < 4 && r == ERROR_BUFFER_OVERFLOW; ++attempt) {
            buf.resize(size);
            r = GetAdaptersAddresses(AF_INET, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()),
                                     &size);
        }
        if (r == ERROR_NO_DATA) return true;
        if (r != NO_ERROR) return false;
        for (auto* a = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buf.data()); a != nullptr; a = a->Next) {
            NetworkAdapter n;
            if (a->FriendlyName != nullptr) n.friendly_name = win32::narrow(a->FriendlyName);
            if (a->Description != nullptr) n.description = win32::narrow(a->Description);
            if (a->AdapterName != nullptr) n.adapter_name = a->AdapterName;
            n.if_type = a->IfType;
            n.if_index = a->IfIndex;
            n.up = a->OperStatus == IfOperStatusUp;
            for (auto* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
                const SOCKADDR* sa = u->Address.lpSockaddr;
                if (sa == nullptr || sa->sa_family != AF_INET) continue;
                sockaddr_in sin{};
                std::memcpy(&sin, sa, sizeof sin);
                char text[INET_ADDRSTRLEN] = {};
                if (inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text) == nullptr) continue;
                n.addresses.push_back({text, u->OnLinkPrefixLength});
            }
            out.push_back(std::move(n));
        }
        return true;
    }

    uint32_t best_interface(uint32_t destination) override {
        DWORD index = 0;
        if (GetBestInterface(htonl(destination), &index) != NO_ERROR) return 0;
        return index;
    }
};

}  // namespace

std::unique_ptr<INetworkInfo> make_system_network_info() { return std::make_unique<Win32NetworkInfo>(); }

}  // namespace sorvane::platform
