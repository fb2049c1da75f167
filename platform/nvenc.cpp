#include "platform/nvenc.h"

namespace sorvane::platform {
namespace {

class AbsentNvencLibrary final : public INvencLibrary {
public:
    bool load(uint32_t& win32_error) override {
        win32_error = 126;  // ERROR_MOD_NOT_FOUND
        return false;
    }
    bool has_entry_points() override { return false; }
    int32_t max_supported_version(uint32_t& version) override {
        version = 0;
        return kNvEncErrInvalidCall;
    }
    int32_t open_session(const GpuDevice&, uint32_t, uint32_t, std::unique_ptr<INvencSession>&) override {
        return kNvEncErrNoEncodeDevice;
    }
    void unload() override {}
};

}  // namespace

std::unique_ptr<INvencLibrary> make_absent_nvenc_library() { return std::make_unique<AbsentNvencLibrary>(); }

}  // namespace sorvane::platform
