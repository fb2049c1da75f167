#include "platform/texture.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define SORVANE_HAVE_SSE2 1
#endif
// AVX2 where the compiler can build it for one function and the processor has it.
#if defined(SORVANE_HAVE_SSE2) && defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define SORVANE_HAVE_AVX2 1
#endif

namespace sorvane::platform {

bool CpuTexture::allocate(uint32_t w, uint32_t h, uint32_t fmt) {
    data.clear();
    width = height = format = pitch = 0;
    size_t bytes = 0;
    switch (fmt) {
        case kFormatBgra8:
            pitch = w * 4;
            bytes = static_cast<size_t>(pitch) * h;
            break;
        case kFormatR8:
            pitch = w;
            bytes = static_cast<size_t>(pitch) * h;
            break;
        case kFormatNv12:
            if ((w | h) & 1u) return false;
            pitch = w;
            bytes = static_cast<size_t>(pitch) * h * 3 / 2;
            break;
        default:
            return false;
    }
    width = w;
    height = h;
    format = fmt;
    data.assign(bytes, 0);
    return true;
}

namespace {

inline uint8_t luma(const uint8_t* p) {
    int v = ((16 * p[0] + 157 * p[1] + 47 * p[2] + 128) >> 8) + 16;
    return static_cast<uint8_t>(v);
}

// One 2 x 2 block at block column bx of the rows r0 and r1 (r1 may equal r0
// on an odd last row); the luma of the real pixels is written by the caller.
inline void chroma_block(const uint8_t* r0, const uint8_t* r1, uint32_t x0, uint32_t x1, uint8_t* out) {
    int b = r0[x0 * 4] + r0[x1 * 4] + r1[x0 * 4] + r1[x1 * 4];
    int g = r0[x0 * 4 + 1] + r0[x1 * 4 + 1] + r1[x0 * 4 + 1] + r1[x1 * 4 + 1];
    int r = r0[x0 * 4 + 2] + r0[x1 * 4 + 2] + r1[x0 * 4 + 2] + r1[x1 * 4 + 2];
    b >>= 2;
    g >>= 2;
    r >>= 2;
    out[0] = static_cast<uint8_t>(((112 * b - 87 * g - 26 * r + 128) >> 8) + 128);
    out[1] = static_cast<uint8_t>(((112 * r - 102 * g - 10 * b + 128) >> 8) + 128);
}

// Blocks [bx_begin, bx_end) of block row by.
void scalar_blocks(const uint8_t* src, size_t src_pitch, uint32_t w, uint32_t h, uint8_t* y, size_t y_pitch,
                   uint8_t* uv, size_t uv_pitch, uint32_t by, uint32_t bx_begin, uint32_t bx_end) {
    uint32_t y0 = by * 2;
    uint32_t y1 = y0 + 1 < h ? y0 + 1 : y0;
    const uint8_t* r0 = src + y0 * src_pitch;
    const uint8_t* r1 = src + y1 * src_pitch;
    for (uint32_t bx = bx_begin; bx < bx_end; ++bx) {
        uint32_t x0 = bx * 2;
        uint32_t x1 = x0 + 1 < w ? x0 + 1 : x0;
        y[y0 * y_pitch + x0] = luma(r0 + x0 * 4);
        if (x1 != x0) y[y0 * y_pitch + x1] = luma(r0 + x1 * 4);
        if (y1 != y0) {
            y[y1 * y_pitch + x0] = luma(r1 + x0 * 4);
            if (x1 != x0) y[y1 * y_pitch + x1] = luma(r1 + x1 * 4);
        }
        chroma_block(r0, r1, x0, x1, uv + by * uv_pitch + bx * 2);
    }
}

#ifdef SORVANE_HAVE_SSE2
struct Planar {
    __m128i b, g, r;  // 8 pixels, 16-bit lanes
};

inline Planar load8(const uint8_t* p) {
    const __m128i m = _mm_set1_epi32(0xFF);
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    Planar out;
    out.b = _mm_packs_epi32(_mm_and_si128(a, m), _mm_and_si128(c, m));
    out.g = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(a, 8), m), _mm_and_si128(_mm_srli_epi32(c, 8), m));
    out.r = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(a, 16), m), _mm_and_si128(_mm_srli_epi32(c, 16), m));
    return out;
}

// The luma sum stays below 65536, so wrapping 16-bit products are exact.
inline __m128i luma8(const Planar& p) {
    __m128i s = _mm_add_epi16(_mm_mullo_epi16(p.b, _mm_set1_epi16(16)), _mm_mullo_epi16(p.g, _mm_set1_epi16(157)));
    s = _mm_add_epi16(s, _mm_mullo_epi16(p.r, _mm_set1_epi16(47)));
    s = _mm_add_epi16(s, _mm_set1_epi16(128));
    return _mm_add_epi16(_mm_srli_epi16(s, 8), _mm_set1_epi16(16));
}

// Sums of horizontal pairs of two rows, divided by 4: 4 blocks as 32-bit lanes.
inline __m128i pair_avg(__m128i row0, __m128i row1) {
    __m128i s = _mm_madd_epi16(_mm_add_epi16(row0, row1), _mm_set1_epi16(1));
    return _mm_srai_epi32(s, 2);
}

