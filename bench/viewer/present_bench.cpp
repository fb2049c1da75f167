// Decode plus present per frame, as sorvane-viewer show does them: test-card
// frames encoded beforehand by the host's encoder are decoded, converted to
// the window's format and drawn in a window of the stream's size, one at a
// time. Prints per size the renderer and p50/p99 of decoding (with the
// conversion), of presenting, and of both.
//   viewer_present_bench [--frames N] [WxH...]   (default 240 frames, 1920x1080 2560x1600)
// Without a display it runs itself again under xvfb-run. Other arguments
// (those `make bench` gives every benchmark) are ignored.
#include <SDL.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tests/viewer/card_encoder.h"
#include "viewer/media/picture.h"
#include "viewer/window/decode_path.h"
#include "viewer/window/presenter.h"

namespace {

using namespace sorvane;

struct Size {
    uint32_t w, h;
};

bool run_size(platform::IClock& clock, Size size, uint32_t frames) {
    test::CardEncoder enc(clock);
    std::string error;
    if (!enc.init(size.w, size.h, 60, 20'000'000, error)) {
        std::fprintf(stderr, "encoder: %s\n", error.c_str());
        return false;
    }
    std::vector<viewer::ReceivedFrame> stream(frames);
    for (uint32_t i = 0; i < frames; ++i) {
        stream[i].frame_seq = i + 1;
        if (!enc.encode(1'000'000 + i * 16, {}, stream[i].data, stream[i].keyframe, error)) {
            std::fprintf(stderr, "encoder: %s\n", error.c_str());
            return false;
        }
    }
    viewer::PresenterOptions po;
    po.title = "Sorvane bench";
    po.width = size.w;
    po.height = size.h;
    auto presenter = viewer::Presenter::create(po, error);
    if (!presenter) {
        std::fprintf(stderr, "window: %s\n", error.c_str());
        return false;
    }
    viewer::PictureMailbox mailbox;
    viewer::DecodePath path(clock, mailbox, presenter->picture_format(), {}, {});
    if (!path.open(error)) {
        std::fprintf(stderr, "decoder: %s\n", error.c_str());
        return false;
    }
    std::vector<int64_t> decode, present, total;
    SDL_Event e;
    for (const viewer::ReceivedFrame& f : stream) {
        while (SDL_PollEvent(&e) != 0) {
        }
        const uint64_t t0 = clock.now_us();
        path.on_frame(f);
        const viewer::Picture* picture = mailbox.take();
        const uint64_t t1 = clock.now_us();
        if (picture == nullptr || !presenter->draw(picture, {}, "")) {
            std::fprintf(stderr, "frame %" PRIu32 " was not shown: %s\n", f.frame_seq, presenter->last_error().c_str());
            return false;
        }
        const uint64_t t2 = clock.now_us();
        decode.push_back(static_cast<int64_t>(t1 - t0));
        present.push_back(static_cast<int64_t>(t2 - t1));
        total.push_back(static_cast<int64_t>(t2 - t0));
    }
    auto ms = [](std::vector<int64_t>& v, double p) { return static_cast<double>(viewer::percentile(v, p)) / 1000.0; };
    std::printf("%4ux%-5u %-10s %6u %8.2f %8.2f %8.2f %8.2f %8.2f %8.2f\n", size.w, size.h,
                presenter->renderer_name().c_str(), frames, ms(decode, 50), ms(decode, 99), ms(present, 50),
                ms(present, 99), ms(total, 50), ms(total, 99));
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* d = std::getenv("DISPLAY"); d == nullptr || *d == '\0') {
        std::vector<char*> args = {const_cast<char*>("xvfb-run"), const_cast<char*>("-a"), const_cast<char*>("-s"),
                                   const_cast<char*>("-screen 0 2560x1600x24 -nolisten tcp")};
        for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        ::execvp("xvfb-run", args.data());
        std::fprintf(stderr, "viewer_present_bench: no display, and xvfb-run did not start\n");
        return 1;
    }
    uint32_t frames = 240;
    std::vector<Size> sizes;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        unsigned w = 0, h = 0;
        if (a == "--frames" && i + 1 < argc) {
            frames = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (std::sscanf(a.c_str(), "%ux%u", &w, &h) == 2 && w >= 16 && h >= 16 && w <= 8192 && h <= 8192) {
            sizes.push_back({w, h});
        }
    }
    if (frames == 0) frames = 1;
    if (sizes.empty()) sizes = {{1920, 1080}, {2560, 1600}};
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        std::fprintf(stderr, "viewer_present_bench: %s\n", SDL_GetError());
        return 1;
    }
    auto clock = platform::make_system_clock();
    std::printf("decode (H.264 + conversion to the window's format) and present per frame, ms\n");
    std::printf("%-10s %-10s %6s %8s %8s %8s %8s %8s %8s\n", "size", "renderer", "frames", "dec_p50", "dec_p99",
                "pres_p50", "pres_p99", "all_p50", "all_p99");
    for (const Size& s : sizes)
        if (!run_size(*clock, s, frames)) return 1;
    return 0;
}
