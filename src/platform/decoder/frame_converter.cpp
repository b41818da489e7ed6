#include "platform/decoder/frame_converter.h"

#include <algorithm>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "platform/decoder/xplay.h"

namespace velmora::platform {

FrameConverter::~FrameConverter() {
    sws_freeContext(sws_);
    av_free(buffer_);
    av_frame_free(&half_);
}

void FrameConverter::HalvePlane(const uint8_t* src, int srcStride, int w, int h, uint8_t* dst, int dstStride) {
    for (int y = 0; y < h; ++y) {
        const uint8_t* a = src + static_cast<ptrdiff_t>(2 * y) * srcStride;
        const uint8_t* b = a + srcStride;
        uint8_t* d = dst + static_cast<ptrdiff_t>(y) * dstStride;
        int x = 0;
#if defined(__SSE2__)
        // 16 output pixels a round: the two rows are averaged rounding up, then each pair of
        // neighbours rounding down, so the 2x2 means carry no bias either way.
        const __m128i low = _mm_set1_epi16(0x00FF);
        for (; x + 16 <= w; x += 16) {
            const __m128i v0 = _mm_avg_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 2 * x)),
                                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 2 * x)));
            const __m128i v1 = _mm_avg_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 2 * x + 16)),
                                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 2 * x + 16)));
            const __m128i s0 = _mm_srli_epi16(_mm_add_epi16(_mm_and_si128(v0, low), _mm_srli_epi16(v0, 8)), 1);
            const __m128i s1 = _mm_srli_epi16(_mm_add_epi16(_mm_and_si128(v1, low), _mm_srli_epi16(v1, 8)), 1);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x), _mm_packus_epi16(s0, s1));
        }
#endif
        for (; x < w; ++x) {
            const int left = (a[2 * x] + b[2 * x] + 1) >> 1;
            const int right = (a[2 * x + 1] + b[2 * x + 1] + 1) >> 1;
            d[x] = static_cast<uint8_t>((left + right) >> 1);
        }
    }
}

bool FrameConverter::HalvesFirst(int sw, int sh, int w, int h) {
    // Exact halving of a 4:2:0 picture, chroma planes included, needs sides that are multiples
    // of 4. The halved picture must stay 1.5 times the target each way: a last area step of a
    // smaller factor blurs more than it saves (bench/decoder/bench_scaler compares them).
    return sw % 4 == 0 && sh % 4 == 0 && 2 * sw >= 6 * w && 2 * sh >= 6 * h;
}

namespace {

bool IsHalvable(const AVFrame* frame) {
    return frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P;
}

}  // namespace

bool FrameConverter::PrepareHalf(int width, int height, int format) {
    // The codec's pictures may be a few rows taller while they are decoded than when they are
    // handed out (coded size against cropped size): a buffer with room for both is kept.
    const int hw = width / 2;
    const int hh = height / 2;
    if (half_ && half_->width == hw && half_->height >= hh && half_->format == format) return true;
    av_frame_free(&half_);
    half_ = av_frame_alloc();
    if (!half_) return false;
    half_->width = hw;
    half_->height = hh;
    half_->format = format;
    if (av_frame_get_buffer(half_, 64) < 0) {
        av_frame_free(&half_);
        return false;
    }
    return true;
}

void FrameConverter::HalveRows(const AVFrame* frame, int y0, int y1, AVFrame* half) {
    const int hw = frame->width / 2;
    HalvePlane(frame->data[0] + static_cast<ptrdiff_t>(y0) * frame->linesize[0], frame->linesize[0], hw,
               (y1 - y0) / 2, half->data[0] + static_cast<ptrdiff_t>(y0 / 2) * half->linesize[0],
               half->linesize[0]);
    for (int p = 1; p < 3; ++p) {
        HalvePlane(frame->data[p] + static_cast<ptrdiff_t>(y0 / 2) * frame->linesize[p], frame->linesize[p], hw / 2,
                   (y1 - y0) / 4, half->data[p] + static_cast<ptrdiff_t>(y0 / 4) * half->linesize[p],
                   half->linesize[p]);
    }
}

