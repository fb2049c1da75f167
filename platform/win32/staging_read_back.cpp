#include "platform/win32/staging_read_back.h"

#include <dxgi.h>

#include <cstring>

namespace sorvane::platform::win32 {

HRESULT StagingReadBack::read(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11Texture2D* texture,
                              CpuTexture& out) {
    D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);
    if (desc.Format != DXGI_FORMAT_B8G8R8A8_UNORM || desc.Width == 0 || desc.Height == 0) {
        return DXGI_ERROR_UNSUPPORTED;
    }
    if (out.width != desc.Width || out.height != desc.Height || out.format != kFormatBgra8 || out.empty()) {
        if (!out.allocate(desc.Width, desc.Height, kFormatBgra8)) return E_OUTOFMEMORY;
    }
    if (staging_.p == nullptr || width_ != desc.Width || height_ != desc.Height) {
        if (staging_.p != nullptr) staging_.p->Release();
        staging_.p = nullptr;
        D3D11_TEXTURE2D_DESC sd{};
        sd.Width = desc.Width;
        sd.Height = desc.Height;
        sd.MipLevels = 1;
        sd.ArraySize = 1;
        sd.Format = desc.Format;
        sd.SampleDesc.Count = 1;
        sd.Usage = D3D11_USAGE_STAGING;
        sd.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
        const HRESULT hr = device->CreateTexture2D(&sd, nullptr, &staging_.p);
        if (FAILED(hr)) return hr;
        width_ = desc.Width;
        height_ = desc.Height;
    }
    context->CopyResource(staging_.p, texture);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    const HRESULT hr = context->Map(staging_.p, 0, D3D11_MAP_READ, 0, &mapped);
    if (FAILED(hr)) return hr;
    if (mapped.pData == nullptr || mapped.RowPitch < out.pitch) {
        context->Unmap(staging_.p, 0);
        return E_UNEXPECTED;
    }
    const auto* src = static_cast<const uint8_t*>(mapped.pData);
    for (uint32_t y = 0; y < out.height; ++y) {
        std::memcpy(out.row(y), src + static_cast<size_t>(y) * mapped.RowPitch, out.pitch);
    }
    context->Unmap(staging_.p, 0);
    return S_OK;
}

}  // namespace sorvane::platform::win32
