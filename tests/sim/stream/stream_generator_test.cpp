#include "sim/stream/stream_generator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/decoder/frame_converter.h"
#include "platform/decoder/h264_decoder.h"

using namespace velmora::platform;
using namespace velmora::sim::stream;

using namespace std::chrono_literals;

namespace {

// NAL unit types of an Annex-B access unit, in order.
std::vector<int> NalTypes(const std::vector<uint8_t>& au) {
    std::vector<int> types;
    for (size_t i = 0; i + 3 < au.size(); ++i) {
        if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
            types.push_back(au[i + 3] & 0x1F);
            i += 2;
        }
    }
    return types;
}

bool Has(const std::vector<int>& v, int x) { return std::find(v.begin(), v.end(), x) != v.end(); }

struct Rgb {
    int w = 0, h = 0;
    std::vector<uint8_t> px;  // packed RGB24
    int Luma(int x, int y) const {
        const uint8_t* p = px.data() + (static_cast<size_t>(y) * w + x) * 3;
        return (299 * p[0] + 587 * p[1] + 114 * p[2]) / 1000;
    }
};

// Decodes every access unit into an RGB picture.
std::vector<Rgb> DecodeAll(const std::vector<AccessUnit>& units) {
    std::vector<Rgb> out;
    H264Decoder decoder;
    if (decoder.Open(1) != 0) return out;
    FrameConverter converter;
    auto take = [&](const AVFrame* frame) {
        if (converter.Convert(frame, FrameConverter::Format::kRgb24, 0, 0) != 0) return;
        Rgb rgb;
        rgb.w = converter.width();
        rgb.h = converter.height();
        for (int y = 0; y < rgb.h; ++y) {
            const uint8_t* row = converter.data() + static_cast<size_t>(y) * converter.stride();
            rgb.px.insert(rgb.px.end(), row, row + rgb.w * 3);
        }
        out.push_back(std::move(rgb));
    };
    for (const AccessUnit& au : units) {
        std::vector<uint8_t> padded(au.data);
        padded.resize(au.data.size() + H264Decoder::kInputPadding, 0);
        decoder.Feed(padded.data(), static_cast<int>(au.data.size()), take);
        decoder.EndAccessUnit(take);
    }
    return out;
}

std::vector<AccessUnit> Encode(StreamGenerator& g, int n) {
    std::vector<AccessUnit> units;
    for (int i = 0; i < n; ++i) {
        AccessUnit au;
        EXPECT_EQ(0, g.EncodeNext(&au));
        units.push_back(std::move(au));
    }
    return units;
}

Rgb FirstPicture(const PictureParams& p, int w = 320, int h = 240) {
    GeneratorConfig config;
    config.width = w;
    config.height = h;
    StreamGenerator g;
    EXPECT_EQ(0, g.Open(config));
    g.SetParams(p);
    auto pics = DecodeAll(Encode(g, 1));
    return pics.empty() ? Rgb() : pics[0];
}

}  // namespace

TEST(StreamGenerator, RejectsBadConfigurations) {
    StreamGenerator g;
    GeneratorConfig c;
    c.width = 321;
    EXPECT_EQ(-2, g.Open(c));
    c = GeneratorConfig();
    c.height = 8;
    EXPECT_EQ(-2, g.Open(c));
    c = GeneratorConfig();
    c.fps = 0;
    EXPECT_EQ(-2, g.Open(c));
    AccessUnit au;
    EXPECT_EQ(-1, g.EncodeNext(&au));  // not open
    EXPECT_EQ(-1, g.Start([](const uint8_t*, int, int64_t, bool) {}));
}

TEST(StreamGenerator, OverlongAndForeignLabelTextIsClipped) {
    GeneratorConfig c;
    c.width = 160;
    c.height = 120;
    c.label = std::string(500, '8') + "\xE6\x91\x84\xE5\x83\x8F @~";
    StreamGenerator g;
    ASSERT_EQ(0, g.Open(c));
    auto pics = DecodeAll(Encode(g, 2));
    ASSERT_EQ(2u, pics.size());
    EXPECT_EQ(160, pics[1].w);
}

TEST(StreamGenerator, KeyFramesCarryParameterSetsAtTheConfiguredInterval) {
    GeneratorConfig c;
    c.width = 320;
    c.height = 240;
    c.fps = 25;
    StreamGenerator g;
    ASSERT_EQ(0, g.Open(c));
    auto units = Encode(g, 60);
    for (size_t i = 0; i < units.size(); ++i) {
        const bool key = i % 25 == 0;
        auto types = NalTypes(units[i].data);
        EXPECT_EQ(key, units[i].keyframe) << i;
        EXPECT_EQ(key, Has(types, 7) && Has(types, 8) && Has(types, 5)) << i;
        EXPECT_EQ(!key, Has(types, 1)) << i;
        EXPECT_EQ(static_cast<int64_t>(i) * 40000, units[i].pts_us);
    }
    // A viewer joining asks for a key frame: the next picture is one, with its parameter sets.
    g.RequestKeyframe();
    AccessUnit au;
    ASSERT_EQ(0, g.EncodeNext(&au));
    EXPECT_TRUE(au.keyframe);
    EXPECT_TRUE(Has(NalTypes(au.data), 7));

    // Every frame decodes, at the configured size, and only the clock box changes between frames.
    auto pics = DecodeAll(units);
    ASSERT_EQ(units.size(), pics.size());
    EXPECT_EQ(320, pics[0].w);
    EXPECT_EQ(240, pics[0].h);
    int differing_outside_text = 0;
    for (int y = 240 / 3; y < 240; ++y)
        for (int x = 0; x < 320; ++x) differing_outside_text += std::abs(pics[3].Luma(x, y) - pics[4].Luma(x, y)) > 12;
    EXPECT_EQ(0, differing_outside_text);
    EXPECT_NE(pics[3].px, pics[4].px);  // the frame number moved on
}

