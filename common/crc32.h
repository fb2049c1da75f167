// CRC-32 of the ZIP and PNG formats: the reflected polynomial 0xEDB88320,
// initial value and final xor 0xFFFFFFFF.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvane {

// The CRC of n bytes at data, continuing from crc (0 to start).
uint32_t crc32(const void* data, size_t n, uint32_t crc = 0);

}  // namespace sorvane
