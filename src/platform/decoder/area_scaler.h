#pragma once

#include <cstdint>
#include <vector>

namespace velmora::platform {

// Reduces 8-bit YUV 4:2:0 pictures to packed BGRX (bytes B, G, R, 255) by exact area averaging:
// each output pixel is the mean of the source area it covers, partly covered source pixels
// weighted by their share. Luma and both chroma planes are averaged straight to the output size,
// so colour is converted once per output pixel (BT.601, limited or full range, as swscale
// converts such pictures by default). This is swscale's area filter without its general
// machinery: at the video panes' sizes it costs a fraction of it for the same picture
// (bench/decoder/bench_scaler compares them by time and by PSNR against Lanczos).
//
// Only reductions from 2 to 8 times each way are handled (the chroma planes are then reduced
// too); Handles says so. Rows are summed with weights in
// 1/256 (exact in 16 bits, kept to 1/128 of a level), columns with weights in 1/4096 (in 32 bits).
//
// Thread-bound: it keeps its plans and intermediate rows between calls.
class AreaScaler {
public:
    // True when a picture of `format` (an AVPixelFormat) and sw x sh can be scaled to w x h.
    static bool Handles(int format, int sw, int sh, int w, int h);
    // True for the full-range ("J") 4:2:0 format.
    static bool IsFullRange(int format);

    // Scales the planes of a sw x sh picture to w x h into `dst` (rows `dstStride` bytes apart,
    // at least 4 * w). Handles(format, sw, sh, w, h) must hold. Returns false when out of memory.
    bool Scale(const uint8_t* const planes[3], const int linesize[3], int sw, int sh, bool fullRange, uint8_t* dst,
               int dstStride, int w, int h);

    // Band by band: Begin a picture of sw x sh for w x h (false when out of memory), Advance as
    // the picture's first `rows` luma rows (and the chroma rows with them) become final, in
    // order, and once Complete, write the picture with ToBgrx. Scale does all three at once.
    bool Begin(int sw, int sh, int w, int h);
    void Advance(const uint8_t* const planes[3], const int linesize[3], int rows);
    // True when every output row has been averaged since Begin.
    bool Complete() const;
    // True when the last Begin was for these sizes.
    bool IsFor(int sw, int sh, int w, int h) const;
    void ToBgrx(bool fullRange, uint8_t* dst, int dstStride) const;

    // Converts one row of `n` pixels of Y, U and V at the same size to BGRX.
    static void RowToBgrx(const uint8_t* y, const uint8_t* u, const uint8_t* v, int n, bool fullRange, uint8_t* dst);
    // The same without SIMD, for comparison.
    static void RowToBgrxPlain(const uint8_t* y, const uint8_t* u, const uint8_t* v, int n, bool fullRange,
                               uint8_t* dst);

private:
    // The source samples each output sample averages, with weights summing to `one`. Every output
    // sample has `taps` weights (4, or a multiple of 8), zero past its `count` samples.
    struct Axis {
        int from = 0;
        int to = 0;
        int taps = 0;
        std::vector<int> first;        // per output sample: its first source sample
        std::vector<int> count;        // per output sample: how many source samples it covers
        std::vector<int16_t> weight;   // `taps` per output sample
    };
    static void PlanAxis(int from, int to, int one, Axis& axis);
    // Averages output row `y` of one plane into `out` (cols.to x rows.to, rows cols.to bytes apart).
    void ScaleRow(const uint8_t* src, int stride, const Axis& rows, const Axis& cols, int y, uint8_t* out);

    Axis lumaRows_, lumaCols_, chromaRows_, chromaCols_;
    std::vector<int16_t> sums_;  // one row of vertical sums at source width, and room for `taps` after it
    std::vector<uint8_t> y_, u_, v_;  // the planes at the output size
    int next_luma_ = 0;               // output rows averaged since Begin
    int next_chroma_ = 0;
};

}  // namespace velmora::platform
