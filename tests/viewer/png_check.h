// Reads a PNG file back with libavcodec's decoder, as an independent check
// of the viewer's writer.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <cstdint>
#include <vector>

#include "viewer/media/picture.h"

namespace sorvane::test {

// False when libavcodec does not take the bytes as an RGB PNG.
inline bool decode_png(const std::vector<uint8_t>& png, viewer::RgbImage& out) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    if (codec == nullptr) return false;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::vector<uint8_t> buffer(png);
    buffer.resize(png.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    packet->data = buffer.data();
    packet->size = static_cast<int>(png.size());
    bool ok = avcodec_open2(ctx, codec, nullptr) == 0 && avcodec_send_packet(ctx, packet) == 0 &&
              avcodec_receive_frame(ctx, frame) == 0 && frame->format == AV_PIX_FMT_RGB24;
    if (ok) {
        out.width = static_cast<uint32_t>(frame->width);
        out.height = static_cast<uint32_t>(frame->height);
        out.pixels.clear();
        for (int y = 0; y < frame->height; ++y) {
            const uint8_t* row = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
            out.pixels.insert(out.pixels.end(), row, row + static_cast<ptrdiff_t>(frame->width) * 3);
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    return ok;
}

}  // namespace sorvane::test
