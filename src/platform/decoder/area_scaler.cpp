#include "platform/decoder/area_scaler.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace velmora::platform {

namespace {

constexpr int kRowOne = 256;   // vertical weights: a row of sums stays within 16 bits
constexpr int kColOne = 4096;  // horizontal weights: sums of 16-bit values within 32 bits

// BT.601 in 1/8192: the luma gain and the chroma terms of R, G (two) and B.
struct Matrix {
    int16_t y, offset, rv, gu, gv, bu;
};
constexpr Matrix kLimited{9539, 16, 13075, 3209, 6660, 16525};  // 1.164, 1.596, 0.392, 0.813, 2.017
constexpr Matrix kFull{8192, 0, 11485, 2819, 5850, 14516};      // 1, 1.402, 0.344, 0.714, 1.772

// A value times its coefficient, in 1/16: what the SIMD path's high half of the 16-bit product
// of (x << 7) and the coefficient gives, rounding down.
inline int Term(int x, int c) { return (x * 128 * c) >> 16; }

inline uint8_t Clamp8(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

}  // namespace

bool AreaScaler::IsFullRange(int format) { return format == AV_PIX_FMT_YUVJ420P; }

bool AreaScaler::Handles(int format, int sw, int sh, int w, int h) {
    // Up to 8 times each way: beyond, the rows' weights in 1/256 would round too coarsely.
    return (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P) && w >= 1 && h >= 1 && 2 * w <= sw &&
           2 * h <= sh && sw <= 8 * w && sh <= 8 * h;
}

void AreaScaler::PlanAxis(int from, int to, int one, Axis& axis) {
    // Source sample i spans [i * to, (i + 1) * to) and output sample j spans
    // [j * from, (j + 1) * from), both in units of 1 / to source samples.
    const int most = (from + to - 1) / to + 1;  // the most source samples an output one can touch
    axis.from = from;
    axis.to = to;
    axis.taps = most <= 4 ? 4 : (most + 7) / 8 * 8;
    axis.first.assign(to, 0);
    axis.count.assign(to, 0);
    axis.weight.assign(static_cast<size_t>(to) * axis.taps, 0);
    for (int j = 0; j < to; ++j) {
        const int64_t lo = static_cast<int64_t>(j) * from;
        const int64_t hi = lo + from;
        const int i0 = static_cast<int>(lo / to);
        const int n = static_cast<int>((hi - 1) / to) - i0 + 1;
        int16_t* w = &axis.weight[static_cast<size_t>(j) * axis.taps];
        axis.first[j] = i0;
        axis.count[j] = n;
        int sum = 0;
        int largest = 0;
        for (int k = 0; k < n; ++k) {
            const int64_t i = i0 + k;
            const int64_t overlap = std::min<int64_t>((i + 1) * to, hi) - std::max<int64_t>(i * to, lo);
            w[k] = static_cast<int16_t>((overlap * one + from / 2) / from);
            if (w[k] > w[largest]) largest = k;
            sum += w[k];
        }
        // Rounding is settled on the largest weight, so a flat area stays exactly flat.
        w[largest] = static_cast<int16_t>(w[largest] + one - sum);
    }
}

namespace {

// sums[x] = half the weighted sum over `n` rows starting at `src` (weights summing to kRowOne):
// the mean in 1/128, which keeps the column step's 16-bit products signed.
void SumRows(const uint8_t* src, int stride, const int16_t* weight, int n, int width, int16_t* sums) {
    int x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    // The weights, each in every lane, made once per row for the usual few rows.
    constexpr int kKept = 8;
    __m128i kept[kKept];
    for (int k = 0; k < std::min(n, kKept); ++k) kept[k] = _mm_set1_epi16(weight[k]);
    for (; x + 16 <= width; x += 16) {
        __m128i lo = zero;
        __m128i hi = zero;
        const uint8_t* p = src + x;
        for (int k = 0; k < n; ++k, p += stride) {
            // Each product is at most 255 * 256, and so is their sum: exact in unsigned 16 bits.
            const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i wk = k < kKept ? kept[k] : _mm_set1_epi16(weight[k]);
            lo = _mm_add_epi16(lo, _mm_mullo_epi16(_mm_unpacklo_epi8(px, zero), wk));
            hi = _mm_add_epi16(hi, _mm_mullo_epi16(_mm_unpackhi_epi8(px, zero), wk));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + x), _mm_srli_epi16(lo, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + x + 8), _mm_srli_epi16(hi, 1));
    }
#endif
    for (; x < width; ++x) {
        unsigned sum = 0;
        const uint8_t* p = src + x;
        for (int k = 0; k < n; ++k, p += stride) sum += *p * static_cast<unsigned>(weight[k]);
        sums[x] = static_cast<int16_t>((sum & 0xFFFF) >> 1);
    }
}

// A column sum (the mean in 1/128 times weights in 1/4096) as a byte.
inline uint8_t ColumnByte(int sum) { return static_cast<uint8_t>(std::clamp((sum + (1 << 18)) >> 19, 0, 255)); }

// out[x] = the weighted sum of `taps` sums from sums[first[x]], for x in [0, w).
void SumColumns(const int16_t* sums, const int* first, const int16_t* weight, int taps, int w, uint8_t* out) {
    int x = 0;
#if defined(__SSE2__)
    // Four output samples a round; _mm_madd_epi16 multiplies and adds pairs of taps.
    const __m128i round = _mm_set1_epi32(1 << 18);
    const auto load = [](const int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    const auto load4 = [](const int16_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); };
    for (; x + 4 <= w; x += 4) {
        const int16_t* wt = weight + static_cast<ptrdiff_t>(x) * taps;
        __m128i total;
        if (taps == 4) {
            // Two output samples per register: [a0+a1, a2+a3, b0+b1, b2+b3].
            const __m128i ab = _mm_madd_epi16(_mm_unpacklo_epi64(load4(sums + first[x]), load4(sums + first[x + 1])),
                                              load(wt));
            const __m128i cd = _mm_madd_epi16(
                _mm_unpacklo_epi64(load4(sums + first[x + 2]), load4(sums + first[x + 3])), load(wt + 8));
            const __m128 abf = _mm_castsi128_ps(ab);
            const __m128 cdf = _mm_castsi128_ps(cd);
            total = _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(abf, cdf, _MM_SHUFFLE(2, 0, 2, 0))),
                                  _mm_castps_si128(_mm_shuffle_ps(abf, cdf, _MM_SHUFFLE(3, 1, 3, 1))));
        } else {
            __m128i s[4];
            for (int o = 0; o < 4; ++o) {
                s[o] = _mm_setzero_si128();
                for (int k = 0; k < taps; k += 8) {
                    s[o] = _mm_add_epi32(s[o], _mm_madd_epi16(load(sums + first[x + o] + k), load(wt + o * taps + k)));
                }
            }
            // Transpose and add: lane o of `total` is the sum of s[o].
            const __m128i ab = _mm_add_epi32(_mm_unpacklo_epi32(s[0], s[1]), _mm_unpackhi_epi32(s[0], s[1]));
            const __m128i cd = _mm_add_epi32(_mm_unpacklo_epi32(s[2], s[3]), _mm_unpackhi_epi32(s[2], s[3]));
            total = _mm_add_epi32(_mm_unpacklo_epi64(ab, cd), _mm_unpackhi_epi64(ab, cd));
        }
        const __m128i v = _mm_srai_epi32(_mm_add_epi32(total, round), 19);
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(v, v), v);
        const int four = _mm_cvtsi128_si32(bytes);
        std::memcpy(out + x, &four, 4);
    }
