#include "platform/webview.h"

namespace sorvane::platform {

// The panel's web view needs the WebView2 SDK, which this build does not
// have: the host runs with its tray icon and menu, without a panel.
std::unique_ptr<IWebView> make_webview(const WebViewConfig&, std::string& reason) {
    reason = "WebView2 SDK bu derlemede yok (panel acilamaz)";
    return nullptr;
}

}  // namespace sorvane::platform
