#include "platform/decoder/xplay.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "platform/decoder/frame_converter.h"
#include "platform/decoder/h264_decoder.h"
#include "platform/decoder/recording_sink.h"
#include "platform/decoder/stream_fixture.h"

using namespace velmora::platform;
using namespace velmora::sim;
using namespace velmora::sim::stream;

using namespace std::chrono_literals;

namespace {

void Feed(int port, const std::vector<AccessUnit>& units) {
    for (const AccessUnit& au : units) {
        ASSERT_EQ(0, X_VideoInputData(port, au.data.data(), static_cast<int>(au.data.size())));
    }
}

XStreamStats Stats(int port) {
    XStreamStats stats;
    EXPECT_EQ(0, X_GetStreamStats(port, &stats));
    return stats;
}

// Counters are published after the data that produced them has been fed, which may be a moment
// after the sink saw the picture: waits (within a generous bound) until `done` holds for them.
template <typename Done>
XStreamStats StatsWhen(int port, Done done) {
    XStreamStats stats = Stats(port);
    for (int i = 0; i < 2000 && !done(stats); ++i) {
        std::this_thread::sleep_for(10ms);
        stats = Stats(port);
    }
    return stats;
}

XStreamStats StatsOnceDecoded(int port, uint64_t frames) {
    return StatsWhen(port, [frames](const XStreamStats& s) { return s.frames_decoded >= frames; });
}

// Waits until `frames` pictures have been decoded and each of them has either reached the sink or
// been replaced by a newer one. The newest picture is never replaced, so the sink has it by then.
XStreamStats StatsOncePresented(int port, uint64_t frames) {
    return StatsWhen(port, [frames](const XStreamStats& s) {
        return s.frames_decoded >= frames && s.frames_delivered + s.frames_superseded >= s.frames_decoded;
    });
}

// Decodes a whole stream through a port and returns the last picture the sink received, which
// must be the stream's last picture. Pictures before it may be replaced while the sink is busy.
RecordingSink::Picture DecodeLast(const std::vector<AccessUnit>& units, int want_w = 0, int want_h = 0) {
    RecordingSink sink(want_w, want_h);
    int port = X_OpenStream(0, 0);
    EXPECT_GE(port, 0);
    EXPECT_EQ(0, X_PlayEx(port, &sink));
    Feed(port, units);
    XStreamStats stats = StatsOncePresented(port, units.size());
    EXPECT_EQ(units.size(), stats.frames_decoded);
    EXPECT_EQ(stats.frames_decoded, stats.frames_delivered + stats.frames_superseded);
    EXPECT_EQ(static_cast<int>(stats.frames_delivered), sink.Count());
    EXPECT_EQ(0, X_VideoClose(port));
    return sink.Last();
}

// Mean absolute luma difference between a and b, where b is read through a turn.
double TurnedDifference(const RecordingSink::Picture& a, const RecordingSink::Picture& b, bool mirror, bool flip,
                        int y0, int y1) {
    double sum = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = 0; x < a.width; ++x) {
            int bx = mirror ? a.width - 1 - x : x;
            int by = flip ? a.height - 1 - y : y;
            sum += std::abs(a.Luma(x, y) - b.Luma(bx, by));
        }
    }
    return sum / (static_cast<double>(a.width) * (y1 - y0));
}

// Holds the thread that calls the sink inside OnFrame until the test lets pictures through, so
// the test knows where presenting (and, with present_on_decoding_thread, decoding) stands while
// it feeds. Feeding must never wait for it.
class GateSink : public RecordingSink {
public:
    void OnFrame(const uint8_t* p, int w, int h, int s) override {
        {
            std::unique_lock<std::mutex> lock(mu_);
            ++entered_;
            cv_.notify_all();
            // The bound only keeps a broken build from hanging; the test fails if it is reached.
            if (cv_.wait_for(lock, std::chrono::seconds(20), [&] { return open_ || permits_ > 0; })) {
                if (!open_) --permits_;
            } else {
                timed_out_ = true;
            }
        }
        RecordingSink::OnFrame(p, w, h, s);
    }
    // Lets `n` more pictures through.
    void Let(int n) {
        std::lock_guard<std::mutex> lock(mu_);
        permits_ += n;
        cv_.notify_all();
    }
    // Lets every picture through from now on.
    void Open() {
        std::lock_guard<std::mutex> lock(mu_);
        open_ = true;
        cv_.notify_all();
    }
    // Waits until the sink's caller has reached OnFrame `n` times in all.
    bool WaitEntered(int n) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return entered_ >= n; });
    }
    int Entered() {
        std::lock_guard<std::mutex> lock(mu_);
        return entered_;
    }
    bool TimedOut() {
        std::lock_guard<std::mutex> lock(mu_);
        return timed_out_;
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    int entered_ = 0;
    int permits_ = 0;
    bool open_ = false;
    bool timed_out_ = false;
};

