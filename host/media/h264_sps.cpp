#include "host/media/h264_sps.h"

#include "host/media/h264_bits.h"

namespace sorvane::h264 {

namespace {

bool has_chroma_info(uint32_t profile) {
    switch (profile) {
        case 100: case 110: case 122: case 244: case 44: case 83: case 86:
        case 118: case 128: case 138: case 139: case 134: case 135:
            return true;
        default:
            return false;
    }
}

void skip_scaling_list(BitReader& r, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && !r.failed(); ++j) {
        if (next != 0) {
            // A delta outside -128..127 is invalid; it must still not overflow.
            const int64_t delta = r.se();
            next = static_cast<int>(((last + delta) % 256 + 256) % 256);
        }
        last = next == 0 ? last : next;
    }
}

void read_hrd(BitReader& r, Hrd& h) {
    h.cpb_cnt_minus1 = r.ue();
    if (h.cpb_cnt_minus1 > 31) {
        h.cpb_cnt_minus1 = 0;
        r.bits(64);  // force a failure: at most 32 schedules exist
        return;
    }
    h.bit_rate_scale = r.bits(4);
    h.cpb_size_scale = r.bits(4);
    for (uint32_t i = 0; i <= h.cpb_cnt_minus1; ++i) {
        h.bit_rate_value_minus1.push_back(r.ue());
        h.cpb_size_value_minus1.push_back(r.ue());
        h.cbr_flag.push_back(static_cast<uint8_t>(r.bits(1)));
    }
    h.initial_cpb_removal_delay_length_minus1 = r.bits(5);
    h.cpb_removal_delay_length_minus1 = r.bits(5);
    h.dpb_output_delay_length_minus1 = r.bits(5);
    h.time_offset_length = r.bits(5);
}

void write_hrd(BitWriter& w, const Hrd& h) {
    w.ue(h.cpb_cnt_minus1);
    w.bits(4, h.bit_rate_scale);
    w.bits(4, h.cpb_size_scale);
    for (uint32_t i = 0; i <= h.cpb_cnt_minus1; ++i) {
        w.ue(i < h.bit_rate_value_minus1.size() ? h.bit_rate_value_minus1[i] : 0);
        w.ue(i < h.cpb_size_value_minus1.size() ? h.cpb_size_value_minus1[i] : 0);
        w.bits(1, i < h.cbr_flag.size() ? h.cbr_flag[i] : 0);
    }
    w.bits(5, h.initial_cpb_removal_delay_length_minus1);
    w.bits(5, h.cpb_removal_delay_length_minus1);
    w.bits(5, h.dpb_output_delay_length_minus1);
    w.bits(5, h.time_offset_length);
}

void read_vui(BitReader& r, Vui& v) {
    v.aspect_ratio_info_present = r.flag();
    if (v.aspect_ratio_info_present) {
        v.aspect_ratio_idc = r.bits(8);
        if (v.aspect_ratio_idc == 255) {
            v.sar_width = r.bits(16);
            v.sar_height = r.bits(16);
        }
    }
    v.overscan_info_present = r.flag();
    if (v.overscan_info_present) v.overscan_appropriate = r.flag();
    v.video_signal_type_present = r.flag();
    if (v.video_signal_type_present) {
        v.video_format = r.bits(3);
        v.video_full_range = r.flag();
        v.colour_description_present = r.flag();
        if (v.colour_description_present) {
            v.colour_primaries = r.bits(8);
            v.transfer_characteristics = r.bits(8);
            v.matrix_coefficients = r.bits(8);
        }
    }
    v.chroma_loc_info_present = r.flag();
    if (v.chroma_loc_info_present) {
        v.chroma_sample_loc_type_top = r.ue();
        v.chroma_sample_loc_type_bottom = r.ue();
    }
    v.timing_info_present = r.flag();
    if (v.timing_info_present) {
        v.num_units_in_tick = r.bits(32);
        v.time_scale = r.bits(32);
        v.fixed_frame_rate = r.flag();
    }
    v.nal_hrd_present = r.flag();
    if (v.nal_hrd_present) read_hrd(r, v.nal_hrd);
    v.vcl_hrd_present = r.flag();
    if (v.vcl_hrd_present) read_hrd(r, v.vcl_hrd);
    if (v.nal_hrd_present || v.vcl_hrd_present) v.low_delay_hrd = r.flag();
    v.pic_struct_present = r.flag();
    v.bitstream_restriction = r.flag();
    if (v.bitstream_restriction) {
        v.motion_vectors_over_pic_boundaries = r.flag();
        v.max_bytes_per_pic_denom = r.ue();
        v.max_bits_per_mb_denom = r.ue();
        v.log2_max_mv_length_horizontal = r.ue();
        v.log2_max_mv_length_vertical = r.ue();
        v.max_num_reorder_frames = r.ue();
        v.max_dec_frame_buffering = r.ue();
    }
}

void write_vui(BitWriter& w, const Vui& v) {
    w.flag(v.aspect_ratio_info_present);
    if (v.aspect_ratio_info_present) {
        w.bits(8, v.aspect_ratio_idc);
        if (v.aspect_ratio_idc == 255) {
            w.bits(16, v.sar_width);
            w.bits(16, v.sar_height);
        }
    }
    w.flag(v.overscan_info_present);
    if (v.overscan_info_present) w.flag(v.overscan_appropriate);
    w.flag(v.video_signal_type_present);
    if (v.video_signal_type_present) {
        w.bits(3, v.video_format);
        w.flag(v.video_full_range);
        w.flag(v.colour_description_present);
        if (v.colour_description_present) {
            w.bits(8, v.colour_primaries);
            w.bits(8, v.transfer_characteristics);
            w.bits(8, v.matrix_coefficients);
        }
    }
    w.flag(v.chroma_loc_info_present);
    if (v.chroma_loc_info_present) {
        w.ue(v.chroma_sample_loc_type_top);
        w.ue(v.chroma_sample_loc_type_bottom);
    }
    w.flag(v.timing_info_present);
    if (v.timing_info_present) {
        w.bits(32, v.num_units_in_tick);
        w.bits(32, v.time_scale);
        w.flag(v.fixed_frame_rate);
    }
    w.flag(v.nal_hrd_present);
    if (v.nal_hrd_present) write_hrd(w, v.nal_hrd);
    w.flag(v.vcl_hrd_present);
    if (v.vcl_hrd_present) write_hrd(w, v.vcl_hrd);
    if (v.nal_hrd_present || v.vcl_hrd_present) w.flag(v.low_delay_hrd);
    w.flag(v.pic_struct_present);
    w.flag(v.bitstream_restriction);
    if (v.bitstream_restriction) {
        w.flag(v.motion_vectors_over_pic_boundaries);
        w.ue(v.max_bytes_per_pic_denom);
        w.ue(v.max_bits_per_mb_denom);
        w.ue(v.log2_max_mv_length_horizontal);
        w.ue(v.log2_max_mv_length_vertical);
        w.ue(v.max_num_reorder_frames);
        w.ue(v.max_dec_frame_buffering);
    }
}

}  // namespace

