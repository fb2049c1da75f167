#include "viewer/media/h264_decoder.h"

#include <algorithm>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace sorvane::viewer {

struct H264Decoder::Impl {
    AVCodecContext* ctx = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    AVFrame* last = nullptr;  // a reference to the last picture
    std::vector<uint8_t> buffer;

    ~Impl() {
        av_frame_free(&last);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&ctx);
    }
};

H264Decoder::H264Decoder() : impl_(std::make_unique<Impl>()) {}
H264Decoder::~H264Decoder() = default;

bool H264Decoder::open() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (codec == nullptr) {
        error_ = "no H.264 decoder in libavcodec";
        return false;
    }
    impl_->ctx = avcodec_alloc_context3(codec);
    impl_->packet = av_packet_alloc();
    impl_->frame = av_frame_alloc();
    impl_->last = av_frame_alloc();
    if (impl_->ctx == nullptr || impl_->packet == nullptr || impl_->frame == nullptr || impl_->last == nullptr) {
        error_ = "out of memory for the decoder";
        return false;
    }
    // The host's encoder cuts each picture into slices: their threads decode
    // them side by side. Never frame threads: each holds a picture back.
    impl_->ctx->thread_type = FF_THREAD_SLICE;
    impl_->ctx->thread_count = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    impl_->ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(impl_->ctx, codec, nullptr) < 0) {
        error_ = "the H.264 decoder did not open";
        return false;
    }
    return true;
}

bool H264Decoder::decode(const uint8_t* data, size_t size, DecodedPicture& picture) {
    if (impl_->ctx == nullptr || size == 0 || size > 256u * 1024 * 1024) return false;
    impl_->buffer.assign(data, data + size);
    impl_->buffer.resize(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    impl_->packet->data = impl_->buffer.data();
    impl_->packet->size = static_cast<int>(size);
    if (avcodec_send_packet(impl_->ctx, impl_->packet) < 0) {
        error_ = "the decoder refused an access unit";
        return false;
    }
    bool got = false;
    while (avcodec_receive_frame(impl_->ctx, impl_->frame) == 0) {
        const AVFrame& f = *impl_->frame;
        const bool planar420 = f.format == AV_PIX_FMT_YUV420P || f.format == AV_PIX_FMT_YUVJ420P;
        if (planar420 && f.width > 0 && f.height > 0) {
            picture.width = static_cast<uint32_t>(f.width);
            picture.height = static_cast<uint32_t>(f.height);
            picture.frame_time_ms = read_frame_time(f.data[0], static_cast<size_t>(f.linesize[0]), picture.width,
                                                    picture.height);
            av_frame_unref(impl_->last);
            av_frame_move_ref(impl_->last, impl_->frame);
            got = true;
        } else {
            error_ = "a picture in a format other than 8-bit 4:2:0";
            av_frame_unref(impl_->frame);
        }
    }
    return got;
}

bool H264Decoder::last_planes(YuvPlanes& out) const {
    const AVFrame* f = impl_->last;
    if (f == nullptr || f->data[0] == nullptr) return false;
    out.y = f->data[0];
    out.u = f->data[1];
    out.v = f->data[2];
    out.y_pitch = static_cast<size_t>(f->linesize[0]);
    out.u_pitch = static_cast<size_t>(f->linesize[1]);
    out.v_pitch = static_cast<size_t>(f->linesize[2]);
    out.width = static_cast<uint32_t>(f->width);
    out.height = static_cast<uint32_t>(f->height);
    out.full_range = f->color_range == AVCOL_RANGE_JPEG || f->format == AV_PIX_FMT_YUVJ420P;
    out.bt601 = f->colorspace == AVCOL_SPC_BT470BG || f->colorspace == AVCOL_SPC_SMPTE170M;
    return true;
}

RgbImage H264Decoder::last_picture_rgb() const {
    const AVFrame* f = impl_->last;
    if (f == nullptr || f->data[0] == nullptr) return {};
    return yuv420_to_rgb(f->data[0], static_cast<size_t>(f->linesize[0]), f->data[1], static_cast<size_t>(f->linesize[1]),
                         f->data[2], static_cast<size_t>(f->linesize[2]), static_cast<uint32_t>(f->width),
                         static_cast<uint32_t>(f->height));
}

}  // namespace sorvane::viewer
