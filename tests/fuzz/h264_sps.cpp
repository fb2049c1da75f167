// Sequence parameter sets from an encoder, on any NAL unit: an SPS that
// parses writes out as one that parses to the same SPS, and the rewrite gives
// a stream without reordering delay that a second rewrite leaves as it is.
#include <vector>

#include "host/media/h264_sps.h"
#include "tests/fuzz/fuzz_input.h"

using namespace sorvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> nal(data, size);

    h264::Sps sps;
    if (h264::parse_sps(nal, sps)) {
        const std::vector<uint8_t> written = h264::write_sps(sps);
        h264::Sps again;
        fuzz::check(h264::parse_sps(written, again), "a written SPS does not parse");
        fuzz::check(again.width_mbs == sps.width_mbs && again.height_map_units == sps.height_map_units &&
                        again.crop_bottom == sps.crop_bottom && again.vui_present == sps.vui_present &&
                        again.vui.max_dec_frame_buffering == sps.vui.max_dec_frame_buffering,
                    "a written SPS reads back differently");
        fuzz::check(h264::write_sps(again) == written, "an SPS writes differently once read back");
    }

    std::vector<uint8_t> rewritten;
    if (h264::rewrite_sps(nal, rewritten)) {
        h264::Sps r;
        fuzz::check(h264::parse_sps(rewritten, r), "a rewritten SPS does not parse");
        fuzz::check(r.vui_present && r.vui.bitstream_restriction && r.vui.max_num_reorder_frames == 0 &&
                        r.vui.colour_description_present,
                    "the rewrite left reordering or colour open");
        std::vector<uint8_t> twice;
        fuzz::check(h264::rewrite_sps(rewritten, twice) && twice == rewritten, "a second rewrite changed the SPS");
    }
    return 0;
}
