#include "platform/decoder/h264_decoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

#include "platform/decoder/frame_converter.h"
#include "platform/decoder/stream_fixture.h"

using namespace velmora::platform;
using namespace velmora::sim;
using namespace velmora::sim::stream;

namespace {

// Collects what the decoder hands out.
struct Pictures {
    int count = 0;
    int damaged = 0;
    int key = 0;
    H264Decoder::FrameFn Fn() {
        return [this](const AVFrame* f) {
            ++count;
            if ((f->flags & AV_FRAME_FLAG_CORRUPT) || f->decode_error_flags) ++damaged;
            if (f->key_frame) ++key;
        };
    }
};

// Feeds bytes [begin, end) of an access unit, with the padding the parser needs.
void FeedPart(H264Decoder& decoder, const AccessUnit& au, size_t begin, size_t end, const H264Decoder::FrameFn& fn) {
    std::vector<uint8_t> padded(au.data.begin() + static_cast<long>(begin), au.data.begin() + static_cast<long>(end));
    const int size = static_cast<int>(padded.size());
    padded.resize(padded.size() + H264Decoder::kInputPadding, 0);
    decoder.Feed(padded.data(), size, fn);
}

void FeedWhole(H264Decoder& decoder, const AccessUnit& au, const H264Decoder::FrameFn& fn) {
    FeedPart(decoder, au, 0, au.data.size(), fn);
}

// Offset of the first IDR slice NAL unit's start code, or the size when there is none.
size_t IdrSliceOffset(const AccessUnit& au) {
    const auto& d = au.data;
    for (size_t i = 0; i + 3 < d.size(); ++i) {
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1 && (d[i + 3] & 0x1F) == 5) return i;
    }
    return d.size();
}

}  // namespace

TEST(H264Resync, KeyFrameHeldWhenTheHoleIsFoundIsShown) {
    // Key frames at 0 and 10. The parser still holds the whole key frame 0 when data goes
    // missing after it: it arrived intact, so the viewer must see it rather than wait a whole
    // key-frame interval for the next one.
    auto units = MakeStream(12, PictureParams(), 320, 240, 10);
    ASSERT_EQ(12u, units.size());
    H264Decoder decoder;
    ASSERT_EQ(0, decoder.Open(1));
    Pictures pics;

    FeedWhole(decoder, units[0], pics.Fn());
    EXPECT_EQ(0, pics.count);  // its end is not known yet
    EXPECT_EQ(0, decoder.Resync(pics.Fn()));
    EXPECT_EQ(1, pics.count);
    EXPECT_EQ(1, pics.key);
    EXPECT_EQ(0, pics.damaged);

    // After the hole: pictures that refer to lost ones are skipped until the next key frame.
    for (int i = 4; i < 12; ++i) FeedWhole(decoder, units[static_cast<size_t>(i)], pics.Fn());
    decoder.EndAccessUnit(pics.Fn());
    EXPECT_EQ(6u, decoder.skipped_units());  // 4..9
    EXPECT_EQ(3, pics.count);                // 0, 10, 11
    EXPECT_EQ(0, pics.damaged);
    EXPECT_EQ(0u, decoder.decode_errors());
}

TEST(H264Resync, PictureCutOffByTheHoleIsNotShown) {
    auto units = MakeStream(11, PictureParams(), 320, 240, 10);
    ASSERT_EQ(11u, units.size());
    H264Decoder decoder;
    ASSERT_EQ(0, decoder.Open(1));
    Pictures pics;

    FeedWhole(decoder, units[0], pics.Fn());
    FeedPart(decoder, units[1], 0, units[1].data.size() / 2, pics.Fn());
    EXPECT_EQ(1, pics.count);  // picture 0 ended where picture 1 began
    decoder.Resync(pics.Fn());
    EXPECT_EQ(1, pics.count);  // half of picture 1 would be patched up with guesses

    FeedWhole(decoder, units[10], pics.Fn());
    decoder.EndAccessUnit(pics.Fn());
    EXPECT_EQ(2, pics.count);
    EXPECT_EQ(0, pics.damaged);
}

TEST(H264Resync, NothingOfTheOldStreamJoinsTheNextKeyFrame) {
    // The hole falls just after the header of a key frame's slice, so what the parser holds does
    // not yet look like a picture. None of it may be glued onto the key frame that follows.
    auto units = MakeStream(11, PictureParams(), 320, 240, 10);
    ASSERT_EQ(11u, units.size());
    const size_t cut = IdrSliceOffset(units[0]);
    ASSERT_LT(cut, units[0].data.size());
    for (size_t extra : {0u, 4u, 5u, 6u}) {
        SCOPED_TRACE(extra);
        H264Decoder decoder;
        ASSERT_EQ(0, decoder.Open(1));
        Pictures pics;
        FeedPart(decoder, units[0], 0, cut + extra, pics.Fn());
        decoder.Resync(pics.Fn());
        FeedWhole(decoder, units[10], pics.Fn());
        decoder.EndAccessUnit(pics.Fn());
        EXPECT_EQ(1, pics.count);
        EXPECT_EQ(0, pics.damaged);
        EXPECT_EQ(1, pics.key);
    }
}