void sse2_rows(const uint8_t* r0, const uint8_t* r1, uint32_t blocks16, uint8_t* y0, uint8_t* y1, uint8_t* uv) {
    for (uint32_t i = 0; i < blocks16; ++i) {
        const uint8_t* s0 = r0 + i * 64;
        const uint8_t* s1 = r1 + i * 64;
        Planar a0 = load8(s0), a1 = load8(s0 + 32);
        Planar b0 = load8(s1), b1 = load8(s1 + 32);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y0 + i * 16), _mm_packus_epi16(luma8(a0), luma8(a1)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y1 + i * 16), _mm_packus_epi16(luma8(b0), luma8(b1)));
        // 8 blocks: B', G', R' as 16-bit lanes (values 0..255).
        __m128i bb = _mm_packs_epi32(pair_avg(a0.b, b0.b), pair_avg(a1.b, b1.b));
        __m128i gg = _mm_packs_epi32(pair_avg(a0.g, b0.g), pair_avg(a1.g, b1.g));
        __m128i rr = _mm_packs_epi32(pair_avg(a0.r, b0.r), pair_avg(a1.r, b1.r));
        // Every partial sum fits in a signed 16-bit lane; srai matches the
        // arithmetic shift of the scalar formula on negative sums.
        __m128i u = _mm_sub_epi16(_mm_mullo_epi16(bb, _mm_set1_epi16(112)), _mm_mullo_epi16(gg, _mm_set1_epi16(87)));
        u = _mm_sub_epi16(u, _mm_mullo_epi16(rr, _mm_set1_epi16(26)));
        u = _mm_add_epi16(_mm_srai_epi16(_mm_add_epi16(u, _mm_set1_epi16(128)), 8), _mm_set1_epi16(128));
        __m128i v = _mm_sub_epi16(_mm_mullo_epi16(rr, _mm_set1_epi16(112)), _mm_mullo_epi16(gg, _mm_set1_epi16(102)));
        v = _mm_sub_epi16(v, _mm_mullo_epi16(bb, _mm_set1_epi16(10)));
        v = _mm_add_epi16(_mm_srai_epi16(_mm_add_epi16(v, _mm_set1_epi16(128)), 8), _mm_set1_epi16(128));
        __m128i lo = _mm_unpacklo_epi16(u, v);
        __m128i hi = _mm_unpackhi_epi16(u, v);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + i * 16), _mm_packus_epi16(lo, hi));
    }
}
#endif

#ifdef SORVANE_HAVE_AVX2
// The same arithmetic as sse2_rows, 32 pixels a step. packs works within each
// 128-bit half, so the halves are put back in order after each pack.
#define SORVANE_AVX2 __attribute__((target("avx2")))

struct Planar16 {
    __m256i b, g, r;  // 16 pixels, 16-bit lanes
};

SORVANE_AVX2 inline __m256i in_order(__m256i v) { return _mm256_permute4x64_epi64(v, 0xD8); }

SORVANE_AVX2 inline Planar16 load16(const uint8_t* p) {
    const __m256i m = _mm256_set1_epi32(0xFF);
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    Planar16 out;
    out.b = in_order(_mm256_packs_epi32(_mm256_and_si256(a, m), _mm256_and_si256(c, m)));
    out.g = in_order(_mm256_packs_epi32(_mm256_and_si256(_mm256_srli_epi32(a, 8), m),
                                        _mm256_and_si256(_mm256_srli_epi32(c, 8), m)));
    out.r = in_order(_mm256_packs_epi32(_mm256_and_si256(_mm256_srli_epi32(a, 16), m),
                                        _mm256_and_si256(_mm256_srli_epi32(c, 16), m)));
    return out;
}

SORVANE_AVX2 inline __m256i luma16(const Planar16& p) {
    __m256i s = _mm256_add_epi16(_mm256_mullo_epi16(p.b, _mm256_set1_epi16(16)),
                                 _mm256_mullo_epi16(p.g, _mm256_set1_epi16(157)));
    s = _mm256_add_epi16(s, _mm256_mullo_epi16(p.r, _mm256_set1_epi16(47)));
    s = _mm256_add_epi16(s, _mm256_set1_epi16(128));
    return _mm256_add_epi16(_mm256_srli_epi16(s, 8), _mm256_set1_epi16(16));
}

SORVANE_AVX2 inline __m256i pair_avg16(__m256i row0, __m256i row1) {
    return _mm256_srai_epi32(_mm256_madd_epi16(_mm256_add_epi16(row0, row1), _mm256_set1_epi16(1)), 2);
}

