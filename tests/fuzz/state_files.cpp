// The readers of device_kinds.txt and display_positions.txt on any file
// content: whatever they keep, the writers write back, and reading that again
// gives the same entries (an entry never vanishes at the next save).
#include "host/core/state_files.h"
#include "tests/fuzz/fuzz_input.h"

using namespace sorvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const auto kinds = DeviceKindStore::parse(text);
    fuzz::check(DeviceKindStore::parse(DeviceKindStore::serialize(kinds)) == kinds,
                "device kinds read back differently");

    const auto positions = DisplayPositionStore::parse(text);
    fuzz::check(DisplayPositionStore::parse(DisplayPositionStore::serialize(positions)) == positions,
                "display positions read back differently");

    // The host id reader's own check.
    if (is_host_id(text)) fuzz::check(size == 36 && text[8] == '-', "host id of another form");
    return 0;
}
