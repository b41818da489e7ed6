// Decoding speed and latency of the decoder ports on a 1920x1080 25 fps stream of the simulated
// camera:
//   1. throughput through a port (queue, parser, decoding thread, presenting thread converting for
//      the sink) as a ratio to libavcodec decoding the same access units bare on this thread: both
//      pictures decoded and pictures that reached the sink (the rest were superseded by newer ones
//      while the sink's conversion was busy), and for comparison the same with the conversion on
//      the decoding thread (XStreamOptions::present_on_decoding_thread);
//   2. latency from X_VideoInputData to the sink receiving the picture, fed in real time.
#include <atomic>
#include <functional>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "platform/decoder/frame_converter.h"
#include "platform/decoder/xplay.h"

using namespace velmora::platform;
using namespace velmora::sim::stream;

using bench::Clock;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 25;

// Frames per second of bare libavcodec decoding (default settings, one access unit per packet),
// optionally followed on the same thread by the conversion a sink of convert_w x convert_h gets.
double BareDecodeFps(const std::vector<AccessUnit>& units, bool convert_too, int convert_w = 0, int convert_h = 0) {
    FrameConverter converter;
    const auto start = Clock::now();
    const int frames = bench::BareDecode(units, 0, [&](AVFrame* frame) {
        if (convert_too) converter.Convert(frame, FrameConverter::Format::kBgrx, convert_w, convert_h);
    });
    return frames / bench::Seconds(Clock::now() - start);
}

// Records when each picture arrived and reads one pixel of every row, so the picture has really
// been written (and the sink does no work worth measuring).
class TouchingSink : public FrameSink {
public:
    TouchingSink(int w, int h) : w_(w), h_(h) {}
    void OnFrame(const uint8_t* pixels, int, int height, int stride) override {
        unsigned sum = 0;
        for (int y = 0; y < height; ++y) sum += pixels[static_cast<size_t>(y) * stride];
        std::lock_guard<std::mutex> lock(mu_);
        touched_ += sum;
        arrivals_.push_back(Clock::now());
    }
    void TargetSize(int* w, int* h) override {
        *w = w_;
        *h = h_;
    }
    std::vector<Clock::time_point> Arrivals() {
        std::lock_guard<std::mutex> lock(mu_);
        return arrivals_;
    }

private:
    const int w_, h_;
    std::mutex mu_;
    std::vector<Clock::time_point> arrivals_;
    unsigned touched_ = 0;
};

struct PortRun {
    double decoded_fps = 0;    // pictures decoded per second, until the last one reached the sink
    double delivered_fps = 0;  // pictures that reached the sink per second
    uint64_t delivered = 0;
    uint64_t superseded = 0;
};

