// Data protection for the current user through DPAPI.
#include <windows.h>
#include <dpapi.h>

#include <climits>

#include "platform/protect.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

DATA_BLOB blob_of(std::string_view bytes) {
    DATA_BLOB b;
    b.cbData = static_cast<DWORD>(bytes.size());
    b.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()));
    return b;
}

uint32_t last_error_or(uint32_t fallback) {
    const DWORD e = GetLastError();
    return e != 0 ? static_cast<uint32_t>(e) : fallback;
}

class DpapiProtector final : public IDataProtector {
public:
    bool protect(std::string_view plain, std::string_view description, std::string& blob, uint32_t& error) override {
        if (plain.size() > static_cast<size_t>(ULONG_MAX)) {
            error = ERROR_INVALID_PARAMETER;
            return false;
        }
        DATA_BLOB in = blob_of(plain);
        DATA_BLOB out{};
        const std::wstring desc = win32::widen(description);
        if (!CryptProtectData(&in, desc.c_str(), nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
            error = last_error_or(ERROR_INVALID_PARAMETER);
            return false;
        }
        blob.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
        LocalFree(out.pbData);
        error = 0;
        return true;
    }

    bool unprotect(std::string_view blob, std::string& plain, uint32_t& error) override {
        if (blob.empty() || blob.size() > static_cast<size_t>(ULONG_MAX)) {
            error = kProtectErrorInvalidData;
            return false;
        }
        DATA_BLOB in = blob_of(blob);
        DATA_BLOB out{};
        if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
            error = last_error_or(kProtectErrorInvalidData);
            return false;
        }
        // The plaintext may be a secret: wipe the system's copy before freeing it.
        plain.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
        SecureZeroMemory(out.pbData, out.cbData);
        LocalFree(out.pbData);
        error = 0;
        return true;
    }
};

}  // namespace

std::unique_ptr<IDataProtector> make_user_data_protector() { return std::make_unique<DpapiProtector>(); }

}  // namespace sorvane::platform