// Closes a port fed into a GateSink however the test ends, so the sink is never left blocked or
// called after it is gone.
struct GatedPort {
    GateSink& sink;
    int port;
    ~GatedPort() {
        sink.Open();
        X_VideoClose(port);
    }
};

}  // namespace

TEST(XPlayPorts, PicturesArriveAtNativeAndRequestedSize) {
    auto units = MakeStream(6);
    ASSERT_EQ(6u, units.size());

    RecordingSink::Picture native = DecodeLast(units);
    EXPECT_EQ(320, native.width);
    EXPECT_EQ(240, native.height);
    EXPECT_GE(native.stride, 320 * 4);

    RecordingSink::Picture scaled = DecodeLast(units, 160, 90);
    EXPECT_EQ(160, scaled.width);
    EXPECT_EQ(90, scaled.height);
    // The leftmost bar is 75% white, the rightmost black, in both sizes.
    EXPECT_GT(scaled.MeanLuma(2, 30, 18, 60), 150);
    EXPECT_LT(scaled.MeanLuma(145, 30, 158, 60), 40);
}

// A sink a third of the picture's size gets pictures halved band by band as they were decoded:
// the same pixels as converting the finished picture, and no picture is lost on the way.
TEST(XPlayPorts, SmallSinkGetsPicturesHalvedWhileDecoding) {
    auto units = MakeStream(8, PictureParams(), 640, 360, 4);
    ASSERT_EQ(8u, units.size());
    const int port = X_OpenStream(0, 0);
    ASSERT_GE(port, 0);
    RecordingSink sink(160, 90);
    ASSERT_EQ(0, X_PlayEx(port, &sink));
    // The first picture tells the port the sink's size; the ones after it can be halved early.
    ASSERT_EQ(0, X_VideoInputData(port, units[0].data.data(), static_cast<int>(units[0].data.size())));
    ASSERT_TRUE(sink.WaitFor(1));
    // Setting the sink again returns once the presenting thread has left its call: a busy sink
    // would (rightly) send the next picture the presenter's way instead.
    ASSERT_EQ(0, X_PlayEx(port, &sink));
    Feed(port, {units.begin() + 1, units.end()});
    const XStreamStats stats = StatsOncePresented(port, units.size());
    EXPECT_EQ(0, X_VideoClose(port));
    EXPECT_EQ(8u, stats.frames_decoded);
    EXPECT_EQ(8u, stats.frames_delivered + stats.frames_superseded);

    // The last picture, decoded bare and converted whole.
    H264Decoder decoder;
    ASSERT_EQ(0, decoder.Open(1));
    FrameConverter whole;
    std::vector<uint8_t> expected;
    auto keep = [&](const AVFrame* f) {
        ASSERT_EQ(0, whole.Convert(f, FrameConverter::Format::kBgrx, 160, 90));
        expected.clear();
        for (int y = 0; y < 90; ++y)
            expected.insert(expected.end(), whole.data() + y * whole.stride(), whole.data() + y * whole.stride() + 640);
    };
    for (const AccessUnit& au : units) {
        std::vector<uint8_t> padded(au.data);
        padded.resize(au.data.size() + H264Decoder::kInputPadding, 0);
        decoder.Feed(padded.data(), static_cast<int>(au.data.size()), keep);
    }
    decoder.Drain(keep);
    const RecordingSink::Picture last = sink.Last();
    ASSERT_EQ(160, last.width);
    ASSERT_EQ(90, last.height);
    EXPECT_TRUE(last.bgrx == expected);
    // This libavcodec reports finished rows without promising it; without them nothing is early.
    if (stats.frames_from_bands == 0) GTEST_SKIP() << "no picture was halved from its bands";
    EXPECT_EQ(7u, stats.frames_from_bands);
}

TEST(XPlayPorts, PictureFollowsMirrorFlipAndBrightness) {
    RecordingSink::Picture plain = DecodeLast(MakeStream(3));
    PictureParams p;
    p.mirror = true;
    RecordingSink::Picture mirrored = DecodeLast(MakeStream(3, p));
    p = PictureParams();
    p.flip = true;
    RecordingSink::Picture flipped = DecodeLast(MakeStream(3, p));
    ASSERT_EQ(320, mirrored.width);
    ASSERT_EQ(320, flipped.width);

    // Rows clear of the text boxes (top sixth, or bottom sixth when flipped).
    const int y0 = 240 / 6, y1 = 240 * 5 / 6;
    EXPECT_LT(TurnedDifference(plain, mirrored, true, false, y0, y1), 6.0);
    EXPECT_GT(TurnedDifference(plain, mirrored, false, false, y0, y1), 40.0);
    EXPECT_LT(TurnedDifference(plain, flipped, false, true, y0, y1), 6.0);
    EXPECT_GT(TurnedDifference(plain, flipped, false, false, y0, y1), 40.0);

    p = PictureParams();
    p.luminance = 80;
    RecordingSink::Picture bright = DecodeLast(MakeStream(3, p));
    p.luminance = 20;
    RecordingSink::Picture dark = DecodeLast(MakeStream(3, p));
    const double mid = plain.MeanLuma(0, y0, 320, y1);
    EXPECT_GT(bright.MeanLuma(0, y0, 320, y1), mid + 30);
    EXPECT_LT(dark.MeanLuma(0, y0, 320, y1), mid - 30);
}