// Throughput through a port: everything queued at once, timed until the stream's last picture
// reached the sink (or, without a sink, until the last picture was decoded). A picture that was
// replaced by a newer one before the sink was free counts as decoded, not as delivered.
PortRun PortThroughput(const std::vector<AccessUnit>& units, bool with_sink, int sink_w, int sink_h,
                       bool present_on_decoding_thread = false) {
    XStreamOptions options;
    options.max_queued_bytes = 256 * 1024 * 1024;  // nothing may be dropped here
    options.max_queued_chunks = 1 << 20;
    options.present_on_decoding_thread = present_on_decoding_thread;
    TouchingSink sink(sink_w, sink_h);
    int port = X_OpenStreamEx(options);
    if (with_sink) X_PlayEx(port, &sink);
    const uint64_t n = units.size();
    const auto start = Clock::now();
    for (const AccessUnit& au : units) X_VideoInputData(port, au.data.data(), static_cast<int>(au.data.size()));
    // Done when every picture is decoded and each has reached the sink or been replaced (the last
    // one is never replaced, so it has reached the sink).
    XStreamStats stats;
    Clock::time_point end;
    for (;;) {
        X_GetStreamStats(port, &stats);
        end = Clock::now();
        const bool done = stats.frames_decoded >= n &&
                          (!with_sink || stats.frames_delivered + stats.frames_superseded >= stats.frames_decoded);
        if (done) break;
        if (bench::Seconds(end - start) > 30) {
            std::printf("  (pictures missing: %llu decoded)\n", static_cast<unsigned long long>(stats.frames_decoded));
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    X_VideoClose(port);
    if (with_sink && !sink.Arrivals().empty()) end = sink.Arrivals().back();
    const double secs = bench::Seconds(end - start);
    PortRun run;
    run.decoded_fps = static_cast<double>(stats.frames_decoded) / secs;
    run.delivered_fps = static_cast<double>(stats.frames_delivered) / secs;
    run.delivered = stats.frames_delivered;
    run.superseded = stats.frames_superseded;
    return run;
}

double Best(int runs, const std::function<double()>& f) {
    double best = 0;
    for (int i = 0; i < runs; ++i) best = std::max(best, f());
    return best;
}

// The run with the most pictures delivered per second (decoded per second without a sink).
PortRun BestRun(int runs, const std::function<PortRun()>& f) {
    PortRun best;
    for (int i = 0; i < runs; ++i) {
        PortRun r = f();
        const bool better = r.delivered_fps > best.delivered_fps ||
                            (r.delivered_fps == best.delivered_fps && r.decoded_fps > best.decoded_fps);
        if (better) best = r;
    }
    return best;
}

void PrintRun(const char* what, const PortRun& r, double bare, double bare_convert) {
    std::printf("  %-46s decoded %7.1f (%.2f)  delivered %7.1f (%.2f", what, r.decoded_fps, r.decoded_fps / bare,
                r.delivered_fps, r.delivered_fps / bare);
    if (bare_convert > 0) std::printf("; %.2f of bare decode+convert", r.delivered_fps / bare_convert);
    std::printf(")  superseded %llu\n", static_cast<unsigned long long>(r.superseded));
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
    const PortRun port_decode = BestRun(3, [&] { return PortThroughput(units, false, 0, 0); });
    const PortRun port_full = BestRun(3, [&] { return PortThroughput(units, true, 0, 0); });
    const PortRun port_full_serial = BestRun(3, [&] { return PortThroughput(units, true, 0, 0, true); });
    const PortRun port_pane = BestRun(3, [&] { return PortThroughput(units, true, 960, 540); });
    const PortRun port_pane_serial = BestRun(3, [&] { return PortThroughput(units, true, 960, 540, true); });
    std::printf("throughput, frames/s (best of 3), ratio to bare decode in brackets:\n");
    std::printf("  %-46s %7.1f\n", "bare libavcodec decode", bare);
    std::printf("  %-46s %7.1f\n", "bare decode + BGRX 1920x1080, one thread", bare_full);
    std::printf("  %-46s %7.1f\n", "bare decode + BGRX 960x540, one thread", bare_pane);
    std::printf("  %-46s decoded %7.1f (%.2f)\n", "port, decode only (no sink)", port_decode.decoded_fps,
                port_decode.decoded_fps / bare);
    PrintRun("port, sink at 1920x1080", port_full, bare, bare_full);
    PrintRun("port, sink at 1920x1080, on decoding thread", port_full_serial, bare, bare_full);
    PrintRun("port, sink at 960x540", port_pane, bare, bare_pane);
    PrintRun("port, sink at 960x540, on decoding thread", port_pane_serial, bare, bare_pane);

    // Latency at the real frame rate, pane at full size.
    TouchingSink sink(0, 0);
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
    XStreamStats stats;
    const auto wait_start = Clock::now();
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        X_GetStreamStats(port, &stats);
    } while ((stats.frames_decoded < units.size() ||
              stats.frames_delivered + stats.frames_superseded < stats.frames_decoded) &&
             bench::Seconds(Clock::now() - wait_start) < 30);
    X_VideoClose(port);
    const auto arrivals = sink.Arrivals();
    // Arrivals are matched to inputs by position, which holds only if no picture was replaced.
    if (stats.frames_superseded != 0 || arrivals.size() != units.size()) {
        std::printf("latency: %llu pictures superseded, %zu of %zu delivered: arrivals cannot be matched to inputs\n",
                    static_cast<unsigned long long>(stats.frames_superseded), arrivals.size(), units.size());
        return 1;
    }
    std::vector<double> latency_ms;
    for (size_t i = 0; i < std::min(sent.size(), arrivals.size()); ++i) {
        latency_ms.push_back(bench::Seconds(arrivals[i] - sent[i]) * 1000.0);
    }
    std::printf("latency input -> sink, %zu pictures at %d fps: median %.1f ms, p99 %.1f ms, max %.1f ms\n",
                latency_ms.size(), kFps, bench::Percentile(latency_ms, 0.5), bench::Percentile(latency_ms, 0.99),
                bench::Percentile(latency_ms, 1.0));
    return 0;
}
