// Textures as the capture and encode paths see them. Linux has no GPU here, so
// a texture is a block of memory with the Direct3D format code it stands for;
// the passes that run on the GPU under Windows run on the CPU with the same
// maths. A GpuDevice names the adapter a texture or an encoder lives on and,
// on Windows, holds the Direct3D 11 device itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sorvane::platform {

// Direct3D (DXGI) format codes.
inline constexpr uint32_t kFormatBgra8 = 87;  // DXGI_FORMAT_B8G8R8A8_UNORM
inline constexpr uint32_t kFormatR8 = 61;     // DXGI_FORMAT_R8_UNORM
inline constexpr uint32_t kFormatNv12 = 103;  // DXGI_FORMAT_NV12

struct CpuTexture {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t format = 0;
    // Bytes from one row to the next. NV12: the luma rows and the chroma rows
    // share it, and the chroma plane starts at pitch x height.
    uint32_t pitch = 0;
    std::vector<uint8_t> data;

    // Sizes the texture for a format (87, 61 or 103; NV12 needs even sizes).
    // Returns false, leaving the texture empty, for anything else.
    bool allocate(uint32_t w, uint32_t h, uint32_t fmt);
    bool empty() const { return data.empty(); }
    uint8_t* row(uint32_t y) { return data.data() + static_cast<size_t>(y) * pitch; }
    const uint8_t* row(uint32_t y) const { return data.data() + static_cast<size_t>(y) * pitch; }
};

// What an adapter says about itself (DXGI_ADAPTER_DESC1).
struct AdapterDesc {
    uint32_t index = 0;        // position in the factory's enumeration
    std::string description;   // UTF-8
    uint32_t vendor_id = 0;
    uint64_t luid = 0;         // high part in the upper 32 bits
    bool software = false;     // DXGI_ADAPTER_FLAG_SOFTWARE
    uint32_t device_id = 0;
    uint32_t subsys_id = 0;
    uint32_t revision = 0;
    uint64_t dedicated_video_memory = 0;  // bytes
};

// A Direct3D device: where textures live and which adapter runs them.
struct GpuDevice {
    AdapterDesc adapter;
    // The operating system's device object (ID3D11Device on Windows, released
    // with the last copy of this handle); empty where textures are memory.
    std::shared_ptr<void> native{};
};

// BGRA to NV12, BT.709 studio range, per 2 x 2 block of pixels (integer maths,
// arithmetic right shifts):
//   Y = ((16 B + 157 G + 47 R + 128) >> 8) + 16 for each pixel;
//   with B', G', R' the block's sums shifted right by 2:
//   U = ((112 B' - 87 G' - 26 R' + 128) >> 8) + 128,
//   V = ((112 R' - 102 G' - 10 B' + 128) >> 8) + 128.
// Odd sizes: the last block column or row repeats the edge pixels, and the
// chroma plane has ceil(w/2) pairs per row and ceil(h/2) rows.
// src: w x h BGRA at src_pitch; y: luma at y_pitch; uv: interleaved U, V at uv_pitch.
void bgra_to_nv12_scalar(const uint8_t* src, size_t src_pitch, uint32_t w, uint32_t h, uint8_t* y, size_t y_pitch,
                         uint8_t* uv, size_t uv_pitch);
// The same result bit for bit, 16 pixels at a time with SSE2 where the CPU has it.
void bgra_to_nv12(const uint8_t* src, size_t src_pitch, uint32_t w, uint32_t h, uint8_t* y, size_t y_pitch,
                  uint8_t* uv, size_t uv_pitch);
// True when bgra_to_nv12 uses vector instructions on this build.
bool bgra_to_nv12_vectorised();

// Converts a BGRA texture into an NV12 texture of the same (even) size.
bool convert_texture_to_nv12(const CpuTexture& bgra, CpuTexture& nv12);

}  // namespace sorvane::platform
