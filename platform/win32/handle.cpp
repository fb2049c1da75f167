#include "platform/win32/handle.h"

#include <sddl.h>

#include <vector>

#include "platform/win32/win32_text.h"

namespace sorvane::platform::win32 {

std::string sid_text(PSID sid) {
    wchar_t* text = nullptr;
    if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) return {};
    std::string out = narrow(text);
    LocalFree(text);
    return out;
}

bool token_user_sid(HANDLE token, std::string& sid) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) return false;
    std::vector<uint8_t> buf(size);
    if (!GetTokenInformation(token, TokenUser, buf.data(), size, &size)) return false;
    sid = sid_text(reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid);
    return !sid.empty();
}

}  // namespace sorvane::platform::win32