#endif
    for (; x < w; ++x) {
        int sum = 0;
        for (int k = 0; k < taps; ++k) sum += sums[first[x] + k] * weight[static_cast<ptrdiff_t>(x) * taps + k];
        out[x] = ColumnByte(sum);
    }
}

}  // namespace

void AreaScaler::ScaleRow(const uint8_t* src, int stride, const Axis& rows, const Axis& cols, int y, uint8_t* out) {
    SumRows(src + static_cast<ptrdiff_t>(rows.first[y]) * stride, stride, &rows.weight[static_cast<size_t>(y) * rows.taps],
            rows.count[y], cols.from, sums_.data());
    SumColumns(sums_.data(), cols.first.data(), cols.weight.data(), cols.taps, cols.to,
               out + static_cast<ptrdiff_t>(y) * cols.to);
}

void AreaScaler::RowToBgrxPlain(const uint8_t* y, const uint8_t* u, const uint8_t* v, int n, bool fullRange,
                                uint8_t* dst) {
    const Matrix& m = fullRange ? kFull : kLimited;
    for (int x = 0; x < n; ++x) {
        const int l = Term(y[x] - m.offset, m.y);
        const int cb = u[x] - 128;
        const int cr = v[x] - 128;
        dst[4 * x + 0] = Clamp8((l + Term(cb, m.bu) + 8) >> 4);
        dst[4 * x + 1] = Clamp8((l - Term(cb, m.gu) - Term(cr, m.gv) + 8) >> 4);
        dst[4 * x + 2] = Clamp8((l + Term(cr, m.rv) + 8) >> 4);
        dst[4 * x + 3] = 255;
    }
}