TEST(H264Resync, RepeatedHolesAndIdleFlushesKeepCountersConsistent) {
    auto units = MakeStream(21, PictureParams(), 320, 240, 10);
    ASSERT_EQ(21u, units.size());
    H264Decoder decoder;
    ASSERT_EQ(0, decoder.Open(1));
    Pictures pics;

    // A hole before anything arrived, one right after a flushed picture, and two in a row.
    EXPECT_EQ(0, decoder.Resync(pics.Fn()));
    FeedWhole(decoder, units[0], pics.Fn());
    decoder.EndAccessUnit(pics.Fn());
    EXPECT_EQ(1, pics.count);
    decoder.Resync(pics.Fn());
    decoder.Resync(pics.Fn());
    EXPECT_EQ(1, pics.count);
    // The delimiter left behind by the flush is not a picture: nothing was skipped or decoded.
    EXPECT_EQ(1u, decoder.access_units());
    EXPECT_EQ(0u, decoder.skipped_units());

    FeedWhole(decoder, units[5], pics.Fn());
    FeedWhole(decoder, units[10], pics.Fn());
    FeedWhole(decoder, units[11], pics.Fn());
    decoder.EndAccessUnit(pics.Fn());
    EXPECT_EQ(3, pics.count);  // 0, 10, 11
    EXPECT_EQ(1u, decoder.skipped_units());
    EXPECT_EQ(0, pics.damaged);

    // The stream goes on normally after all that, and ends cleanly.
    for (int i = 12; i < 21; ++i) FeedWhole(decoder, units[static_cast<size_t>(i)], pics.Fn());
    EXPECT_EQ(0, decoder.Drain(pics.Fn()));
    EXPECT_EQ(12, pics.count);
    EXPECT_EQ(0, pics.damaged);
    EXPECT_EQ(0u, decoder.decode_errors());
}

// Pictures a quarter of the stream's size are halved first. Fed band by band by the codec, the
// converter must give exactly what it gives from the whole picture, and must notice when the
// bands it saw do not belong to the picture it is asked for.
TEST(H264Bands, BandHalvedPicturesEqualWholeOnes) {
    auto units = MakeStream(8, PictureParams(), 640, 360, 4);
    ASSERT_EQ(8u, units.size());
    constexpr int kW = 160, kH = 90;
    ASSERT_TRUE(FrameConverter::HalvesFirst(640, 360, kW, kH));
    FrameConverter banded;
    FrameConverter whole;
    banded.ExpectTarget(kW, kH);
    H264Decoder decoder;
    int bands = 0;
    decoder.SetBandFn([&](const AVFrame* picture, int y, int height) {
        ++bands;
        banded.AddBand(picture, y, height);
    });
    ASSERT_EQ(0, decoder.Open(1));
    int pictures = 0;
    auto compare = [&](const AVFrame* f) {
        ++pictures;
        EXPECT_EQ(bands > 0, banded.HasBandsOf(f));
        ASSERT_EQ(0, banded.Convert(f, FrameConverter::Format::kBgrx, kW, kH));
        ASSERT_EQ(0, whole.Convert(f, FrameConverter::Format::kBgrx, kW, kH));
        for (int y = 0; y < kH; ++y) {
            ASSERT_EQ(0, std::memcmp(banded.data() + y * banded.stride(), whole.data() + y * whole.stride(), 4 * kW))
                << "picture " << pictures << " row " << y;
        }
    };
    for (const AccessUnit& au : units) FeedWhole(decoder, au, compare);
    decoder.Drain(compare);
    EXPECT_EQ(8, pictures);
    if (bands == 0) GTEST_SKIP() << "this libavcodec reports no finished rows; pictures are halved whole";
    EXPECT_EQ(8u, banded.halved_from_bands());
    EXPECT_EQ(8u, banded.averaged_from_bands());  // the codec's 368 coded rows cropped to 360
    EXPECT_EQ(0u, banded.halved_whole());

    // Bands of another picture, or with a gap, or forgotten, leave the picture to be halved whole.
    AVFrame* other = av_frame_alloc();
    other->width = 640;
    other->height = 360;
    other->format = AV_PIX_FMT_YUV420P;
    ASSERT_EQ(0, av_frame_get_buffer(other, 64));
    std::memset(other->data[0], 200, static_cast<size_t>(other->linesize[0]) * 360);
    std::memset(other->data[1], 128, static_cast<size_t>(other->linesize[1]) * 180);
    std::memset(other->data[2], 128, static_cast<size_t>(other->linesize[2]) * 180);
    banded.AddBand(other, 0, 360);
    EXPECT_TRUE(banded.HasBandsOf(other));
    banded.ForgetBands();
    EXPECT_FALSE(banded.HasBandsOf(other));
    banded.AddBand(other, 0, 16);
    banded.AddBand(other, 32, 16);  // rows 16..31 never came
    EXPECT_FALSE(banded.HasBandsOf(other));
    ASSERT_EQ(0, banded.Convert(other, FrameConverter::Format::kBgrx, kW, kH));
    EXPECT_EQ(1u, banded.halved_whole());
    ASSERT_EQ(0, whole.Convert(other, FrameConverter::Format::kBgrx, kW, kH));
    for (int y = 0; y < kH; ++y) {
        ASSERT_EQ(0, std::memcmp(banded.data() + y * banded.stride(), whole.data() + y * whole.stride(), 4 * kW));
    }
    av_frame_free(&other);
}

