#include "host/media/color_vibrance.h"

#include <atomic>
#include <mutex>

#include "host/core/settings.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define SORVANE_HAVE_SSE2 1
#endif

namespace sorvane {
namespace {

std::atomic<uint32_t> g_level{0};
std::once_flag g_level_once;

constexpr float kWr = 0.2126f, kWg = 0.7152f, kWb = 0.0722f;

inline uint8_t to_unorm(float v) {
    v = v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v);
    return static_cast<uint8_t>(static_cast<int>(v * 255.0f + 0.5f));
}

// v / 255 for every byte: the very floats the division gives (a multiplication
// by 1/255 differs for half the values), so that the passes below read them
// instead of dividing three times a pixel and stay exact.
struct UnormTable {
    float v[256];
    UnormTable() {
        for (int i = 0; i < 256; ++i) v[i] = static_cast<float>(i) / 255.0f;
    }
};
const UnormTable kUnorm;

// The formula on floats b, g, r in 0..1; the order of the operations is the
// definition's (the vector forms keep it, and no multiply-add is fused).
inline void pixel_of(float b, float g, float r, uint8_t a, float f, uint8_t* d) {
    float y = r * kWr;
    y = y + g * kWg;
    y = y + b * kWb;
    float t;
    t = f * (b - y);
    d[0] = to_unorm(y + t);
    t = f * (g - y);
    d[1] = to_unorm(y + t);
    t = f * (r - y);
    d[2] = to_unorm(y + t);
    d[3] = a;
}

// The definition: each channel divided by 255.
inline void pixel(const uint8_t* s, float f, uint8_t* d) {
    pixel_of(static_cast<float>(s[0]) / 255.0f, static_cast<float>(s[1]) / 255.0f, static_cast<float>(s[2]) / 255.0f,
             s[3], f, d);
}

inline void table_pixel(const uint8_t* s, float f, uint8_t* d) {
    pixel_of(kUnorm.v[s[0]], kUnorm.v[s[1]], kUnorm.v[s[2]], s[3], f, d);
}

void scalar_row(const uint8_t* s, uint32_t from, uint32_t w, float f, uint8_t* d) {
    for (uint32_t x = from; x < w; ++x) pixel(s + x * 4, f, d + x * 4);
}

void table_row(const uint8_t* s, uint32_t from, uint32_t w, float f, uint8_t* d) {
    for (uint32_t x = from; x < w; ++x) table_pixel(s + x * 4, f, d + x * 4);
}

#ifdef SORVANE_HAVE_SSE2
inline __m128i channel_to_unorm(__m128 v, __m128 zero, __m128 one, __m128 k255, __m128 half) {
    v = _mm_min_ps(_mm_max_ps(v, zero), one);
    return _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(v, k255), half));
}

// Four pixels a step. A step of one colour equal to the last pixel computed
// (flat areas: most of a desktop) takes that pixel's result as it is.
void sse2_row(const uint8_t* s, uint32_t w, float f, uint8_t* d) {
    const float* t = kUnorm.v;
    const __m128 k255 = _mm_set1_ps(255.0f);
    const __m128 wr = _mm_set1_ps(kWr), wg = _mm_set1_ps(kWg), wb = _mm_set1_ps(kWb);
    const __m128 vf = _mm_set1_ps(f), zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f), half = _mm_set1_ps(0.5f);
    __m128i last_in = _mm_setzero_si128(), last_out = _mm_setzero_si128();
    bool have_last = false;
    uint32_t x = 0;
    for (; x + 4 <= w; x += 4) {
        const uint8_t* p = s + x * 4;
        const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        if (have_last && _mm_movemask_epi8(_mm_cmpeq_epi32(px, last_in)) == 0xFFFF) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x * 4), last_out);
            continue;
        }
        const __m128 b = _mm_setr_ps(t[p[0]], t[p[4]], t[p[8]], t[p[12]]);
        const __m128 g = _mm_setr_ps(t[p[1]], t[p[5]], t[p[9]], t[p[13]]);
        const __m128 r = _mm_setr_ps(t[p[2]], t[p[6]], t[p[10]], t[p[14]]);
        __m128 y = _mm_mul_ps(r, wr);
        y = _mm_add_ps(y, _mm_mul_ps(g, wg));
        y = _mm_add_ps(y, _mm_mul_ps(b, wb));
        const __m128i ob = channel_to_unorm(_mm_add_ps(y, _mm_mul_ps(vf, _mm_sub_ps(b, y))), zero, one, k255, half);
        const __m128i og = channel_to_unorm(_mm_add_ps(y, _mm_mul_ps(vf, _mm_sub_ps(g, y))), zero, one, k255, half);
        const __m128i orr = channel_to_unorm(_mm_add_ps(y, _mm_mul_ps(vf, _mm_sub_ps(r, y))), zero, one, k255, half);
        const __m128i alpha = _mm_andnot_si128(_mm_set1_epi32(0x00FFFFFF), px);
        __m128i out = _mm_or_si128(ob, _mm_slli_epi32(og, 8));
        out = _mm_or_si128(out, _mm_slli_epi32(orr, 16));
        out = _mm_or_si128(out, alpha);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x * 4), out);
        last_in = _mm_shuffle_epi32(px, 0xFF);
        last_out = _mm_shuffle_epi32(out, 0xFF);
        have_last = true;
    }
    table_row(s, x, w, f, d);
}
#endif

}  // namespace

