// Writes test-card frames as raw rgb24 (the frames media_bench encodes, for a
// general-purpose encoder pipeline to encode the same):
//   card_frames WIDTH HEIGHT FRAMES OUT
// Frame i shows the card at 60 Hz frame times from a fixed start.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/sim/test_card.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fputs("usage: card_frames WIDTH HEIGHT FRAMES OUT\n", stderr);
        return 2;
    }
    const uint32_t w = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
    const uint32_t h = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const uint32_t n = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
    std::FILE* out = std::fopen(argv[4], "wb");
    if (w == 0 || h == 0 || n == 0 || out == nullptr) {
        std::fputs("card_frames: bad size, count or output\n", stderr);
        return 1;
    }
    sorvane::platform::CpuTexture card;
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
    for (uint32_t i = 0; i < n; ++i) {
        sorvane::sim::compose_test_card(w, h, 1'765'000'000'000ull + 17ull * i, {}, card);
        for (uint32_t y = 0; y < h; ++y) {
            const uint8_t* s = card.row(y);
            uint8_t* d = rgb.data() + static_cast<size_t>(y) * w * 3;
            for (uint32_t x = 0; x < w; ++x) {
                d[x * 3] = s[x * 4 + 2];
                d[x * 3 + 1] = s[x * 4 + 1];
                d[x * 3 + 2] = s[x * 4];
            }
        }
        if (std::fwrite(rgb.data(), 1, rgb.size(), out) != rgb.size()) {
            std::fputs("card_frames: write failed\n", stderr);
            return 1;
        }
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