TEST(XPlayPorts, BadPortsAndArgumentsAreRefused) {
    const uint8_t byte = 0;
    EXPECT_EQ(XPLAY_E_PORT, X_VideoInputData(-1, &byte, 1));
    EXPECT_EQ(XPLAY_E_PORT, X_VideoInputData(1 << 30, &byte, 1));
    EXPECT_EQ(XPLAY_E_PORT, X_VideoClose(-1));
    EXPECT_EQ(XPLAY_E_PORT, X_PlayEx(-5, nullptr));

    int port = X_OpenStream(0, 0);
    ASSERT_GE(port, 0);
    EXPECT_EQ(XPLAY_E_ARG, X_VideoInputData(port, nullptr, 10));
    EXPECT_EQ(XPLAY_E_ARG, X_VideoInputData(port, &byte, -1));
    EXPECT_EQ(0, X_VideoInputData(port, nullptr, 0));
    EXPECT_EQ(XPLAY_E_ARG, X_GetStreamStats(port, nullptr));
    EXPECT_EQ(0, X_VideoClose(port));
    EXPECT_EQ(XPLAY_E_PORT, X_VideoClose(port));
    EXPECT_EQ(XPLAY_E_PORT, X_VideoInputData(port, &byte, 1));
    XStreamStats stats;
    EXPECT_EQ(XPLAY_E_PORT, X_GetStreamStats(port, &stats));

    // A closed port number is never handed out again.
    int next = X_OpenStream(0, 0);
    EXPECT_GT(next, port);
    EXPECT_EQ(0, X_VideoClose(next));

    XStreamOptions bad;
    bad.max_queued_bytes = 0;
    EXPECT_EQ(XPLAY_E_ARG, X_OpenStreamEx(bad));
}

TEST(XPlayPorts, PortTableIsBounded) {
    XStreamOptions options;
    options.decoder_threads = 1;
    std::vector<int> ports;
    for (int i = 0; i < XPLAY_MAX_PORTS; ++i) {
        int port = X_OpenStreamEx(options);
        ASSERT_GE(port, 0);
        ports.push_back(port);
    }
    EXPECT_EQ(XPLAY_E_RESOURCE, X_OpenStreamEx(options));
    for (int port : ports) EXPECT_EQ(0, X_VideoClose(port));
    int again = X_OpenStream(0, 0);
    EXPECT_GE(again, 0);
    X_VideoClose(again);
}

TEST(XPlayPorts, LonePictureIsDecodedWhenInputGoesQuiet) {
    auto units = MakeStream(2);
    // Default: the quiet input closes the picture off.
    {
        RecordingSink sink;
        int port = X_OpenStream(0, 0);
        ASSERT_EQ(0, X_PlayEx(port, &sink));
        ASSERT_EQ(0, X_VideoInputData(port, units[0].data.data(), static_cast<int>(units[0].data.size())));
        EXPECT_TRUE(sink.WaitFor(1));
        X_VideoClose(port);
    }
    // Without the idle flush the picture waits for the next one to begin.
    {
        XStreamOptions options;
        options.idle_flush_ms = -1;
        RecordingSink sink;
        int port = X_OpenStreamEx(options);
        ASSERT_EQ(0, X_PlayEx(port, &sink));
        ASSERT_EQ(0, X_VideoInputData(port, units[0].data.data(), static_cast<int>(units[0].data.size())));
        EXPECT_FALSE(sink.WaitFor(1, 300ms));
        ASSERT_EQ(0, X_VideoInputData(port, units[1].data.data(), static_cast<int>(units[1].data.size())));
        EXPECT_TRUE(sink.WaitFor(1));
        X_VideoClose(port);
    }
}

