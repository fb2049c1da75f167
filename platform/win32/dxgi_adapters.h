// DXGI adapters as the ports describe them, shared by the GPU, duplication
// and Media Foundation ports.
#pragma once

#include <dxgi1_6.h>

#include <vector>

#include "platform/texture.h"

namespace sorvane::platform::win32 {

AdapterDesc describe_adapter(IDXGIAdapter1* adapter, uint32_t index);

// The adapters in the DXGI factory's order, each with its place in that order;
// the factory's HRESULT on failure (out then holds those listed before it).
HRESULT enum_adapters(std::vector<AdapterDesc>& out);

}  // namespace sorvane::platform::win32
