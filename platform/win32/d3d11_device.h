// The Direct3D 11 device a GpuDevice carries on Windows, shared by the ports
// that put textures or encoders on it.
#pragma once

#include <d3d11.h>

#include <memory>

#include "platform/texture.h"

namespace sorvane::platform::win32 {

// The GpuDevice takes its own reference of the device.
inline void hold_d3d11_device(GpuDevice& gpu, ID3D11Device* device) {
    device->AddRef();
    gpu.native = std::shared_ptr<void>(static_cast<void*>(device),
                                       [](void* p) { static_cast<ID3D11Device*>(p)->Release(); });
}

// Null when the GpuDevice was not made by a Windows port.
inline ID3D11Device* d3d11_device(const GpuDevice& gpu) { return static_cast<ID3D11Device*>(gpu.native.get()); }

}  // namespace sorvane::platform::win32
