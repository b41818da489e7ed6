#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/decoder/area_scaler.h"

struct AVFrame;
struct SwsContext;

namespace velmora::platform {

// Converts decoded pictures to packed RGB, scaling them to a requested size in the same pass.
// Reductions of YUV 4:2:0 to BGRX by half or more each way use the converter's own area averaging
// (AreaScaler: chroma averaged at the output's full resolution, about what swscale's fast path
// costs and 10 dB closer to a Lanczos reference on coloured edges: bench/decoder/bench_scaler).
// Everything else goes through swscale, whose context is kept between calls and rebuilt only when
// the source or target size or format changes: the area filter for downscaling, bilinear for
// upscaling. Callers should ask swscale for even widths: for an odd width it leaves its fast RGB
// path and interpolates chroma at full resolution, which costs about twice as much.
//
// A YUV 4:2:0 picture three or more times the target size each way is first halved by 2x2 means
// (SIMD), which an area filter would compute at a much higher cost per source pixel. The halving,
// and then the averaging down to the target, can be done band by band while the picture is being
// decoded (AddBand), when its rows are still in the cache; Convert of that picture then only
// converts the averaged planes to BGRX.
//
// Thread-bound, except that AddBand may also be called from the decoder's slice threads while
// no Convert runs (the codec calls it during decoding, Convert comes after).
class FrameConverter {
public:
    enum class Format { kBgrx, kRgb24 };

    FrameConverter() = default;
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // Converts `frame` to `format` at w x h (each clamped to 1..kMaxSide; non-positive means the
    // frame's own size). Returns 0 or a negative XPLAY_E_* code. With `dst`, the picture is
    // written there (rows `dstStride` bytes apart, stride a multiple of 64 and room for one more
    // row after the last, see FrameSink::FrameBuffer) instead of into the converter's buffer, and
    // data() is `dst`.
    int Convert(const AVFrame* frame, Format format, int w, int h, uint8_t* dst = nullptr, int dstStride = 0);

    // The scaler flags Convert uses for a source of sw x sh scaled to w x h.
    static int ScaleFlags(int sw, int sh, int w, int h);
    // Rows aligned for the scaler's SIMD writers: the stride Convert uses for `w` pixels of
    // `bytesPerPixel`.
    static int AlignedStride(int w, int bytesPerPixel) { return (w * bytesPerPixel + 63) & ~63; }

    const uint8_t* data() const { return data_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int stride() const { return stride_; }

    static constexpr int kMaxSide = 8192;

    // The target size bands are halved for until the next Convert (which sets its own).
    void ExpectTarget(int w, int h);
    // Rows [y, y + height) of `picture` are final (the decoder finished and filtered them). If
    // the picture will be halved for the size of the last Convert, they are halved now (and
    // averaged to that size as far as the halves allow). Bands
    // must come top to bottom without gaps; after a gap the picture is halved whole in Convert.
    void AddBand(const AVFrame* picture, int y, int height);
    // True when every row of `picture` has been halved from its bands.
    bool HasBandsOf(const AVFrame* picture);
    // Drops what bands have been halved: they must not be taken for a later picture that the
    // codec decodes into the same buffer without reporting bands (a field picture, say).
    void ForgetBands();
    // Pictures Convert took halved from their bands, and pictures it halved whole. Any thread.
    uint64_t halved_from_bands() const { return halved_from_bands_.load(std::memory_order_relaxed); }
    uint64_t halved_whole() const { return halved_whole_.load(std::memory_order_relaxed); }
    // Pictures whose halves were also averaged to the target size from their bands.
    uint64_t averaged_from_bands() const { return averaged_from_bands_.load(std::memory_order_relaxed); }

    // Halves one 8-bit plane: each of the w x h output pixels is the mean of a 2x2 block of `src`.
    static void HalvePlane(const uint8_t* src, int srcStride, int w, int h, uint8_t* dst, int dstStride);
    // Halves rows [y0, y1) of the YUV 4:2:0 `frame` (multiples of 4, or y1 the height) into the
    // same rows of `half`, a picture of half its size each way.
    static void HalveRows(const AVFrame* frame, int y0, int y1, AVFrame* half);
    // True when Convert halves a YUV 4:2:0 source of sw x sh before scaling it to w x h.
    static bool HalvesFirst(int sw, int sh, int w, int h);

private:
    // What swscale scales: the picture, or its halves in half_.
    struct Source {
        const uint8_t* const* data;
        const int* linesize;
        int width;
        int height;
        int format;
        bool averaged;  // area_ holds it averaged to the target size already (from its bands)
    };
    // The picture halved (from its bands, or whole now) when HalvesFirst holds for it, else the
    // picture itself.
    Source Reduce(const AVFrame* frame, int w, int h);
    // half_ holding the halves of a width x height picture; false when out of memory.
    bool PrepareHalf(int width, int height, int format);

    SwsContext* sws_ = nullptr;
    // Band state, guarded by band_mu_ (AddBand may come from the codec's threads).
    std::mutex band_mu_;
    AVFrame* half_ = nullptr;
    AreaScaler area_;  // reductions of YUV 4:2:0 to BGRX by half or more (bands, then Convert)
    const uint8_t* band_picture_ = nullptr;  // first luma byte of the picture being banded
    int band_delivered_ = 0;                 // rows the codec has reported final
    int band_halved_ = 0;                    // rows halved so far
    bool band_averaged_ = false;             // the halves are averaged into area_ as they come
    int last_w_ = 0;                         // target size of the last Convert
    int last_h_ = 0;
    std::atomic<uint64_t> halved_from_bands_{0};
    std::atomic<uint64_t> halved_whole_{0};
    std::atomic<uint64_t> averaged_from_bands_{0};
    uint8_t* buffer_ = nullptr;
    const uint8_t* data_ = nullptr;
    int capacity_ = 0;
    int width_ = 0;
    int height_ = 0;
    int stride_ = 0;
};

}  // namespace velmora::platform
