// The HTTP client on WinHTTP (synchronous): automatic proxy selection with the
// default setting as fallback, all four time-outs set, a fresh copy asked for,
// cookies and redirects disabled. A CA file given in the options replaces the
// system's roots: the handshake then tolerates an unknown root, and the
// server's certificate is verified against that file's certificates alone
// (chain and host name) before anything of the answer is read.
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/http_client.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

constexpr DWORD kReadPiece = 8192;
constexpr size_t kMaxCaFile = 1u << 20;

struct Handle {
    HINTERNET h = nullptr;
    ~Handle() {
        if (h != nullptr) WinHttpCloseHandle(h);
    }
};

HttpResponse failed(HttpFailure kind, uint32_t code) {
    HttpResponse r;
    r.failure = kind;
    r.error_code = code;
    return r;
}

// The certificates of a PEM file in a memory store; null when none could be read.
HCERTSTORE load_ca_store(const std::string& file) {
    std::string pem;
    if (!read_file(file, kMaxCaFile, pem).ok()) return nullptr;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (store == nullptr) return nullptr;
    static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
    size_t count = 0;
    size_t at = 0;
    while ((at = pem.find("-----BEGIN CERTIFICATE-----", at)) != std::string::npos) {
        const size_t end = pem.find(kEnd, at);
        if (end == std::string::npos) break;
        const std::string block = pem.substr(at, end + kEnd.size() - at);
        at = end + kEnd.size();
        DWORD size = 0;
        if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                  &size, nullptr, nullptr))
            continue;
        std::vector<BYTE> der(size);
        if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                  der.data(), &size, nullptr, nullptr))
            continue;
        if (CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size, CERT_STORE_ADD_ALWAYS,
                                             nullptr))
            ++count;
    }
    if (count == 0) {
        CertCloseStore(store, 0);
        return nullptr;
    }
    return store;
}

// 0 when the server's certificate chains to one of roots and names host;
// else the WinHTTP error of a failed secure channel.
uint32_t verify_against(HINTERNET request, HCERTSTORE roots, const std::wstring& host) {
    PCCERT_CONTEXT server = nullptr;
    DWORD size = sizeof(server);
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &server, &size) || server == nullptr)
        return kWinHttpSecureFailure;
    CERT_CHAIN_ENGINE_CONFIG config{};
    config.cbSize = sizeof(config);
    config.hExclusiveRoot = roots;
    HCERTCHAINENGINE engine = nullptr;
    uint32_t result = kWinHttpSecureFailure;
    if (CertCreateCertificateChainEngine(&config, &engine)) {
        CERT_CHAIN_PARA para{};
        para.cbSize = sizeof(para);
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        if (CertGetCertificateChain(engine, server, nullptr, server->hCertStore, &para, 0, nullptr, &chain)) {
            HTTPSPolicyCallbackData https{};
            https.cbStruct = sizeof(https);
            https.dwAuthType = AUTHTYPE_SERVER;
            https.pwszServerName = const_cast<wchar_t*>(host.c_str());
            CERT_CHAIN_POLICY_PARA policy{};
            policy.cbSize = sizeof(policy);
            policy.pvExtraPolicyPara = &https;
            CERT_CHAIN_POLICY_STATUS status{};
            status.cbSize = sizeof(status);
            if (CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status) &&
                status.dwError == 0)
                result = 0;
            CertFreeCertificateChain(chain);
        }
        CertFreeCertificateChainEngine(engine);
    }
    CertFreeCertificateContext(server);
    return result;
}

class WinHttpClient final : public IHttpClient {
public:
    HttpResponse get(const std::string& url, const HttpGetOptions& options) override {
        const std::wstring wide_url = win32::widen(url);
        wchar_t host[256] = {};
        wchar_t path[1024] = {};
        URL_COMPONENTS parts{};
        parts.dwStructSize = sizeof(parts);
        parts.lpszHostName = host;
        parts.dwHostNameLength = ARRAYSIZE(host);
        parts.lpszUrlPath = path;
        parts.dwUrlPathLength = ARRAYSIZE(path);
        if (wide_url.empty() || !WinHttpCrackUrl(wide_url.c_str(), 0, 0, &parts) || host[0] == L'\0' ||
            (parts.nScheme != INTERNET_SCHEME_HTTPS && parts.nScheme != INTERNET_SCHEME_HTTP))
            return failed(HttpFailure::bad_url, 0);
        const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

        const std::wstring agent = win32::widen(options.user_agent);
        Handle session;
        session.h = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, 0);
        if (session.h == nullptr)
            session.h = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
        if (session.h == nullptr) return failed(HttpFailure::open, GetLastError());
        WinHttpSetTimeouts(session.h, static_cast<int>(options.resolve_timeout_ms),
                           static_cast<int>(options.connect_timeout_ms), static_cast<int>(options.send_timeout_ms),
                           static_cast<int>(options.receive_timeout_ms));

        Handle connection;
        connection.h = WinHttpConnect(session.h, host, parts.nPort, 0);
        if (connection.h == nullptr) return failed(HttpFailure::request, GetLastError());
        Handle request;
        request.h = WinHttpOpenRequest(connection.h, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES,
                                       WINHTTP_FLAG_REFRESH | (secure ? WINHTTP_FLAG_SECURE : 0));
        if (request.h == nullptr) return failed(HttpFailure::request, GetLastError());
        DWORD disabled = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS;
        WinHttpSetOption(request.h, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof(disabled));

        HCERTSTORE roots = nullptr;
        if (secure && !options.ca_file.empty()) {
            roots = load_ca_store(options.ca_file);
            if (roots == nullptr) return failed(HttpFailure::request, ERROR_FILE_NOT_FOUND);
            DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
            WinHttpSetOption(request.h, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
        }
        const bool sent = WinHttpSendRequest(request.h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                                             0, 0) &&
                          WinHttpReceiveResponse(request.h, nullptr);
        const DWORD send_error = sent ? 0 : GetLastError();
        uint32_t verify_error = 0;
        if (sent && roots != nullptr) verify_error = verify_against(request.h, roots, host);
        if (roots != nullptr) CertCloseStore(roots, 0);
        if (!sent) return failed(HttpFailure::request, send_error);
        if (verify_error != 0) return failed(HttpFailure::request, verify_error);
        if (options.cancelled && options.cancelled()) return failed(HttpFailure::cancelled, 0);

        HttpResponse r;
        DWORD status = 0;
        DWORD size = sizeof(status);
        if (!WinHttpQueryHeaders(request.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
            return failed(HttpFailure::request, GetLastError());
        r.status = status;
        if (status != 200) return r;
        std::vector<char> piece(kReadPiece);
        for (;;) {
            if (options.cancelled && options.cancelled()) return failed(HttpFailure::cancelled, 0);
            DWORD read = 0;
            if (!WinHttpReadData(request.h, piece.data(), kReadPiece, &read))
                return failed(HttpFailure::request, GetLastError());
            if (read == 0) break;
            if (r.body.size() + read > options.max_body) return failed(HttpFailure::too_big, 0);
            r.body.append(piece.data(), read);
        }
        return r;
    }
};

}  // namespace

std::unique_ptr<IHttpClient> make_http_client(IClock&) { return std::make_unique<WinHttpClient>(); }

}  // namespace sorvane::platform
