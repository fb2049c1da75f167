// Windows result codes the ports return as plain integers, so log lines and
// error texts read the same on every platform.
#pragma once

#include <cstdint>

namespace sorvane::platform {

inline constexpr int32_t kSOk = 0;
inline constexpr int32_t kENotImpl = static_cast<int32_t>(0x80004001u);
inline constexpr int32_t kENoInterface = static_cast<int32_t>(0x80004002u);
inline constexpr int32_t kEFail = static_cast<int32_t>(0x80004005u);
inline constexpr int32_t kEUnexpected = static_cast<int32_t>(0x8000FFFFu);
inline constexpr int32_t kEInvalidArg = static_cast<int32_t>(0x80070057u);

}  // namespace sorvane::platform