bool parse_sps(std::span<const uint8_t> nal, Sps& out) {
    if (nal.size() < 4 || (nal[0] & 0x1F) != 7) return false;
    std::vector<uint8_t> raw = unescape(nal);
    std::span<const uint8_t> rbsp(raw.data() + 1, raw.size() - 1);
    BitReader r(rbsp);
    Sps s;
    s.nal_header = nal[0];
    s.profile_idc = r.bits(8);
    s.constraint_flags = r.bits(8);
    s.level_idc = r.bits(8);
    s.sps_id = r.ue();
    if (has_chroma_info(s.profile_idc)) {
        s.chroma_format_idc = r.ue();
        if (s.chroma_format_idc == 3) r.bits(1);
        r.ue();  // bit_depth_luma_minus8
        r.ue();  // bit_depth_chroma_minus8
        r.bits(1);
        if (r.flag()) {
            int lists = s.chroma_format_idc != 3 ? 8 : 12;
            for (int i = 0; i < lists && !r.failed(); ++i) {
                if (r.flag()) skip_scaling_list(r, i < 6 ? 16 : 64);
            }
        }
    }
    r.ue();  // log2_max_frame_num_minus4
    uint32_t poc_type = r.ue();
    if (poc_type == 0) {
        r.ue();
    } else if (poc_type == 1) {
        r.bits(1);
        r.se();
        r.se();
        uint32_t cycle = r.ue();
        if (cycle > 255) return false;
        for (uint32_t i = 0; i < cycle && !r.failed(); ++i) r.se();
    } else if (poc_type != 2) {
        return false;
    }
    s.max_num_ref_frames = r.ue();
    r.bits(1);  // gaps_in_frame_num_value_allowed_flag
    s.width_mbs = r.ue() + 1;
    s.height_map_units = r.ue() + 1;
    s.frame_mbs_only = r.flag();
    if (!s.frame_mbs_only) r.bits(1);
    r.bits(1);  // direct_8x8_inference_flag
    s.frame_cropping = r.flag();
    if (s.frame_cropping) {
        s.crop_left = r.ue();
        s.crop_right = r.ue();
        s.crop_top = r.ue();
        s.crop_bottom = r.ue();
    }
    if (r.failed()) return false;
    s.prefix_bits = r.position();
    BitWriter prefix;
    for (size_t i = 0; i < s.prefix_bits; ++i) prefix.flag(r.bit_at(i));
    s.prefix = prefix.bytes();
    s.vui_present = r.flag();
    if (s.vui_present) read_vui(r, s.vui);
    if (r.failed()) return false;
    out = std::move(s);
    return true;
}