void FrameConverter::AddBand(const AVFrame* picture, int y, int height) {
    if (!picture || height <= 0 || y < 0) return;
    std::lock_guard<std::mutex> lock(band_mu_);
    if (y == 0) {
        band_picture_ = nullptr;
        if (last_w_ <= 0 || !IsHalvable(picture) ||
            !HalvesFirst(picture->width, picture->height, last_w_, last_h_) ||
            !PrepareHalf(picture->width, picture->height, picture->format)) {
            return;
        }
        band_picture_ = picture->data[0];
        band_delivered_ = 0;
        band_halved_ = 0;
        // The halves are averaged down to the target as they come, while they are in the cache.
        // The codec decodes into its coded size (1088 rows for 1080p) and crops the picture when
        // it hands it out: the averaging covers only what will be handed out, which starts at the
        // top left unless the stream crops there.
        const int hw = static_cast<int>(picture->width - picture->crop_left - picture->crop_right) / 2;
        const int hh = static_cast<int>(picture->height - picture->crop_top - picture->crop_bottom) / 2;
        band_averaged_ = picture->crop_top == 0 && picture->crop_left == 0 &&
                         AreaScaler::Handles(picture->format, hw, hh, last_w_, last_h_) &&
                         area_.Begin(hw, hh, last_w_, last_h_);
    }
    if (!band_picture_ || picture->data[0] != band_picture_) return;
    if (y > band_delivered_) {
        band_picture_ = nullptr;  // rows went missing: Convert halves the whole picture
        return;
    }
    const int end = std::min(y + height, picture->height);
    band_delivered_ = std::max(band_delivered_, end);
    // Whole groups of 4 rows: 2 halved luma rows and 1 halved chroma row. The picture handed
    // out is cut to a multiple of 4 rows (HalvesFirst), so no row it shows is left over.
    const int ready = band_delivered_ & ~3;
    if (ready <= band_halved_) return;
    HalveRows(picture, band_halved_, ready, half_);
    band_halved_ = ready;
    if (band_averaged_) area_.Advance(half_->data, half_->linesize, ready / 2);
}

void FrameConverter::ExpectTarget(int w, int h) {
    std::lock_guard<std::mutex> lock(band_mu_);
    last_w_ = w;
    last_h_ = h;
}

void FrameConverter::ForgetBands() {
    std::lock_guard<std::mutex> lock(band_mu_);
    band_picture_ = nullptr;
}

bool FrameConverter::HasBandsOf(const AVFrame* picture) {
    std::lock_guard<std::mutex> lock(band_mu_);
    return band_picture_ && band_picture_ == picture->data[0] && band_halved_ >= picture->height;
}

FrameConverter::Source FrameConverter::Reduce(const AVFrame* frame, int w, int h) {
    std::lock_guard<std::mutex> lock(band_mu_);
    last_w_ = w;
    last_h_ = h;
    const uint8_t* banded = band_picture_;
    band_picture_ = nullptr;
    const Source whole{frame->data, frame->linesize, frame->width, frame->height, frame->format, false};
    if (!IsHalvable(frame) || !HalvesFirst(frame->width, frame->height, w, h)) return whole;
    const bool averaged = band_averaged_ && area_.Complete() && area_.IsFor(frame->width / 2, frame->height / 2, w, h);
    const Source halves{half_ ? half_->data : nullptr, half_ ? half_->linesize : nullptr, frame->width / 2,
                        frame->height / 2, frame->format, averaged};
    // A picture the codec concealed errors in was changed after its bands were reported.
    const bool intact = frame->decode_error_flags == 0 && (frame->flags & AV_FRAME_FLAG_CORRUPT) == 0;
    if (banded == frame->data[0] && intact && band_halved_ >= frame->height && half_ &&
        half_->width == frame->width / 2 && half_->height >= frame->height / 2 && half_->format == frame->format) {
        ++halved_from_bands_;
        return halves;
    }
    if (!PrepareHalf(frame->width, frame->height, frame->format)) return whole;
    HalveRows(frame, 0, frame->height, half_);
    ++halved_whole_;
    return {half_->data, half_->linesize, frame->width / 2, frame->height / 2, frame->format, false};
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

    // Large reductions start with one exact halving (SIMD, a quarter of the pixels left for
    // the area filter, which costs per source pixel).
    const Source src = Reduce(frame, w, h);
    if (format == Format::kBgrx && src.averaged) {
        area_.ToBgrx(AreaScaler::IsFullRange(src.format), planes[0], stride);
        ++averaged_from_bands_;
    } else if (format == Format::kBgrx && AreaScaler::Handles(src.format, src.width, src.height, w, h)) {
        if (!area_.Scale(src.data, src.linesize, src.width, src.height, AreaScaler::IsFullRange(src.format),
                         planes[0], stride, w, h)) {
            return XPLAY_E_RESOURCE;
        }
    } else {
        sws_ = sws_getCachedContext(sws_, src.width, src.height, static_cast<AVPixelFormat>(src.format), w, h,
                                    dst_format, ScaleFlags(src.width, src.height, w, h), nullptr, nullptr, nullptr);
        if (!sws_) return XPLAY_E_CODEC;
        if (sws_scale(sws_, src.data, src.linesize, 0, src.height, planes, dst_stride) != h) return XPLAY_E_CODEC;
    }
    data_ = planes[0];
    width_ = w;
    height_ = h;
    stride_ = stride;
    return 0;
}

}  // namespace velmora::platform
