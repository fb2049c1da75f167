// The driver's reading of a monitor description handed back by the display
// system (any bytes), and the EDIDs it builds itself for any request read
// back as the mode they were built for.
#include "driver/core/edid.h"
#include "tests/fuzz/fuzz_input.h"

using namespace sorvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const vdd::LineLogger quiet;
    if (data[0] & 1) {
        // A description from the display system: known serials get their list.
        const vdd::ModeLookup lookup = [](uint32_t serial, vdd::ModeList& out) {
            if (serial % 3 != 0) return false;
            out = vdd::build_mode_list(1920, 1080, 60);
            return true;
        };
        const vdd::ModeList modes = vdd::modes_from_description(data + 1, size - 1, lookup, quiet);
        for (const vdd::Mode& m : modes) fuzz::check(m.width > 0 && m.height > 0 && m.refresh > 0, "an empty mode");
        return 0;
    }
    fuzz::Input in(data + 1, size - 1);
    vdd::EdidInput e;
    e.maker = std::string(in.bytes(3));
    e.product = in.u16();
    e.serial = in.u32();
    e.width = in.u16() % 4100;
    e.height = in.u16() % 4100;
    e.refresh = in.u8();
    e.width_mm = in.u16() % 2600;
    e.height_mm = in.u16() % 2600;
    e.name = std::string(in.rest().substr(0, 16));
    std::string detail;
    const std::vector<uint8_t> edid = vdd::build_edid(e, detail);
    if (edid.empty()) {
        fuzz::check(!detail.empty(), "refused without a detail");
        return 0;
    }
    fuzz::check(edid.size() == 2 * vdd::kEdidBlockSize, "EDID of another size");
    for (size_t block = 0; block < 2; ++block) {
        uint8_t sum = 0;
        for (size_t i = 0; i < vdd::kEdidBlockSize; ++i) sum = static_cast<uint8_t>(sum + edid[block * 128 + i]);
        fuzz::check(sum == 0, "block checksum");
    }
    const vdd::ModeList modes = vdd::modes_from_description(edid.data(), edid.size(), {}, quiet);
    if (!modes.empty()) {
        fuzz::check(modes[0].width == e.width && modes[0].height == e.height, "EDID reads back as another size");
    }
    return 0;
}