std::vector<uint8_t> write_sps(const Sps& sps) {
    BitWriter w;
    BitReader prefix(sps.prefix);
    for (size_t i = 0; i < sps.prefix_bits; ++i) w.flag(prefix.bit_at(i));
    w.flag(sps.vui_present);
    if (sps.vui_present) write_vui(w, sps.vui);
    w.trailing_bits();
    std::vector<uint8_t> rbsp;
    rbsp.reserve(w.bytes().size() + 1);
    rbsp.push_back(sps.nal_header);
    rbsp.insert(rbsp.end(), w.bytes().begin(), w.bytes().end());
    return escape(rbsp);
}

bool rewrite_sps(std::span<const uint8_t> nal, std::vector<uint8_t>& out) {
    Sps s;
    if (!parse_sps(nal, s)) return false;
    Vui& v = s.vui;
    if (!s.vui_present) v = Vui{};
    bool had_restriction = s.vui_present && v.bitstream_restriction;
    if (!v.video_signal_type_present || !v.colour_description_present) {
        v.video_signal_type_present = true;
        v.video_format = 5;
        v.video_full_range = false;
        v.colour_description_present = true;
        v.colour_primaries = 1;
        v.transfer_characteristics = 1;
        v.matrix_coefficients = 1;
    }
    if (!had_restriction) {
        v.motion_vectors_over_pic_boundaries = true;
        v.max_bytes_per_pic_denom = 2;
        v.max_bits_per_mb_denom = 1;
        v.log2_max_mv_length_horizontal = 15;
        v.log2_max_mv_length_vertical = 15;
    }
    v.bitstream_restriction = true;
    v.max_num_reorder_frames = 0;
    v.max_dec_frame_buffering = s.max_num_ref_frames > 0 ? s.max_num_ref_frames : 1;
    s.vui_present = true;
    out = write_sps(s);
    return true;
}

}  // namespace sorvane::h264
