// Decodes Annex-B access units one at a time with libavcodec, the
// independent check of what the encoders make.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sorvane::test {

class H264Decoder {
public:
    H264Decoder() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        ctx_ = avcodec_alloc_context3(codec);
        ctx_->thread_count = 1;
        ok_ = avcodec_open2(ctx_, codec, nullptr) == 0;
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
    }
    ~H264Decoder() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&ctx_);
    }
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    bool ok() const { return ok_; }
    // Sends one access unit; true when a picture came out for it at once.
    bool decode(const uint8_t* data, size_t size) {
        buffer_.assign(data, data + size);
        buffer_.resize(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        packet_->data = buffer_.data();
        packet_->size = static_cast<int>(size);
        if (avcodec_send_packet(ctx_, packet_) < 0) return false;
        return avcodec_receive_frame(ctx_, frame_) == 0;
    }
    const AVFrame& frame() const { return *frame_; }
    // The luma sample at (x, y) of the last picture.
    int luma(uint32_t x, uint32_t y) const { return frame_->data[0][static_cast<size_t>(y) * frame_->linesize[0] + x]; }

private:
    AVCodecContext* ctx_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    std::vector<uint8_t> buffer_;
    bool ok_ = false;
};

}  // namespace sorvane::test