TEST(XPlayPorts, WholeAccessUnitsAreShownAtOnceAndOtherChunkingFallsBackToTheParser) {
    XStreamOptions options;
    options.whole_access_units = true;
    options.idle_flush_ms = -1;  // so only the whole-unit path can show a lone picture
    auto units = MakeStream(10, PictureParams(), 320, 240, 5);
    ASSERT_EQ(10u, units.size());
    {
        RecordingSink sink;
        int port = X_OpenStreamEx(options);
        ASSERT_EQ(0, X_PlayEx(port, &sink));
        Feed(port, units);
        // The last one too: nothing waits for a following unit.
        EXPECT_EQ(10u, StatsOncePresented(port, 10).frames_decoded);
        EXPECT_TRUE(sink.WaitFor(1));
        // A hole: what follows waits for the next key frame (1..4 are skipped, 5..9 shown).
        std::vector<uint8_t> big(static_cast<size_t>(options.max_chunk_bytes) + 1, 0);
        EXPECT_EQ(XPLAY_E_ARG, X_VideoInputData(port, big.data(), static_cast<int>(big.size())));
        Feed(port, std::vector<AccessUnit>(units.begin() + 1, units.end()));
        XStreamStats stats = StatsOncePresented(port, 15);
        EXPECT_EQ(15u, stats.frames_decoded);
        EXPECT_EQ(4u, stats.skipped_units);
        EXPECT_EQ(0u, stats.decode_errors);
        EXPECT_EQ(0, X_VideoClose(port));
    }
    {
        // Parameter sets and slices in chunks of their own: the first chunk, without a slice, hands
        // the stream to the parser, and nothing is lost.
        RecordingSink sink;
        int port = X_OpenStreamEx(options);
        ASSERT_EQ(0, X_PlayEx(port, &sink));
        for (const AccessUnit& au : units) {
            size_t slice = 0;
            while (slice + 3 < au.data.size() &&
                   !(au.data[slice] == 0 && au.data[slice + 1] == 0 && au.data[slice + 2] == 1 &&
                     ((au.data[slice + 3] & 0x1F) == 1 || (au.data[slice + 3] & 0x1F) == 5))) {
                ++slice;
            }
            if (slice > 0 && au.data[slice - 1] == 0) --slice;  // the four-byte start code
            if (slice > 0) {
                ASSERT_EQ(0, X_VideoInputData(port, au.data.data(), static_cast<int>(slice)));
            }
            ASSERT_EQ(0, X_VideoInputData(port, au.data.data() + slice, static_cast<int>(au.data.size() - slice)));
        }
        XStreamStats stats = StatsOncePresented(port, 9);  // the last waits for a following unit
        EXPECT_EQ(9u, stats.frames_decoded);
        EXPECT_EQ(0u, stats.decode_errors);
        EXPECT_EQ(0u, stats.skipped_units);
        EXPECT_EQ(0, X_VideoClose(port));
    }
}

TEST(XPlayPorts, DetachedSinkIsNotCalledAndSinkCannotCloseItsPort) {
    auto units = MakeStream(4);
    // The sink is called on the presenting thread by default, on the decoding thread otherwise:
    // both are the port's own threads.
    for (bool on_decoding_thread : {false, true}) {
        SCOPED_TRACE(on_decoding_thread ? "presenting on the decoding thread" : "presenting thread");
        XStreamOptions options;
        options.present_on_decoding_thread = on_decoding_thread;
        int port = X_OpenStreamEx(options);
        ASSERT_GE(port, 0);
        ASSERT_EQ(0, X_PlayEx(port, nullptr));
        Feed(port, units);
        XStreamStats stats = StatsOnceDecoded(port, units.size());
        EXPECT_EQ(units.size(), stats.frames_decoded);
        EXPECT_EQ(0u, stats.frames_delivered);
        EXPECT_EQ(0u, stats.frames_superseded);
        EXPECT_EQ(320, stats.width);

        // A sink that tries to close or re-attach its own port from the thread calling it is
        // refused.
        struct SelfClosingSink : RecordingSink {
            int port = -1;
            std::atomic<int> close_result{1}, play_result{1};
            void OnFrame(const uint8_t* p, int w, int h, int s) override {
                close_result = X_VideoClose(port);
                play_result = X_PlayEx(port, nullptr);
                RecordingSink::OnFrame(p, w, h, s);
            }
        } sink;
        sink.port = port;
        ASSERT_EQ(0, X_PlayEx(port, &sink));
        Feed(port, MakeStream(2));
        ASSERT_TRUE(sink.WaitFor(1));
        EXPECT_EQ(XPLAY_E_THREAD, sink.close_result.load());
        EXPECT_EQ(XPLAY_E_THREAD, sink.play_result.load());
        EXPECT_EQ(0, X_VideoClose(port));
    }
}

