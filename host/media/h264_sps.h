// Sequence parameter sets: parsing up to and including the VUI, writing the
// VUI back, and the rewrite that makes a stream decodable without reordering
// delay (BT.709 limited range when no colour description is present, and a
// bitstream restriction with no reordered frames).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace sorvane::h264 {

struct Hrd {
    uint32_t cpb_cnt_minus1 = 0;
    uint32_t bit_rate_scale = 0, cpb_size_scale = 0;
    std::vector<uint32_t> bit_rate_value_minus1, cpb_size_value_minus1;
    std::vector<uint8_t> cbr_flag;
    uint32_t initial_cpb_removal_delay_length_minus1 = 0, cpb_removal_delay_length_minus1 = 0;
    uint32_t dpb_output_delay_length_minus1 = 0, time_offset_length = 0;
};

struct Vui {
    bool aspect_ratio_info_present = false;
    uint32_t aspect_ratio_idc = 0, sar_width = 0, sar_height = 0;
    bool overscan_info_present = false, overscan_appropriate = false;
    bool video_signal_type_present = false;
    uint32_t video_format = 5;
    bool video_full_range = false;
    bool colour_description_present = false;
    uint32_t colour_primaries = 2, transfer_characteristics = 2, matrix_coefficients = 2;
    bool chroma_loc_info_present = false;
    uint32_t chroma_sample_loc_type_top = 0, chroma_sample_loc_type_bottom = 0;
    bool timing_info_present = false;
    uint32_t num_units_in_tick = 0, time_scale = 0;
    bool fixed_frame_rate = false;
    bool nal_hrd_present = false, vcl_hrd_present = false;
    Hrd nal_hrd, vcl_hrd;
    bool low_delay_hrd = false;
    bool pic_struct_present = false;
    bool bitstream_restriction = false;
    bool motion_vectors_over_pic_boundaries = false;
    uint32_t max_bytes_per_pic_denom = 0, max_bits_per_mb_denom = 0;
    uint32_t log2_max_mv_length_horizontal = 0, log2_max_mv_length_vertical = 0;
    uint32_t max_num_reorder_frames = 0, max_dec_frame_buffering = 0;
};

struct Sps {
    uint8_t nal_header = 0x67;
    uint32_t profile_idc = 0, constraint_flags = 0, level_idc = 0;
    uint32_t sps_id = 0;
    uint32_t chroma_format_idc = 1;
    uint32_t max_num_ref_frames = 0;
    uint32_t width_mbs = 0, height_map_units = 0;
    bool frame_mbs_only = true;
    bool frame_cropping = false;
    uint32_t crop_left = 0, crop_right = 0, crop_top = 0, crop_bottom = 0;
    bool vui_present = false;
    Vui vui;
    // The RBSP bits before vui_parameters_present_flag, kept as read.
    std::vector<uint8_t> prefix;
    size_t prefix_bits = 0;
};

// Parses an SPS NAL unit (header byte included, emulation prevention in
// place). False when it is not an SPS or is cut short.
bool parse_sps(std::span<const uint8_t> nal, Sps& out);
// Writes an SPS NAL unit: the kept prefix bit for bit, the VUI flag and VUI
// of sps, trailing bits and emulation prevention.
std::vector<uint8_t> write_sps(const Sps& sps);
// The rewrite; false (out untouched) when the SPS cannot be parsed.
bool rewrite_sps(std::span<const uint8_t> nal, std::vector<uint8_t>& out);

}  // namespace sorvane::h264
