#include "platform/decoder/frame_converter.h"

#include <algorithm>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "platform/decoder/xplay.h"

FrameConverter::~FrameConverter() {
    sws_freeContext(sws_);
    av_free(buffer_);
}

int FrameConverter::ScaleFlags(int sw, int sh, int w, int h) {
    if (w == sw && h == sh) return SWS_POINT;  // same size: swscale's direct path anyway
    return (w <= sw && h <= sh) ? SWS_AREA : SWS_BILINEAR;
}

int FrameConverter::Convert(const AVFrame* frame, Format format, int w, int h, uint8_t* dst, int dstStride) {
    if (!frame || frame->width <= 0 || frame->height <= 0 || frame->format < 0) return XPLAY_E_ARG;
    if (w <= 0) w = frame->width;
    if (h <= 0) h = frame->height;
    w = std::clamp(w, 1, kMaxSide);
    h = std::clamp(h, 1, kMaxSide);

    const AVPixelFormat dst_format = format == Format::kBgrx ? AV_PIX_FMT_BGRA : AV_PIX_FMT_RGB24;
    const int bytes_per_pixel = format == Format::kBgrx ? 4 : 3;
    const int flags = ScaleFlags(frame->width, frame->height, w, h);
    sws_ = sws_getCachedContext(sws_, frame->width, frame->height,
                                static_cast<AVPixelFormat>(frame->format), w, h, dst_format, flags,
                                nullptr, nullptr, nullptr);
    if (!sws_) return XPLAY_E_CODEC;

    if (dst && (dstStride < w * bytes_per_pixel || dstStride % 64 != 0)) return XPLAY_E_ARG;
    // Rows aligned for the SIMD writers; the buffer is over-allocated by one row for their tails.
    const int stride = dst ? dstStride : AlignedStride(w, bytes_per_pixel);
    const int64_t needed = static_cast<int64_t>(stride) * (h + 1);
    if (!dst && needed > capacity_) {
        av_free(buffer_);
        buffer_ = static_cast<uint8_t*>(av_malloc(static_cast<size_t>(needed)));
        capacity_ = buffer_ ? static_cast<int>(needed) : 0;
        if (!buffer_) return XPLAY_E_RESOURCE;
    }
    uint8_t* planes[4] = {dst ? dst : buffer_, nullptr, nullptr, nullptr};
    int dst_stride[4] = {stride, 0, 0, 0};
    int rows = sws_scale(sws_, frame->data, frame->linesize, 0, frame->height, planes, dst_stride);
    if (rows != h) return XPLAY_E_CODEC;
    data_ = planes[0];
    width_ = w;
    height_ = h;
    stride_ = stride;
    return 0;
}
