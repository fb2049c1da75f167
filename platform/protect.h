// Per-user data protection (the Windows data-protection API; on Linux
// AES-256-GCM under a random per-user key kept in a 0600 file). A blob made by
// protect opens only for the same user on the same machine.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace sorvane::platform {

// The error an unreadable blob reports (the system's "invalid data").
inline constexpr uint32_t kProtectErrorInvalidData = 13;

class IDataProtector {
public:
    virtual ~IDataProtector() = default;
    // False with the system's error code when protection failed.
    virtual bool protect(std::string_view plain, std::string_view description, std::string& blob,
                         uint32_t& error) = 0;
    // False with an error code when the blob cannot be opened (another user's
    // key, damaged data, no key at all).
    virtual bool unprotect(std::string_view blob, std::string& plain, uint32_t& error) = 0;
};

// The current user's protector. On Linux the key file is created by the first
// protect, never by unprotect.
std::unique_ptr<IDataProtector> make_user_data_protector();

}  // namespace sorvane::platform
