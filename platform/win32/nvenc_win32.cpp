// The encoder's function table and structures come from its SDK header,
// which this build does not have: until it does, the library is reported
// missing and encoder selection goes on with Media Foundation.
#include "platform/nvenc.h"

namespace sorvane::platform {

std::unique_ptr<INvencLibrary> make_nvenc_library() { return make_absent_nvenc_library(); }

}  // namespace sorvane::platform