TEST(StreamGenerator, MirroredAndFlippedPicturesTurnTheText) {
    const Rgb plain = FirstPicture(PictureParams());
    PictureParams p;
    p.mirror = true;
    const Rgb mirrored = FirstPicture(p);
    p = PictureParams();
    p.flip = true;
    const Rgb flipped = FirstPicture(p);
    ASSERT_EQ(320, plain.w);
    ASSERT_EQ(320, mirrored.w);
    ASSERT_EQ(320, flipped.w);

    // The label box (first text line, left third): the mirrored picture holds it at the right,
    // reversed; read unreversed it does not match (the address is no palindrome).
    const int scale = 1, y0 = 2 * scale + 2, y1 = y0 + 7;
    long reversed = 0, straight = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = 0; x < 100; ++x) {
            reversed += std::abs(plain.Luma(x, y) - mirrored.Luma(319 - x, y));
            straight += std::abs(plain.Luma(x, y) - mirrored.Luma(220 + x, y));
        }
    EXPECT_LT(reversed, straight / 4);
    // Flipped: the label sits at the bottom, upside down.
    long upside_down = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = 0; x < 100; ++x) upside_down += std::abs(plain.Luma(x, y) - flipped.Luma(x, 239 - y));
    EXPECT_LT(upside_down, straight / 4);
}

TEST(StreamGenerator, ContrastAndSaturationActOnTheScene) {
    PictureParams p;
    p.saturation = 0;
    const Rgb grey = FirstPicture(p);
    const Rgb normal = FirstPicture(PictureParams());
    // The yellow bar (second of eight): strongly coloured normally, neutral at saturation 0.
    auto spread = [](const Rgb& pic, int x, int y) {
        const uint8_t* q = pic.px.data() + (static_cast<size_t>(y) * pic.w + x) * 3;
        return std::max({q[0], q[1], q[2]}) - std::min({q[0], q[1], q[2]});
    };
    EXPECT_GT(spread(normal, 60, 120), 100);
    EXPECT_LT(spread(grey, 60, 120), 12);

    p = PictureParams();
    p.contrast = 0;
    const Rgb flat = FirstPicture(p);
    p.contrast = 100;
    const Rgb strong = FirstPicture(p);
    // Difference between the white and the blue bar.
    auto range = [](const Rgb& pic) { return pic.Luma(20, 120) - pic.Luma(260, 120); };
    EXPECT_LT(std::abs(range(flat)), 8);
    EXPECT_GT(range(strong), range(normal) + 40);
}

TEST(StreamGenerator, PushThreadDeliversAtTheFrameRateAndStops) {
    GeneratorConfig c;
    c.width = 160;
    c.height = 120;
    c.fps = 50;
    StreamGenerator g;
    ASSERT_EQ(0, g.Open(c));

    std::mutex mu;
    std::condition_variable cv;
    std::vector<int64_t> pts;
    std::atomic<int> stop_result{1};
    ASSERT_EQ(0, g.Start([&](const uint8_t* data, int size, int64_t t, bool key) {
        EXPECT_NE(nullptr, data);
        EXPECT_GT(size, 0);
        std::lock_guard<std::mutex> lock(mu);
        if (pts.empty()) {
            EXPECT_TRUE(key);
            stop_result = g.Stop();  // refused on its own thread
        }
        pts.push_back(t);
        cv.notify_all();
    }));
    EXPECT_EQ(-1, g.Start([](const uint8_t*, int, int64_t, bool) {}));
    AccessUnit au;
    EXPECT_EQ(-1, g.EncodeNext(&au));

    // Parameters change from another thread while the generator runs.
    std::thread tuner([&] {
        for (int i = 0; i < 20; ++i) {
            PictureParams p;
            p.luminance = i * 5;
            p.mirror = i % 2;
            g.SetParams(p);
            std::this_thread::sleep_for(2ms);
        }
    });
    {
        std::unique_lock<std::mutex> lock(mu);
        EXPECT_TRUE(cv.wait_for(lock, 10s, [&] { return pts.size() >= 10; }));
    }
    tuner.join();
    EXPECT_EQ(0, g.Stop());
    EXPECT_FALSE(g.Running());
    EXPECT_EQ(-4, stop_result.load());
    std::lock_guard<std::mutex> lock(mu);
    for (size_t i = 1; i < pts.size(); ++i) EXPECT_GT(pts[i], pts[i - 1]);
    EXPECT_EQ(0, pts[0]);
    // After stopping, pictures can be pulled again.
    EXPECT_EQ(0, g.EncodeNext(&au));
}
