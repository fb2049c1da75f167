// Reads BGRA textures back into memory through one staging texture, made on
// first use and made again when the size changes.
#pragma once

#include <d3d11.h>

#include <cstdint>

#include "platform/texture.h"
#include "platform/win32/com.h"

namespace sorvane::platform::win32 {

class StagingReadBack {
public:
    // Copies the texture into out as BGRA rows of width x 4 bytes, reading the
    // mapping at its own row pitch. Other formats: DXGI_ERROR_UNSUPPORTED.
    // On failure out keeps its size but not necessarily its pixels.
    HRESULT read(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11Texture2D* texture, CpuTexture& out);

private:
    Released<ID3D11Texture2D> staging_;
    uint32_t width_ = 0, height_ = 0;
};

}  // namespace sorvane::platform::win32