VibranceLevel current_vibrance_level() {
    std::call_once(g_level_once, [] {
        std::optional<std::string> v = settings_get(kSettingColorVibrance);
        std::optional<VibranceLevel> level = v ? parse_vibrance_level(*v) : std::nullopt;
        // A level set before the first read wins over the stored one.
        uint32_t expected = 0;
        g_level.compare_exchange_strong(expected, static_cast<uint32_t>(level.value_or(VibranceLevel::off)));
    });
    return static_cast<VibranceLevel>(g_level.load());
}

void set_vibrance_level(uint32_t level) {
    if (level > 3) level = 0;
    std::call_once(g_level_once, [] {});
    g_level.store(level);
    const auto l = static_cast<VibranceLevel>(level);
    settings_set(kSettingColorVibrance,
                 l == VibranceLevel::off ? std::nullopt : std::optional<std::string>(vibrance_level_name(l)));
}

std::optional<VibranceLevel> parse_vibrance_level(std::string_view text) {
    if (text == "off") return VibranceLevel::off;
    if (text == "light") return VibranceLevel::light;
    if (text == "medium") return VibranceLevel::medium;
    if (text == "high") return VibranceLevel::high;
    return std::nullopt;
}

const char* vibrance_level_name(VibranceLevel level) {
    switch (level) {
        case VibranceLevel::light: return "light";
        case VibranceLevel::medium: return "medium";
        case VibranceLevel::high: return "high";
        default: return "off";
    }
}

float vibrance_level_factor(VibranceLevel level) {
    switch (level) {
        case VibranceLevel::light: return 1.2f;
        case VibranceLevel::medium: return 1.4f;
        case VibranceLevel::high: return 1.6f;
        default: return 1.0f;
    }
}

void vibrance_scalar(const uint8_t* src, size_t src_pitch, uint32_t w, uint32_t h, float s, uint8_t* dst,
                     size_t dst_pitch) {
    for (uint32_t y = 0; y < h; ++y) scalar_row(src + y * src_pitch, 0, w, s, dst + y * dst_pitch);
}

void vibrance(const uint8_t* src, size_t src_pitch, uint32_t w, uint32_t h, float s, uint8_t* dst, size_t dst_pitch) {
#ifdef SORVANE_HAVE_SSE2
    for (uint32_t y = 0; y < h; ++y) sse2_row(src + y * src_pitch, w, s, dst + y * dst_pitch);
#else
    vibrance_scalar(src, src_pitch, w, h, s, dst, dst_pitch);
#endif
}

bool vibrance_vectorised() {
#ifdef SORVANE_HAVE_SSE2
    return true;
#else
    return false;
#endif
}

bool VibrancePass::init(const platform::GpuDevice&, uint32_t width, uint32_t height) {
    return width > 0 && height > 0 && output_.allocate(width, height, platform::kFormatBgra8);
}

bool VibrancePass::apply(const platform::CpuTexture& source, float factor) {
    if (output_.empty() || source.empty() || source.format != platform::kFormatBgra8 ||
        source.width != output_.width || source.height != output_.height) {
        return false;
    }
    vibrance(source.data.data(), source.pitch, source.width, source.height, factor, output_.data.data(),
             output_.pitch);
    return true;
}

}  // namespace sorvane