SORVANE_AVX2 void avx2_rows(const uint8_t* r0, const uint8_t* r1, uint32_t blocks32, uint8_t* y0, uint8_t* y1,
                            uint8_t* uv) {
    for (uint32_t i = 0; i < blocks32; ++i) {
        const uint8_t* s0 = r0 + i * 128;
        const uint8_t* s1 = r1 + i * 128;
        const Planar16 a0 = load16(s0), a1 = load16(s0 + 64);
        const Planar16 b0 = load16(s1), b1 = load16(s1 + 64);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(y0 + i * 32),
                            in_order(_mm256_packus_epi16(luma16(a0), luma16(a1))));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(y1 + i * 32),
                            in_order(_mm256_packus_epi16(luma16(b0), luma16(b1))));
        const __m256i bb = in_order(_mm256_packs_epi32(pair_avg16(a0.b, b0.b), pair_avg16(a1.b, b1.b)));
        const __m256i gg = in_order(_mm256_packs_epi32(pair_avg16(a0.g, b0.g), pair_avg16(a1.g, b1.g)));
        const __m256i rr = in_order(_mm256_packs_epi32(pair_avg16(a0.r, b0.r), pair_avg16(a1.r, b1.r)));
        __m256i u = _mm256_sub_epi16(_mm256_mullo_epi16(bb, _mm256_set1_epi16(112)),
                                     _mm256_mullo_epi16(gg, _mm256_set1_epi16(87)));
        u = _mm256_sub_epi16(u, _mm256_mullo_epi16(rr, _mm256_set1_epi16(26)));
        u = _mm256_add_epi16(_mm256_srai_epi16(_mm256_add_epi16(u, _mm256_set1_epi16(128)), 8), _mm256_set1_epi16(128));
        __m256i v = _mm256_sub_epi16(_mm256_mullo_epi16(rr, _mm256_set1_epi16(112)),
                                     _mm256_mullo_epi16(gg, _mm256_set1_epi16(102)));
        v = _mm256_sub_epi16(v, _mm256_mullo_epi16(bb, _mm256_set1_epi16(10)));
        v = _mm256_add_epi16(_mm256_srai_epi16(_mm256_add_epi16(v, _mm256_set1_epi16(128)), 8), _mm256_set1_epi16(128));
        // Interleaving within the halves and packing them again leaves U V pairs in order.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(uv + i * 32),
                            _mm256_packus_epi16(_mm256_unpacklo_epi16(u, v), _mm256_unpackhi_epi16(u, v)));
    }
}

bool have_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

}  // namespace

void bgra_to_nv12_scalar(const uint8_t* src, size_t src_pitch, uint32_t w, uint32_t h, uint8_t* y, size_t y_pitch,
                         uint8_t* uv, size_t uv_pitch) {
    uint32_t bw = (w + 1) / 2, bh = (h + 1) / 2;
    for (uint32_t by = 0; by < bh; ++by) scalar_blocks(src, src_pitch, w, h, y, y_pitch, uv, uv_pitch, by, 0, bw);
}

void bgra_to_nv12(const uint8_t* src, size_t src_pitch, uint32_t w, uint32_t h, uint8_t* y, size_t y_pitch,
                  uint8_t* uv, size_t uv_pitch) {
#ifdef SORVANE_HAVE_SSE2
    uint32_t bw = (w + 1) / 2, bh = (h + 1) / 2;
    uint32_t groups = w / 16;  // 16 pixels = 8 whole blocks per step
    for (uint32_t by = 0; by < bh; ++by) {
        uint32_t y0 = by * 2;
        uint32_t done = 0;
        if (y0 + 1 < h && groups > 0) {
            const uint8_t* r0 = src + y0 * src_pitch;
            const uint8_t* r1 = src + (y0 + 1) * src_pitch;
            uint8_t* l0 = y + y0 * y_pitch;
            uint8_t* l1 = y + (y0 + 1) * y_pitch;
            uint8_t* c = uv + by * uv_pitch;
            uint32_t first = 0;  // in 16-pixel groups
#ifdef SORVANE_HAVE_AVX2
            if (have_avx2()) {
                avx2_rows(r0, r1, groups / 2, l0, l1, c);
                first = groups / 2 * 2;
            }
#endif
            sse2_rows(r0 + first * 64, r1 + first * 64, groups - first, l0 + first * 16, l1 + first * 16, c + first * 16);
            done = groups * 8;
        }
        scalar_blocks(src, src_pitch, w, h, y, y_pitch, uv, uv_pitch, by, done, bw);
    }
#else
    bgra_to_nv12_scalar(src, src_pitch, w, h, y, y_pitch, uv, uv_pitch);
#endif
}

bool bgra_to_nv12_vectorised() {
#ifdef SORVANE_HAVE_SSE2
    return true;
#else
    return false;
#endif
}

bool convert_texture_to_nv12(const CpuTexture& bgra, CpuTexture& nv12) {
    if (bgra.format != kFormatBgra8 || ((bgra.width | bgra.height) & 1u)) return false;
    if (nv12.format != kFormatNv12 || nv12.width != bgra.width || nv12.height != bgra.height) {
        if (!nv12.allocate(bgra.width, bgra.height, kFormatNv12)) return false;
    }
    uint8_t* luma_plane = nv12.data.data();
    uint8_t* chroma = luma_plane + static_cast<size_t>(nv12.pitch) * nv12.height;
    bgra_to_nv12(bgra.data.data(), bgra.pitch, bgra.width, bgra.height, luma_plane, nv12.pitch, chroma, nv12.pitch);
    return true;
}

}  // namespace sorvane::platform