void AreaScaler::RowToBgrx(const uint8_t* y, const uint8_t* u, const uint8_t* v, int n, bool fullRange,
                           uint8_t* dst) {
    int x = 0;
#if defined(__SSE2__)
    const Matrix& m = fullRange ? kFull : kLimited;
    const __m128i zero = _mm_setzero_si128();
    const __m128i offset = _mm_set1_epi16(m.offset);
    const __m128i mid = _mm_set1_epi16(128);
    const __m128i half = _mm_set1_epi16(8);
    const __m128i cy = _mm_set1_epi16(m.y), crv = _mm_set1_epi16(m.rv), cgu = _mm_set1_epi16(m.gu),
                  cgv = _mm_set1_epi16(m.gv), cbu = _mm_set1_epi16(m.bu);
    const __m128i opaque = _mm_set1_epi8(static_cast<char>(0xFF));
    // 8 pixels a round, in 16-bit lanes: each value is shifted up by 7 so that the high half of
    // its product with a coefficient in 1/8192 is the term in 1/16 (as Term computes it).
    for (; x + 8 <= n; x += 8) {
        const auto load = [&](const uint8_t* p) {
            return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + x)), zero);
        };
        const __m128i l = _mm_mulhi_epi16(_mm_slli_epi16(_mm_sub_epi16(load(y), offset), 7), cy);
        const __m128i cb = _mm_slli_epi16(_mm_sub_epi16(load(u), mid), 7);
        const __m128i cr = _mm_slli_epi16(_mm_sub_epi16(load(v), mid), 7);
        const __m128i b = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(l, _mm_mulhi_epi16(cb, cbu)), half), 4);
        const __m128i g = _mm_srai_epi16(
            _mm_add_epi16(_mm_sub_epi16(_mm_sub_epi16(l, _mm_mulhi_epi16(cb, cgu)), _mm_mulhi_epi16(cr, cgv)), half),
            4);
        const __m128i r = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(l, _mm_mulhi_epi16(cr, crv)), half), 4);
        const __m128i bg = _mm_unpacklo_epi8(_mm_packus_epi16(b, b), _mm_packus_epi16(g, g));
        const __m128i ra = _mm_unpacklo_epi8(_mm_packus_epi16(r, r), opaque);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * x), _mm_unpacklo_epi16(bg, ra));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * x + 16), _mm_unpackhi_epi16(bg, ra));
    }
#endif
    RowToBgrxPlain(y + x, u + x, v + x, n - x, fullRange, dst + 4 * x);
}

bool AreaScaler::Begin(int sw, int sh, int w, int h) {
    const int cw = (sw + 1) / 2;
    const int ch = (sh + 1) / 2;
    next_luma_ = next_chroma_ = 0;
    try {
        if (lumaCols_.from != sw || lumaCols_.to != w) PlanAxis(sw, w, kColOne, lumaCols_);
        if (lumaRows_.from != sh || lumaRows_.to != h) PlanAxis(sh, h, kRowOne, lumaRows_);
        if (chromaCols_.from != cw || chromaCols_.to != w) PlanAxis(cw, w, kColOne, chromaCols_);
        if (chromaRows_.from != ch || chromaRows_.to != h) PlanAxis(ch, h, kRowOne, chromaRows_);
        const size_t area = static_cast<size_t>(w) * h;
        // Room after the sums for the last output samples' padded taps (their weights are 0).
        const size_t room = static_cast<size_t>(sw) + std::max(lumaCols_.taps, chromaCols_.taps);
        if (sums_.size() < room) sums_.resize(room, 0);
        y_.resize(area);
        u_.resize(area);
        v_.resize(area);
    } catch (const std::bad_alloc&) {
        lumaCols_ = lumaRows_ = chromaCols_ = chromaRows_ = Axis{};
        return false;
    }
    return true;
}

bool AreaScaler::IsFor(int sw, int sh, int w, int h) const {
    return lumaCols_.from == sw && lumaRows_.from == sh && lumaCols_.to == w && lumaRows_.to == h;
}

void AreaScaler::Advance(const uint8_t* const planes[3], const int linesize[3], int rows) {
    const int h = lumaRows_.to;
    // Chroma row r is final with luma rows 2r and 2r + 1 (or with the whole picture).
    const int chroma_rows = rows >= lumaRows_.from ? chromaRows_.from : rows / 2;
    for (; next_luma_ < h && lumaRows_.first[next_luma_] + lumaRows_.count[next_luma_] <= rows; ++next_luma_) {
        ScaleRow(planes[0], linesize[0], lumaRows_, lumaCols_, next_luma_, y_.data());
    }
    for (; next_chroma_ < h && chromaRows_.first[next_chroma_] + chromaRows_.count[next_chroma_] <= chroma_rows;
         ++next_chroma_) {
        ScaleRow(planes[1], linesize[1], chromaRows_, chromaCols_, next_chroma_, u_.data());
        ScaleRow(planes[2], linesize[2], chromaRows_, chromaCols_, next_chroma_, v_.data());
    }
}

bool AreaScaler::Complete() const {
    return lumaRows_.to > 0 && next_luma_ == lumaRows_.to && next_chroma_ == chromaRows_.to;
}

void AreaScaler::ToBgrx(bool fullRange, uint8_t* dst, int dstStride) const {
    const int w = lumaCols_.to;
    for (int r = 0; r < lumaRows_.to; ++r) {
        const size_t at = static_cast<size_t>(r) * w;
        RowToBgrx(y_.data() + at, u_.data() + at, v_.data() + at, w, fullRange,
                  dst + static_cast<ptrdiff_t>(r) * dstStride);
    }
}

bool AreaScaler::Scale(const uint8_t* const planes[3], const int linesize[3], int sw, int sh, bool fullRange,
                       uint8_t* dst, int dstStride, int w, int h) {
    if (!Begin(sw, sh, w, h)) return false;
    Advance(planes, linesize, sh);
    ToBgrx(fullRange, dst, dstStride);
    return true;
}

}  // namespace velmora::platform
