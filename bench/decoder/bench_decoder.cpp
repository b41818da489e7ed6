// Decoding speed and latency of the decoder ports on a 1920x1080 25 fps stream of the simulated
// camera:
//   1. throughput through a port (queue, parser, decoding thread, conversion for the sink) as a
//      ratio to libavcodec decoding the same access units bare on this thread;
//   2. latency from X_VideoInputData to the sink receiving the picture, fed in real time.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "bench_common.h"
#include "platform/decoder/frame_converter.h"
#include "platform/decoder/xplay.h"

using bench::Clock;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 25;

// Frames per second of bare libavcodec decoding (default settings, one access unit per packet),
// optionally followed on the same thread by the conversion a sink of convert_w x convert_h gets.
double BareDecodeFps(const std::vector<AccessUnit>& units, bool convert_too, int convert_w = 0, int convert_h = 0) {
    FrameConverter converter;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    avcodec_open2(ctx, codec, nullptr);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::vector<std::vector<uint8_t>> padded;
    for (const AccessUnit& au : units) {
        padded.emplace_back(au.data);
        padded.back().resize(au.data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    }
    int frames = 0;
    const auto start = Clock::now();
    for (size_t i = 0; i < units.size(); ++i) {
        pkt->data = padded[i].data();
        pkt->size = static_cast<int>(units[i].data.size());
        avcodec_send_packet(ctx, pkt);
        while (avcodec_receive_frame(ctx, frame) == 0) {
            ++frames;
            if (convert_too) converter.Convert(frame, FrameConverter::Format::kBgrx, convert_w, convert_h);
            av_frame_unref(frame);
        }
    }
    avcodec_send_packet(ctx, nullptr);
    while (avcodec_receive_frame(ctx, frame) == 0) {
        ++frames;
        av_frame_unref(frame);
    }
    const double secs = bench::Seconds(Clock::now() - start);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return frames / secs;
}

class CountingSink : public FrameSink {
public:
    CountingSink(int w, int h) : w_(w), h_(h) {}
    void OnFrame(const uint8_t*, int, int, int) override {
        std::lock_guard<std::mutex> lock(mu_);
        arrivals_.push_back(Clock::now());
        cv_.notify_all();
    }
    void TargetSize(int* w, int* h) override {
        *w = w_;
        *h = h_;
    }
    bool WaitFor(size_t n) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::seconds(30), [&] { return arrivals_.size() >= n; });
    }
    std::vector<Clock::time_point> Arrivals() {
        std::lock_guard<std::mutex> lock(mu_);
        return arrivals_;
    }

private:
    const int w_, h_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Clock::time_point> arrivals_;
};

// Frames per second through a port: everything queued at once, timed until the last picture
// reached the sink (or, without a sink, until the last picture was decoded).
double PortDecodeFps(const std::vector<AccessUnit>& units, bool with_sink, int sink_w, int sink_h) {
    XStreamOptions options;
    options.max_queued_bytes = 256 * 1024 * 1024;  // nothing may be dropped here
    options.max_queued_chunks = 1 << 20;
    CountingSink sink(sink_w, sink_h);
    int port = X_OpenStreamEx(options);
    if (with_sink) X_PlayEx(port, &sink);
    const auto start = Clock::now();
    for (const AccessUnit& au : units) X_VideoInputData(port, au.data.data(), static_cast<int>(au.data.size()));
    Clock::time_point end;
    if (with_sink) {
        if (!sink.WaitFor(units.size())) std::printf("  (pictures missing)\n");
        end = sink.Arrivals().back();
    } else {
        XStreamStats stats;
        do {
            X_GetStreamStats(port, &stats);
            end = Clock::now();
            if (stats.frames_decoded < units.size()) std::this_thread::sleep_for(std::chrono::microseconds(200));
        } while (stats.frames_decoded < units.size() && bench::Seconds(end - start) < 30);
    }
    X_VideoClose(port);
    return static_cast<double>(units.size()) / bench::Seconds(end - start);
}

double Best(int runs, const std::function<double()>& f) {
    double best = 0;
    for (int i = 0; i < runs; ++i) best = std::max(best, f());
    return best;
}

}  // namespace

int main() {
    std::printf("generating a %dx%d stream ...\n", kWidth, kHeight);
    const std::vector<AccessUnit> units = bench::MakeStream(100, kWidth, kHeight, "127.0.0.2");
    if (units.size() != 100) return 1;
    size_t bytes = 0;
    for (const AccessUnit& au : units) bytes += au.data.size();
    std::printf("  %zu access units, %zu bytes (key frame %zu bytes)\n", units.size(), bytes, units[0].data.size());

    // Warm-up, then the best of three runs each (the machine is shared).
    BareDecodeFps(units, false);
    const double bare = Best(3, [&] { return BareDecodeFps(units, false); });
    const double bare_full = Best(3, [&] { return BareDecodeFps(units, true, 0, 0); });
    const double bare_pane = Best(3, [&] { return BareDecodeFps(units, true, 960, 540); });
    const double port_decode = Best(3, [&] { return PortDecodeFps(units, false, 0, 0); });
    const double port_full = Best(3, [&] { return PortDecodeFps(units, true, 0, 0); });
    const double port_pane = Best(3, [&] { return PortDecodeFps(units, true, 960, 540); });
    std::printf("throughput, frames/s (best of 3):\n");
    std::printf("  bare libavcodec decode                         %8.1f\n", bare);
    std::printf("  port, decode only (no sink)                    %8.1f   ratio to bare decode %.2f\n", port_decode,
                port_decode / bare);
    std::printf("  bare decode + BGRX 1920x1080, one thread       %8.1f\n", bare_full);
    std::printf("  port, sink at 1920x1080                        %8.1f   ratio to bare decode %.2f, to bare decode+convert %.2f\n",
                port_full, port_full / bare, port_full / bare_full);
    std::printf("  bare decode + BGRX 960x540, one thread         %8.1f\n", bare_pane);
    std::printf("  port, sink at 960x540                          %8.1f   ratio to bare decode %.2f, to bare decode+convert %.2f\n",
                port_pane, port_pane / bare, port_pane / bare_pane);

    // Latency at the real frame rate, pane at full size.
    CountingSink sink(0, 0);
    int port = X_OpenStream(0, 0);
    X_PlayEx(port, &sink);
    std::vector<Clock::time_point> sent;
    auto next = Clock::now();
    for (const AccessUnit& au : units) {
        std::this_thread::sleep_until(next);
        sent.push_back(Clock::now());
        X_VideoInputData(port, au.data.data(), static_cast<int>(au.data.size()));
        next += std::chrono::microseconds(1000000 / kFps);
    }
    sink.WaitFor(units.size());
    X_VideoClose(port);
    const auto arrivals = sink.Arrivals();
    std::vector<double> latency_ms;
    for (size_t i = 0; i < std::min(sent.size(), arrivals.size()); ++i) {
        latency_ms.push_back(bench::Seconds(arrivals[i] - sent[i]) * 1000.0);
    }
    std::printf("latency input -> sink, %zu pictures at %d fps: median %.1f ms, p99 %.1f ms, max %.1f ms\n",
                latency_ms.size(), kFps, bench::Percentile(latency_ms, 0.5), bench::Percentile(latency_ms, 0.99),
                bench::Percentile(latency_ms, 1.0));
    return 0;
}
