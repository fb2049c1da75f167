// Windows result codes the ports carry as plain integers, so the logic can
// branch on them and print them the same way on every platform.
#pragma once

#include <cstdint>
#include <string>

namespace sorvane::platform {

// Win32 error codes.
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorInvalidData = 13;
inline constexpr uint32_t kErrorNotReady = 21;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorNoMoreItems = 259;
inline constexpr uint32_t kErrorTimeout = 1460;
inline constexpr uint32_t kErrorNotFound = 1168;
inline constexpr uint32_t kErrorSuccessRebootRequired = 3010;

// SetupAPI codes (customer bit set).
inline constexpr uint32_t kErrorNoSuchDevinst = 0xE000020B;
inline constexpr uint32_t kErrorInvalidClass = 0xE0000209;
inline constexpr uint32_t kErrorNoCatalogForOemInf = 0xE000022F;
inline constexpr uint32_t kErrorFileHashNotInCatalog = 0xE000024B;
inline constexpr uint32_t kErrorDeviceInstallerNotReady = 0xE0000246;

// HRESULTs of the key provider, certificate stores and signature checks.
inline constexpr uint32_t kNteBadKeyset = 0x80090016;
inline constexpr uint32_t kNteExists = 0x8009000F;
inline constexpr uint32_t kNteBadKeysetParam = 0x8009001F;
inline constexpr uint32_t kCryptENotFound = 0x80092004;
inline constexpr uint32_t kTrustENoSignature = 0x800B0100;
inline constexpr uint32_t kTrustEBadDigest = 0x80096010;
inline constexpr uint32_t kCertEUntrustedRoot = 0x800B0109;
inline constexpr uint32_t kEFail = 0x80004005;

}  // namespace sorvane::platform
