#include "platform/decoder/area_scaler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "platform/decoder/frame_converter.h"

using namespace velmora::platform;

namespace {

// A 4:2:0 picture with smooth gradients, sharp edges and fine detail in every plane.
AVFrame* TestPicture(int w, int h, AVPixelFormat format) {
    AVFrame* f = av_frame_alloc();
    f->width = w;
    f->height = h;
    f->format = format;
    if (av_frame_get_buffer(f, 64) < 0) {
        av_frame_free(&f);
        return nullptr;
    }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int v = (x * 255) / w;
            if ((x / 37 + y / 23) % 3 == 0) v = 255 - v;
            if (y % 5 == 0 && x % 7 < 2) v = (v + 128) % 256;
            f->data[0][y * f->linesize[0] + x] = static_cast<uint8_t>(v);
        }
    for (int y = 0; y < (h + 1) / 2; ++y)
        for (int x = 0; x < (w + 1) / 2; ++x) {
            f->data[1][y * f->linesize[1] + x] = static_cast<uint8_t>(((x / 11) % 2) ? 40 + y % 150 : 220 - x % 90);
            f->data[2][y * f->linesize[2] + x] = static_cast<uint8_t>((x + 3 * y) % 256);
        }
    return f;
}

// `f` scaled to w x h BGRX by swscale's area filter (or by `converter`), rows 4 * w bytes apart.
std::vector<uint8_t> BySwscale(const AVFrame* f, int w, int h) {
    SwsContext* sws = sws_getContext(f->width, f->height, static_cast<AVPixelFormat>(f->format), w, h,
                                     AV_PIX_FMT_BGRA, SWS_AREA | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                                     nullptr, nullptr);
    std::vector<uint8_t> out(static_cast<size_t>(4 * w) * (h + 1));
    uint8_t* planes[4] = {out.data(), nullptr, nullptr, nullptr};
    int strides[4] = {4 * w, 0, 0, 0};
    sws_scale(sws, f->data, f->linesize, 0, f->height, planes, strides);
    sws_freeContext(sws);
    return out;
}

double Psnr(const std::vector<uint8_t>& a, const uint8_t* b, int bStride, int w, int h, int* worst) {
    double sum = 0;
    *worst = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                const int d = a[y * 4 * w + 4 * x + c] - b[y * bStride + 4 * x + c];
                *worst = std::max(*worst, std::abs(d));
                sum += d * d;
            }
    const double mse = sum / (3.0 * w * h);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace

// The area averaging must give swscale's picture at every reduction the panes use, odd sizes
// and both ranges included: a geometry or colour slip shows as a few dB, not as a rounding.
TEST(AreaScaler, MatchesSwscaleAreaFilter) {
    struct Case {
        int sw, sh, w, h;
        AVPixelFormat format;
    };
    const Case cases[] = {
        {960, 540, 322, 182, AV_PIX_FMT_YUV420P},  {960, 540, 323, 182, AV_PIX_FMT_YUV420P},
        {1920, 1080, 692, 388, AV_PIX_FMT_YUV420P}, {640, 360, 160, 90, AV_PIX_FMT_YUVJ420P},
        {637, 353, 101, 77, AV_PIX_FMT_YUV420P},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << " to " << c.w << "x" << c.h);
        ASSERT_TRUE(AreaScaler::Handles(c.format, c.sw, c.sh, c.w, c.h));
        AVFrame* f = TestPicture(c.sw, c.sh, c.format);
        ASSERT_NE(nullptr, f);
        const std::vector<uint8_t> expected = BySwscale(f, c.w, c.h);
        AreaScaler scaler;
        const int stride = FrameConverter::AlignedStride(c.w, 4);
        std::vector<uint8_t> out(static_cast<size_t>(stride) * c.h);
        ASSERT_TRUE(scaler.Scale(f->data, f->linesize, c.sw, c.sh, AreaScaler::IsFullRange(c.format), out.data(),
                                 stride, c.w, c.h));
        int worst = 0;
        EXPECT_GT(Psnr(expected, out.data(), stride, c.w, c.h, &worst), 40.0);
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x) ASSERT_EQ(255, out[y * stride + 4 * x + 3]);
        av_frame_free(&f);
    }
    // Down to one pixel (swscale's area filter is too short to average a whole picture): the
    // colour of the picture's mean.
    AVFrame* f = TestPicture(8, 8, AV_PIX_FMT_YUV420P);
    ASSERT_NE(nullptr, f);
    double mean[3] = {0, 0, 0};
    for (int p = 0; p < 3; ++p) {
        const int pw = p ? 4 : 8, ph = p ? 4 : 8;
        for (int y = 0; y < ph; ++y)
            for (int x = 0; x < pw; ++x) mean[p] += f->data[p][y * f->linesize[p] + x];
        mean[p] /= pw * ph;
    }
    const uint8_t yuv[3] = {static_cast<uint8_t>(std::lround(mean[0])), static_cast<uint8_t>(std::lround(mean[1])),
                            static_cast<uint8_t>(std::lround(mean[2]))};
    uint8_t expected[4], one[4];
    AreaScaler::RowToBgrxPlain(&yuv[0], &yuv[1], &yuv[2], 1, false, expected);
    AreaScaler scaler;
    ASSERT_TRUE(scaler.Scale(f->data, f->linesize, 8, 8, false, one, 4, 1, 1));
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(expected[c], one[c], 2) << "channel " << c;
    av_frame_free(&f);

    EXPECT_FALSE(AreaScaler::Handles(AV_PIX_FMT_YUV420P, 960, 540, 481, 182));  // chroma would be enlarged
    EXPECT_FALSE(AreaScaler::Handles(AV_PIX_FMT_YUV420P, 1920, 1080, 200, 120));  // beyond 8 times
    EXPECT_FALSE(AreaScaler::Handles(AV_PIX_FMT_NV12, 960, 540, 322, 182));
}

// The SIMD rows and the plain tail convert colour alike, for every width and both ranges.
TEST(AreaScaler, ColourRowsAgreeAtEveryWidth) {
    std::vector<uint8_t> y(40), u(40), v(40);
    for (int i = 0; i < 40; ++i) {
        y[i] = static_cast<uint8_t>((i * 97 + 3) % 256);
        u[i] = static_cast<uint8_t>((i * 151 + 60) % 256);
        v[i] = static_cast<uint8_t>((i * 71 + 200) % 256);
    }
    for (bool full : {false, true})
        for (int n = 1; n <= 40; ++n) {
            std::vector<uint8_t> a(4 * n), b(4 * n);
            AreaScaler::RowToBgrx(y.data(), u.data(), v.data(), n, full, a.data());
            AreaScaler::RowToBgrxPlain(y.data(), u.data(), v.data(), n, full, b.data());
            ASSERT_EQ(a, b) << "width " << n << (full ? " full range" : " limited range");
        }
}