TEST(XPlayGarbage, GarbageIsSurvivedAndAValidStreamStillDecodes) {
    RecordingSink sink;
    int port = X_OpenStream(0, 0);
    ASSERT_EQ(0, X_PlayEx(port, &sink));

    std::mt19937 rng(1234);
    std::vector<uint8_t> junk;
    for (int round = 0; round < 200; ++round) {
        junk.resize(1 + rng() % 4000);
        for (auto& b : junk) b = static_cast<uint8_t>(rng());
        // Every other chunk is made to look like H.264: start codes with random NAL headers,
        // including parameter sets and IDR slices full of noise.
        if (round % 2) {
            for (size_t i = 0; i + 5 < junk.size(); i += 1 + rng() % 300) {
                static const uint8_t kTypes[] = {0x67, 0x68, 0x65, 0x41, 0x06, 0x09};
                junk[i] = 0;
                junk[i + 1] = 0;
                junk[i + 2] = 1;
                junk[i + 3] = kTypes[rng() % 6];
            }
        }
        EXPECT_EQ(0, X_VideoInputData(port, junk.data(), static_cast<int>(junk.size())));
    }
    // A real stream cut at random points: missing heads, truncated tails.
    auto units = MakeStream(10);
    for (const AccessUnit& au : units) {
        int cut = static_cast<int>(rng() % au.data.size());
        X_VideoInputData(port, au.data.data() + cut, static_cast<int>(au.data.size()) - cut);
    }

    // Then a healthy stream: pictures of the right size arrive again (pictures made from the
    // noise may come first).
    Feed(port, MakeStream(6));
    bool healthy = false;
    for (int i = 0; i < 1000 && !healthy; ++i) {
        healthy = sink.Last().width == 320 && sink.Last().height == 240;
        if (!healthy) std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(healthy);
    EXPECT_EQ(0, X_VideoClose(port));
}

TEST(XPlayQueue, OldestDataIsDroppedWhenDecodingFallsBehind) {
    GateSink sink;
    XStreamOptions options;
    // The test holds the decoding thread in the sink, which only works when pictures are
    // presented on it.
    options.present_on_decoding_thread = true;
    options.max_queued_chunks = 8;
    int port = X_OpenStreamEx(options);
    ASSERT_GE(port, 0);
    GatedPort guard{sink, port};
    ASSERT_EQ(0, X_PlayEx(port, &sink));
    auto units = MakeStream(100, PictureParams(), 320, 240, 10);
    ASSERT_EQ(100u, units.size());

    // The first picture holds the decoding thread in the sink; everything after it must be queued
    // without waiting, pushing out the oldest data.
    ASSERT_EQ(0, X_VideoInputData(port, units[0].data.data(), static_cast<int>(units[0].data.size())));
    ASSERT_TRUE(sink.WaitEntered(1));
    int max_queued = 0;
    for (size_t i = 1; i < units.size(); ++i) {
        ASSERT_EQ(0, X_VideoInputData(port, units[i].data.data(), static_cast<int>(units[i].data.size())));
        max_queued = std::max(max_queued, Stats(port).queued_chunks);
    }
    XStreamStats stats = Stats(port);
    sink.Open();

    EXPECT_FALSE(sink.TimedOut());
    EXPECT_EQ(8, max_queued);
    EXPECT_EQ(8, stats.queued_chunks);
    EXPECT_EQ(100u, stats.chunks_in);
    EXPECT_EQ(91u, stats.chunks_dropped);  // 1..91; 92..99 are left, with no key frame among them
    EXPECT_GT(stats.bytes_dropped, 0u);

    // After the hole the decoder waits for a key frame: 92..98 are skipped, and 99 once the idle
    // flush ends it.
    stats = StatsWhen(port, [](const XStreamStats& s) { return s.skipped_units >= 7; });
    EXPECT_GE(stats.skipped_units, 7u);
    EXPECT_LE(stats.skipped_units, 8u);
    EXPECT_EQ(1u, stats.frames_decoded);
    EXPECT_EQ(0u, stats.frames_superseded);  // on the decoding thread every picture is delivered

    // And goes on at the next one. Whatever part of this burst is dropped as well, its last key
    // frame (10) and the picture after it always get through.
    Feed(port, MakeStream(12, PictureParams(), 320, 240, 10));
    EXPECT_TRUE(sink.WaitFor(3));
    stats = StatsOnceDecoded(port, 3);
    EXPECT_GE(stats.skipped_units, 8u);
    EXPECT_EQ(0u, stats.decode_errors);
    EXPECT_EQ(320, sink.Last().width);
    EXPECT_EQ(0, X_VideoClose(port));
}

TEST(XPlayQueue, KeyFrameJustBeforeAHoleIsShown) {
    // Pictures end only when the next one begins, so at a hole the decoder still holds the last
    // picture that arrived before it. When that is a key frame it must be shown, not thrown away
    // together with what was lost after it.
    GateSink sink;
    XStreamOptions options;
    // The test holds the decoding thread in the sink, which only works when pictures are
    // presented on it.
    options.present_on_decoding_thread = true;
    options.max_queued_chunks = 4;
    options.idle_flush_ms = -1;  // the test decides where pictures end
    int port = X_OpenStreamEx(options);
    ASSERT_GE(port, 0);
    GatedPort guard{sink, port};
    ASSERT_EQ(0, X_PlayEx(port, &sink));
    auto units = MakeStream(22, PictureParams(), 320, 240, 10);
    ASSERT_EQ(22u, units.size());
    auto feed = [&](size_t i) {
        ASSERT_EQ(0, X_VideoInputData(port, units[i].data.data(), static_cast<int>(units[i].data.size())));
    };

    feed(0);
    feed(1);
    ASSERT_TRUE(sink.WaitEntered(1));  // picture 0, ended by the start of 1
    feed(10);                          // 2..9 never arrive
    sink.Let(1);
    ASSERT_TRUE(sink.WaitEntered(2));  // picture 1, ended by the start of key frame 10
    for (size_t i = 12; i <= 16; ++i) feed(i);  // pushes 12 out: a hole right after 10
    sink.Open();
    // Key frame 10 is shown when the hole is reached, so 13..16 have left the queue by then.
    ASSERT_TRUE(sink.WaitFor(3));
    feed(20);
    feed(21);

    EXPECT_TRUE(sink.WaitFor(4));  // 0, 1, 10 and 20 (21 waits for a successor)
    XStreamStats stats = StatsOnceDecoded(port, 4);
    EXPECT_EQ(1u, stats.chunks_dropped);
    EXPECT_EQ(4u, stats.frames_decoded);
    EXPECT_EQ(4u, stats.skipped_units);  // 13..16 refer to pictures that were lost
    EXPECT_EQ(0u, stats.decode_errors);
    EXPECT_FALSE(sink.TimedOut());
    EXPECT_EQ(0, X_VideoClose(port));
}

TEST(XPlayQueue, RefusedChunkMakesAHoleWhereItWas) {
    // Data queued before a refused chunk is whole and decodes; only what follows the refused
    // chunk waits for a key frame.
    GateSink sink;
    XStreamOptions options;
    // The test holds the decoding thread in the sink, which only works when pictures are
    // presented on it.
    options.present_on_decoding_thread = true;
    options.max_chunk_bytes = 64 * 1024;
    options.idle_flush_ms = -1;
    int port = X_OpenStreamEx(options);
    ASSERT_GE(port, 0);
    GatedPort guard{sink, port};
    ASSERT_EQ(0, X_PlayEx(port, &sink));
    auto units = MakeStream(12, PictureParams(), 320, 240, 10);
    ASSERT_EQ(12u, units.size());
    auto feed = [&](size_t i) {
        ASSERT_EQ(0, X_VideoInputData(port, units[i].data.data(), static_cast<int>(units[i].data.size())));
    };

    feed(0);
    feed(1);
    ASSERT_TRUE(sink.WaitEntered(1));  // holds the decoding thread while 2..6 queue up together
    feed(2);
    feed(3);
    std::vector<uint8_t> big(static_cast<size_t>(options.max_chunk_bytes) + 1, 0);
    EXPECT_EQ(XPLAY_E_ARG, X_VideoInputData(port, big.data(), static_cast<int>(big.size())));  // stands for 4
    feed(5);
    feed(6);
    sink.Open();
    feed(10);
    feed(11);

    EXPECT_TRUE(sink.WaitFor(5));  // 0..3 and 10
    XStreamStats stats = StatsOnceDecoded(port, 5);
    EXPECT_EQ(5u, stats.frames_decoded);
    EXPECT_EQ(2u, stats.skipped_units);  // 5 and 6
    EXPECT_EQ(1u, stats.chunks_dropped);
    EXPECT_EQ(0u, stats.decode_errors);
    EXPECT_EQ(0, X_VideoClose(port));
}

TEST(XPlayQueue, OversizedChunksAreRefusedAndCounted) {
    XStreamOptions options;
    options.max_chunk_bytes = 1000;
    int port = X_OpenStreamEx(options);
    std::vector<uint8_t> big(1001, 0);
    EXPECT_EQ(XPLAY_E_ARG, X_VideoInputData(port, big.data(), 1001));
    EXPECT_EQ(0, X_VideoInputData(port, big.data(), 1000));
    XStreamStats stats = Stats(port);
    EXPECT_EQ(1u, stats.chunks_dropped);
    EXPECT_EQ(1001u, stats.bytes_dropped);
    EXPECT_EQ(1u, stats.chunks_in);
    EXPECT_EQ(0, X_VideoClose(port));
}

TEST(XPlayClose, CloseWhileAnotherThreadFeeds) {
    auto units = MakeStream(25, PictureParams(), 320, 240, 5);
    for (int round = 0; round < 8; ++round) {
        struct CheckingSink : RecordingSink {
            std::atomic<bool> closed{false};
            std::atomic<int> late_calls{0};
            void OnFrame(const uint8_t* p, int w, int h, int s) override {
                if (closed.load()) ++late_calls;
                RecordingSink::OnFrame(p, w, h, s);
            }
        } sink;
        std::atomic<int> port{X_OpenStream(0, 0)};
        ASSERT_GE(port.load(), 0);
        ASSERT_EQ(0, X_PlayEx(port, &sink));

        std::atomic<bool> saw_closed{false};
        std::atomic<int> unexpected{0};
        auto feeder = [&] {
            for (size_t i = 0;; i = (i + 1) % units.size()) {
                int ret = X_VideoInputData(port.load(), units[i].data.data(), static_cast<int>(units[i].data.size()));
                if (ret == XPLAY_E_PORT) {
                    saw_closed = true;
                    return;
                }
                if (ret != 0) ++unexpected;
            }
        };
        std::thread a(feeder), b(feeder);
        // Close at a different moment each round, some before any picture, some after several.
        if (round % 2) sink.WaitFor(round);
        EXPECT_EQ(0, X_VideoClose(port.load()));
        sink.closed = true;
        a.join();
        b.join();
        EXPECT_TRUE(saw_closed.load());
        EXPECT_EQ(0, unexpected.load());
        EXPECT_EQ(0, sink.late_calls.load());
    }
}

namespace {

// `frames` pictures of the test camera (320x240, one key frame), the last of them much brighter
// than the others, so a test can tell the newest picture from the ones before it.
std::vector<AccessUnit> MakeStreamEndingBright(int frames) {
    GeneratorConfig config;
    config.width = 320;
    config.height = 240;
    StreamGenerator generator;
    std::vector<AccessUnit> units;
    if (generator.Open(config) != 0) return units;
    for (int i = 0; i < frames; ++i) {
        if (i == frames - 1) {
            PictureParams bright;
            bright.luminance = 90;
            generator.SetParams(bright);
        }
        AccessUnit au;
        if (generator.EncodeNext(&au) != 0) break;
        units.push_back(std::move(au));
    }
    return units;
}

// Rows clear of the text boxes.
double BodyLuma(const RecordingSink::Picture& p) { return p.MeanLuma(0, p.height / 6, p.width, p.height * 5 / 6); }

}  // namespace

TEST(XPlayPresent, SlowSinkDoesNotHoldUpDecodingAndGetsTheNewestPicture) {
    const double plain = BodyLuma(DecodeLast(MakeStream(2)));
    auto units = MakeStreamEndingBright(21);
    ASSERT_EQ(21u, units.size());

    GateSink sink;
    int port = X_OpenStream(0, 0);
    ASSERT_GE(port, 0);
    GatedPort guard{sink, port};
    ASSERT_EQ(0, X_PlayEx(port, &sink));

    // Picture 0 holds the presenting thread in the sink.
    Feed(port, {units[0]});
    ASSERT_TRUE(sink.WaitEntered(1));
    // Decoding goes on meanwhile: every later picture is decoded, nothing is dropped from the
    // queue, and each picture waiting for the sink is replaced by the next one.
    Feed(port, std::vector<AccessUnit>(units.begin() + 1, units.end()));
    XStreamStats stats = StatsOnceDecoded(port, 21);
    EXPECT_EQ(21u, stats.frames_decoded);
    EXPECT_EQ(1, sink.Entered());
    EXPECT_EQ(0, sink.Count());
    EXPECT_EQ(0u, stats.frames_delivered);  // picture 0 is still inside the sink
    EXPECT_EQ(19u, stats.frames_superseded);  // 1..19; 20 waits
    EXPECT_EQ(0u, stats.chunks_dropped);
    EXPECT_EQ(0u, stats.skipped_units);
    EXPECT_EQ(0, stats.queued_chunks);

    // Once the sink is free it gets picture 0 done and then the newest picture, nothing between.
    sink.Open();
    stats = StatsOncePresented(port, 21);
    EXPECT_EQ(2u, stats.frames_delivered);
    EXPECT_EQ(19u, stats.frames_superseded);
    EXPECT_EQ(2, sink.Count());
    EXPECT_GT(BodyLuma(sink.Last()), plain + 30);
    EXPECT_FALSE(sink.TimedOut());
    EXPECT_EQ(0, X_VideoClose(port));
}

TEST(XPlayPresent, CloseAndDetachWaitForTheSinkCallInProgress) {
    auto units = MakeStream(12, PictureParams(), 320, 240, 5);
    ASSERT_EQ(12u, units.size());
    for (bool close : {true, false}) {
        SCOPED_TRACE(close ? "X_VideoClose" : "X_PlayEx(port, nullptr)");
        // Notes calls that arrive once the closing or detaching call has returned.
        struct ProbeSink : GateSink {
            std::atomic<bool> returned{false};
            std::atomic<int> late_calls{0};
            std::atomic<int> returned_during_call{0};
            void OnFrame(const uint8_t* p, int w, int h, int s) override {
                if (returned.load()) ++late_calls;
                GateSink::OnFrame(p, w, h, s);
                if (returned.load()) ++returned_during_call;
            }
            void TargetSize(int* w, int* h) override {
                if (returned.load()) ++late_calls;
                GateSink::TargetSize(w, h);
            }
        } sink;
        int port = X_OpenStream(0, 0);
        ASSERT_GE(port, 0);
        GatedPort guard{sink, port};
        ASSERT_EQ(0, X_PlayEx(port, &sink));

        // The presenting thread is inside OnFrame with picture 0, and a newer picture waits.
        Feed(port, {units[0]});
        ASSERT_TRUE(sink.WaitEntered(1));
        Feed(port, std::vector<AccessUnit>(units.begin() + 1, units.begin() + 6));
        StatsOnceDecoded(port, 6);

        std::atomic<int> result{1};
        std::thread other([&] {
            result = close ? X_VideoClose(port) : X_PlayEx(port, nullptr);
            sink.returned = true;
        });
        // A call that did not wait for the sink would return in this time. (A correct one cannot
        // return before the sink is let go, so this pause only gives a broken build its chance.)
        std::this_thread::sleep_for(100ms);
        EXPECT_FALSE(sink.returned.load());
        sink.Open();
        other.join();
        EXPECT_EQ(0, result.load());
        EXPECT_EQ(0, sink.returned_during_call.load());

        if (close) {
            EXPECT_EQ(XPLAY_E_PORT, X_VideoInputData(port, units[6].data.data(), static_cast<int>(units[6].data.size())));
        } else {
            // Pictures keep being decoded, and none reaches the detached sink.
            const uint64_t delivered = Stats(port).frames_delivered;
            EXPECT_LE(delivered, 2u);  // picture 0, and possibly the waiting one before the detach
            Feed(port, std::vector<AccessUnit>(units.begin() + 6, units.end()));
            XStreamStats stats = StatsOnceDecoded(port, 12);
            EXPECT_EQ(12u, stats.frames_decoded);
            EXPECT_EQ(delivered, stats.frames_delivered);
            EXPECT_EQ(0, X_VideoClose(port));
        }
        EXPECT_EQ(0, sink.late_calls.load());
        EXPECT_FALSE(sink.TimedOut());
    }
}

TEST(XPlayPresent, SinkDetachedOrSwappedWhilePicturesFlow) {
    auto units = MakeStream(25, PictureParams(), 320, 240, 5);
    ASSERT_EQ(25u, units.size());
    // A sink slow enough that a detach often meets a call in progress.
    struct SlowSink : RecordingSink {
        std::atomic<bool> detached{false};
        std::atomic<int> late_calls{0};
        void OnFrame(const uint8_t* p, int w, int h, int s) override {
            if (detached.load()) ++late_calls;
            std::this_thread::sleep_for(1ms);
            RecordingSink::OnFrame(p, w, h, s);
            if (detached.load()) ++late_calls;
        }
        void TargetSize(int* w, int* h) override {
            if (detached.load()) ++late_calls;
            RecordingSink::TargetSize(w, h);
        }
    };

    int port = X_OpenStream(0, 0);
    ASSERT_GE(port, 0);
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        for (size_t i = 0; !stop.load(); i = (i + 1) % units.size()) {
            X_VideoInputData(port, units[i].data.data(), static_cast<int>(units[i].data.size()));
            std::this_thread::sleep_for(1ms);
        }
    });

    constexpr int kRounds = 8;
    SlowSink sinks[kRounds];
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        SlowSink& sink = sinks[round];
        // Even rounds attach over no sink, odd rounds swap the previous sink for this one.
        ASSERT_EQ(0, X_PlayEx(port, &sink));
        if (round > 0) sinks[round - 1].detached = true;
        ASSERT_TRUE(sink.WaitFor(1 + round % 3));
        if (round % 2 == 0) continue;

        ASSERT_EQ(0, X_PlayEx(port, nullptr));
        sink.detached = true;
        // Decoding goes on while nothing is delivered.
        const XStreamStats before = Stats(port);
        const XStreamStats after = StatsOnceDecoded(port, before.frames_decoded + 10);
        EXPECT_GE(after.frames_decoded, before.frames_decoded + 10);
        EXPECT_EQ(before.frames_delivered, after.frames_delivered);
    }
    stop = true;
    feeder.join();
    EXPECT_EQ(0, X_VideoClose(port));
    sinks[kRounds - 1].detached = true;
    for (int round = 0; round < kRounds; ++round) EXPECT_EQ(0, sinks[round].late_calls.load()) << round;
}
