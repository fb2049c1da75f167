// The Network List Manager's connections: the adapter of each and the
// category of its network.
#include <windows.h>
#include <netlistmgr.h>
#include <objbase.h>

#include "platform/network.h"
#include "platform/win32/com.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

using win32::ComScope;
using win32::Released;

std::string guid_text(const GUID& g) {
    wchar_t buf[64] = {};
    if (StringFromGUID2(g, buf, 64) <= 0) return {};
    return win32::narrow(buf);
}

class Win32NetworkList final : public INetworkList {
public:
    uint32_t connections(std::vector<NetworkConnection>& out) override {
        out.clear();
        ComScope com;
        Released<INetworkListManager> manager;
        HRESULT hr = CoCreateInstance(CLSID_NetworkListManager, nullptr, CLSCTX_ALL, IID_INetworkListManager,
                                      reinterpret_cast<void**>(&manager.p));
        if (FAILED(hr)) return static_cast<uint32_t>(hr);
        Released<IEnumNetworkConnections> list;
        hr = manager.p->GetNetworkConnections(&list.p);
        if (FAILED(hr)) return static_cast<uint32_t>(hr);
        for (;;) {
            Released<INetworkConnection> connection;
            ULONG fetched = 0;
            hr = list.p->Next(1, &connection.p, &fetched);
            if (FAILED(hr)) {
                out.clear();
                return static_cast<uint32_t>(hr);
            }
            if (hr != S_OK || fetched == 0) break;
            GUID adapter{};
            if (FAILED(connection.p->GetAdapterId(&adapter))) continue;
            Released<INetwork> network;
            if (FAILED(connection.p->GetNetwork(&network.p)) || network.p == nullptr) continue;
            NLM_NETWORK_CATEGORY category = NLM_NETWORK_CATEGORY_PUBLIC;
            if (FAILED(network.p->GetCategory(&category))) continue;
            NLM_CONNECTIVITY reach = NLM_CONNECTIVITY_DISCONNECTED;
            connection.p->GetConnectivity(&reach);
            out.push_back({guid_text(adapter), static_cast<int32_t>(category), static_cast<uint32_t>(reach)});
        }
        return 0;
    }
};

}  // namespace

std::unique_ptr<INetworkList> make_network_list() { return std::make_unique<Win32NetworkList>(); }

}  // namespace sorvane::platform
