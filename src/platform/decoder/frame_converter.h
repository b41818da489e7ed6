#pragma once

#include <cstdint>

struct AVFrame;
struct SwsContext;

// Converts decoded pictures to packed RGB with swscale, scaling them to a requested size in the
// same pass. Keeps its scaler context and output buffer between calls: the context is rebuilt only
// when the source or target size or format changes. Downscaling uses the area filter (as good as
// bilinear by PSNR against a Lanczos reference, and cheaper: bench/decoder/bench_scaler), upscaling
// bilinear. Callers should ask for even widths: for an odd width swscale leaves its fast RGB path
// and interpolates chroma at full resolution, which costs about twice as much. Thread-bound.
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

private:
    SwsContext* sws_ = nullptr;
    uint8_t* buffer_ = nullptr;
    const uint8_t* data_ = nullptr;
    int capacity_ = 0;
    int width_ = 0;
    int height_ = 0;
    int stride_ = 0;
};
