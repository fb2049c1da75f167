// Secure random bytes from the operating system.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvane::platform {

// Fills buf with n bytes from the system's cryptographic random source.
// False only when the source failed; buf is then unspecified.
bool secure_random(void* buf, size_t n);

// One 32-bit value of the non-deterministic source (0 when it failed).
uint32_t random_u32();

}  // namespace sorvane::platform
