// Linux has no NVIDIA encoder library: loading it fails as it does on a
// Windows machine without the NVIDIA driver. Tests script one with
// sim::ScriptedNvencLibrary.
#include "platform/nvenc.h"

namespace sorvane::platform {

std::unique_ptr<INvencLibrary> make_nvenc_library() { return make_absent_nvenc_library(); }

}  // namespace sorvane::platform
