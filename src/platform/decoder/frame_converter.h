#pragma once

#include <cstdint>

struct AVFrame;
struct SwsContext;

// Converts decoded pictures to packed RGB with swscale, scaling them to a requested size.
// Keeps its scaler and output buffer between calls. Thread-bound.
class FrameConverter {
public:
    enum class Format { kBgrx, kRgb24 };

    FrameConverter() = default;
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // Converts `frame` to `format` at w x h (each clamped to 1..kMaxSide; non-positive means the
    // frame's own size). Returns 0 or a negative XPLAY_E_* code.
    int Convert(const AVFrame* frame, Format format, int w, int h);

    const uint8_t* data() const { return buffer_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int stride() const { return stride_; }

    static constexpr int kMaxSide = 8192;

private:
    SwsContext* sws_ = nullptr;
    uint8_t* buffer_ = nullptr;
    int capacity_ = 0;
    int width_ = 0;
    int height_ = 0;
    int stride_ = 0;
};
