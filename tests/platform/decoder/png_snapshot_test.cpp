#include "platform/decoder/png_writer.h"
#include "platform/decoder/snapshot_decoder.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "platform/decoder/stream_fixture.h"
#include "platform/decoder/xplay.h"

using namespace velmora::platform;
using namespace velmora::sim::stream;

namespace {

// Decodes PNG bytes with libavcodec into packed RGB24 rows; empty on failure.
std::vector<uint8_t> DecodePng(const std::string& png, int* w, int* h) {
    std::vector<uint8_t> rgb;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::vector<uint8_t> padded(png.begin(), png.end());
    padded.resize(png.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    pkt->data = padded.data();
    pkt->size = static_cast<int>(png.size());
    if (avcodec_open2(ctx, codec, nullptr) == 0 && avcodec_send_packet(ctx, pkt) == 0 &&
        avcodec_receive_frame(ctx, frame) == 0 && frame->format == AV_PIX_FMT_RGB24) {
        *w = frame->width;
        *h = frame->height;
        for (int y = 0; y < frame->height; ++y) {
            const uint8_t* row = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
            rgb.insert(rgb.end(), row, row + frame->width * 3);
        }
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return rgb;
}

std::vector<uint8_t> Concat(const std::vector<AccessUnit>& units, size_t first = 0) {
    std::vector<uint8_t> all;
    for (size_t i = first; i < units.size(); ++i) all.insert(all.end(), units[i].data.begin(), units[i].data.end());
    return all;
}

}  // namespace

TEST(Png, EncodedPictureDecodesToTheSamePixels) {
    // Odd size and a padded stride, noise content so every filter path is used.
    const int w = 37, h = 23, stride = 37 * 3 + 5;
    std::vector<uint8_t> pixels(static_cast<size_t>(stride) * h, 0xEE);
    std::mt19937 rng(7);
    std::vector<uint8_t> packed;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * 3; ++x) {
            uint8_t v = static_cast<uint8_t>(y < 10 ? rng() : x * 7 + y);
            pixels[static_cast<size_t>(y) * stride + x] = v;
            packed.push_back(v);
        }

    std::string png;
    ASSERT_EQ(0, EncodePng(pixels.data(), w, h, stride, &png));
    int dw = 0, dh = 0;
    EXPECT_EQ(packed, DecodePng(png, &dw, &dh));
    EXPECT_EQ(w, dw);
    EXPECT_EQ(h, dh);

    const std::string path = ::testing::TempDir() + "velmora_png_test.png";
    ASSERT_EQ(0, WritePng(path, pixels.data(), w, h, stride));
    std::ifstream in(path, std::ios::binary);
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(png, file);
    std::remove(path.c_str());
}

TEST(Png, BadArgumentsAndUnwritablePaths) {
    uint8_t px[12] = {};
    std::string out;
    EXPECT_EQ(XPLAY_E_ARG, EncodePng(nullptr, 2, 2, 6, &out));
    EXPECT_EQ(XPLAY_E_ARG, EncodePng(px, 0, 2, 6, &out));
    EXPECT_EQ(XPLAY_E_ARG, EncodePng(px, 2, 2, 5, &out));
    EXPECT_EQ(XPLAY_E_ARG, WritePng("", px, 2, 2, 6));
    EXPECT_EQ(XPLAY_E_IO, WritePng("/nonexistent-dir/velmora/x.png", px, 2, 2, 6));
}

// The snapshot used to be written through a fixed "FILE.part" name: a link planted there made it
// overwrite any file the user could write.
TEST(Png, SnapshotIgnoresALinkPlantedAtTheOldTemporaryName) {
    std::string dir = ::testing::TempDir() + "velmora_png_XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const std::string victim = dir + "/victim", path = dir + "/shot.png";
    std::ofstream(victim) << "precious";
    ASSERT_EQ(0, symlink(victim.c_str(), (path + ".part").c_str()));
    uint8_t px[12] = {};
    std::string error;
    ASSERT_EQ(0, WritePng(path, px, 2, 2, 6, &error)) << error;
    std::ifstream in(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
    EXPECT_EQ(3, std::distance(std::filesystem::directory_iterator(dir), {}));  // no temporary file
    std::filesystem::remove_all(dir);
}

TEST(Snapshot, FirstCompletePictureFromAStreamJoinedMidway) {
    auto units = MakeStream(12, PictureParams(), 320, 240, 5);
    ASSERT_EQ(12u, units.size());
    // Start at frame 2: frames 2..4 reference a picture never seen; the key frame at 5 is the first usable.
    std::vector<uint8_t> data = Concat(units, 2);
    RgbPicture picture;
    ASSERT_EQ(1, DecodeFirstPicture(data.data(), static_cast<int>(data.size()), &picture));
    EXPECT_EQ(320, picture.width);
    EXPECT_EQ(240, picture.height);
    EXPECT_EQ(320u * 3 * 240, picture.pixels.size());
    // Leftmost bar white, rightmost black.
    EXPECT_GT(picture.pixels[static_cast<size_t>(100) * picture.stride + 3 * 5], 150);
    EXPECT_LT(picture.pixels[static_cast<size_t>(100) * picture.stride + 3 * 315], 40);

    // Fed in small pieces, the same picture comes out as soon as it is complete.
    SnapshotDecoder decoder;
    int ret = 0;
    size_t offset = 0;
    for (; offset < data.size() && ret == 0; offset += 7) {
        ret = decoder.Feed(data.data() + offset, static_cast<int>(std::min<size_t>(7, data.size() - offset)));
    }
    ASSERT_EQ(1, ret);
    EXPECT_LT(offset, data.size());
    EXPECT_EQ(picture.pixels, decoder.Picture().pixels);
}

TEST(Snapshot, NoPictureInGarbageOrEmptyData) {
    std::vector<uint8_t> junk(20000);
    std::mt19937 rng(3);
    for (auto& b : junk) b = static_cast<uint8_t>(rng());
    RgbPicture picture;
    EXPECT_EQ(0, DecodeFirstPicture(junk.data(), static_cast<int>(junk.size()), &picture));
    EXPECT_EQ(0, DecodeFirstPicture(nullptr, 0, &picture));
    EXPECT_EQ(XPLAY_E_ARG, DecodeFirstPicture(nullptr, 5, &picture));
    EXPECT_EQ(XPLAY_E_ARG, DecodeFirstPicture(junk.data(), 5, nullptr));
    // Only non-key frames: nothing usable.
    auto units = MakeStream(4);
    std::vector<uint8_t> tail = Concat(units, 1);
    EXPECT_EQ(0, DecodeFirstPicture(tail.data(), static_cast<int>(tail.size()), &picture));
}
