// DXGI adapters as the ports describe them, shared by the GPU, duplication
// and Media Foundation ports.
#pragma once

#include <dxgi1_6.h>

#include "platform/texture.h"

namespace sorvane::platform::win32 {

AdapterDesc describe_adapter(IDXGIAdapter1* adapter, uint32_t index);

}  // namespace sorvane::platform::win32
