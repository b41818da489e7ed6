#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

struct AVFrame;
struct SwsContext;

namespace velmora::platform {

// Converts decoded pictures to packed RGB with swscale, scaling them to a requested size in the
// same pass. Keeps its scaler context and output buffer between calls: the context is rebuilt only
// when the source or target size or format changes. Downscaling uses the area filter (as good as
// bilinear by PSNR against a Lanczos reference, and cheaper: bench/decoder/bench_scaler), upscaling
// bilinear. Callers should ask for even widths: for an odd width swscale leaves its fast RGB path
// and interpolates chroma at full resolution, which costs about twice as much.
//
// A YUV 4:2:0 picture three or more times the target size each way is first halved by 2x2 means
// (SIMD), which swscale's area filter would compute at a much higher cost per source pixel. The
// halving can be done band by band while the picture is being decoded (AddBand), when its rows
// are still in the cache; Convert of that picture then starts from the halved rows.
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
    // the picture will be halved for the size of the last Convert, they are halved now. Bands
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

    // Halves one 8-bit plane: each of the w x h output pixels is the mean of a 2x2 block of `src`.
    static void HalvePlane(const uint8_t* src, int srcStride, int w, int h, uint8_t* dst, int dstStride);
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
    };
    // The picture halved (from its bands, or whole now) when HalvesFirst holds for it, else the
    // picture itself.
    Source Reduce(const AVFrame* frame, int w, int h);
    // half_ holding the halves of a width x height picture; false when out of memory.
    bool PrepareHalf(int width, int height, int format);
    // Halves rows [y0, y1) of `frame` (multiples of 4, or y1 the height) into half_.
    void HalveRows(const AVFrame* frame, int y0, int y1);

    SwsContext* sws_ = nullptr;
    // Band state, guarded by band_mu_ (AddBand may come from the codec's threads).
    std::mutex band_mu_;
    AVFrame* half_ = nullptr;
    const uint8_t* band_picture_ = nullptr;  // first luma byte of the picture being banded
    int band_delivered_ = 0;                 // rows the codec has reported final
    int band_halved_ = 0;                    // rows halved so far
    int last_w_ = 0;                         // target size of the last Convert
    int last_h_ = 0;
    std::atomic<uint64_t> halved_from_bands_{0};
    std::atomic<uint64_t> halved_whole_{0};
    uint8_t* buffer_ = nullptr;
    const uint8_t* data_ = nullptr;
    int capacity_ = 0;
    int width_ = 0;
    int height_ = 0;
    int stride_ = 0;
};

}  // namespace velmora::platform