// The SIMD rows and the plain tail compute the same 2x2 means, for every width.
TEST(H264Bands, HalvingIsTheRoundedMeanAtEveryWidth) {
    std::vector<uint8_t> src(2 * 80);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>((i * 151 + 7) % 256);
    for (int w = 1; w <= 40; ++w) {
        std::vector<uint8_t> dst(static_cast<size_t>(w));
        FrameConverter::HalvePlane(src.data(), 80, w, 1, dst.data(), w);
        for (int x = 0; x < w; ++x) {
            const int sum = src[2 * x] + src[2 * x + 1] + src[80 + 2 * x] + src[80 + 2 * x + 1];
            EXPECT_NEAR(sum / 4.0, dst[x], 0.75) << "width " << w << " x " << x;
        }
    }
}

TEST(H264WholeUnits, WhatMayBeTakenForAWholeAccessUnit) {
    auto units = MakeStream(3);
    ASSERT_EQ(3u, units.size());
    for (const AccessUnit& au : units) EXPECT_TRUE(H264Decoder::BeginsWholeUnit(au.data.data(), au.data.size()));
    const AccessUnit& key = units[0];
    const size_t slice = IdrSliceOffset(key);
    ASSERT_LT(slice, key.data.size());
    // Parameter sets alone, a tail without its start code, nothing at all.
    EXPECT_FALSE(H264Decoder::BeginsWholeUnit(key.data.data(), slice));
    EXPECT_FALSE(H264Decoder::BeginsWholeUnit(key.data.data() + slice + 1, key.data.size() - slice - 1));
    EXPECT_FALSE(H264Decoder::BeginsWholeUnit(key.data.data(), 0));
    // A slice continuing a picture (first_mb_in_slice 5: bits 00110) and one beginning it.
    const uint8_t second[] = {0, 0, 0, 1, 0x41, 0x30, 0x12, 0x34};
    const uint8_t first[] = {0, 0, 1, 0x41, 0x9A, 0x12, 0x34};
    EXPECT_FALSE(H264Decoder::BeginsWholeUnit(second, sizeof second));
    EXPECT_TRUE(H264Decoder::BeginsWholeUnit(first, sizeof first));
    // A slice NAL header at the very end, with no slice header after it.
    EXPECT_FALSE(H264Decoder::BeginsWholeUnit(first, 4));
}

TEST(H264WholeUnits, WholeUnitsDecodeAtOnceAndMixWithTheParser) {
    auto units = MakeStream(6);
    ASSERT_EQ(6u, units.size());
    H264Decoder decoder;
    ASSERT_EQ(0, decoder.Open(1));
    Pictures pictures;
    const auto fn = pictures.Fn();
    for (int i = 0; i < 3; ++i) {
        std::vector<uint8_t> padded(units[i].data);
        padded.resize(padded.size() + H264Decoder::kInputPadding, 0);
        EXPECT_EQ(0, decoder.DecodeWhole(padded.data(), static_cast<int>(units[i].data.size()), nullptr, fn));
        EXPECT_EQ(i + 1, pictures.count);  // no waiting for the next unit to begin
    }
    // The same stream goes on through the parser: the picture waits for the next one.
    FeedWhole(decoder, units[3], fn);
    FeedWhole(decoder, units[4], fn);
    EXPECT_EQ(4, pictures.count);
    decoder.EndAccessUnit(fn);
    EXPECT_EQ(5, pictures.count);
    EXPECT_EQ(0, pictures.damaged);
    EXPECT_EQ(0u, decoder.decode_errors());
}
