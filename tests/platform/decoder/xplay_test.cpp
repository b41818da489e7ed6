#include "platform/decoder/xplay.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "platform/decoder/recording_sink.h"
#include "platform/decoder/stream_fixture.h"

using namespace std::chrono_literals;

namespace {

void Feed(int port, const std::vector<AccessUnit>& units) {
    for (const AccessUnit& au : units) {
        ASSERT_EQ(0, X_VideoInputData(port, au.data.data(), static_cast<int>(au.data.size())));
    }
}

// Decodes a whole stream through a port and returns the last picture the sink received.
RecordingSink::Picture DecodeLast(const std::vector<AccessUnit>& units, int want_w = 0, int want_h = 0) {
    RecordingSink sink(want_w, want_h);
    int port = X_OpenStream(0, 0);
    EXPECT_GE(port, 0);
    EXPECT_EQ(0, X_PlayEx(port, &sink));
    Feed(port, units);
    EXPECT_TRUE(sink.WaitFor(static_cast<int>(units.size())));
    EXPECT_EQ(0, X_VideoClose(port));
    return sink.Last();
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

// Holds the decoding thread inside OnFrame until the test lets pictures through, so the test
// knows where decoding stands while it feeds. Feeding must never wait for it.
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
    // Waits until the decoding thread has reached OnFrame `n` times in all.
    bool WaitEntered(int n) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return entered_ >= n; });
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

TEST(XPlayPorts, DetachedSinkIsNotCalledAndSinkCannotCloseItsPort) {
    auto units = MakeStream(4);
    int port = X_OpenStream(0, 0);
    ASSERT_GE(port, 0);
    ASSERT_EQ(0, X_PlayEx(port, nullptr));
    Feed(port, units);
    for (int i = 0; i < 500 && Stats(port).frames_decoded < units.size(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(units.size(), Stats(port).frames_decoded);
    EXPECT_EQ(0u, Stats(port).frames_delivered);
    EXPECT_EQ(320, Stats(port).width);

    // A sink that tries to close or re-attach its own port from the decoding thread is refused.
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
