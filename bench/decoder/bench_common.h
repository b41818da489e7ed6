#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "sim/stream/stream_generator.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// User + system CPU time of the whole process, in seconds.
inline double ProcessCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// `frames` pictures of a simulated camera at the given size, one second between key frames.
inline std::vector<velmora::sim::stream::AccessUnit> MakeStream(int frames, int width, int height, const char* label) {
    velmora::sim::stream::GeneratorConfig config;
    config.width = width;
    config.height = height;
    config.label = label;
    velmora::sim::stream::StreamGenerator generator;
    std::vector<velmora::sim::stream::AccessUnit> units;
    if (generator.Open(config) != 0) {
        std::fprintf(stderr, "cannot open the H.264 encoder\n");
        return units;
    }
    for (int i = 0; i < frames; ++i) {
        velmora::sim::stream::AccessUnit au;
        if (generator.EncodeNext(&au) != 0) break;
        units.push_back(std::move(au));
    }
    return units;
}

// Decodes `streams` with bare libavcodec on this thread, one decoder per stream, taking one access
// unit of each stream in turn (as pictures of several cameras arrive), then the flushes;
// `threads` decoding threads per decoder (0: libavcodec's default). Shows each picture to `each`
// (may be empty) and returns the number of pictures. The anchor the decoder benchmarks measure
// against.
inline int BareDecodeStreams(const std::vector<std::vector<velmora::sim::stream::AccessUnit>>& streams, int threads,
                             const std::function<void(AVFrame*)>& each) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    std::vector<AVCodecContext*> contexts;
    std::vector<std::vector<std::vector<uint8_t>>> padded(streams.size());
    size_t longest = 0;
    for (size_t s = 0; s < streams.size(); ++s) {
        AVCodecContext* ctx = avcodec_alloc_context3(codec);
        if (threads > 0) ctx->thread_count = threads;
        avcodec_open2(ctx, codec, nullptr);
        contexts.push_back(ctx);
        for (const velmora::sim::stream::AccessUnit& au : streams[s]) {
            padded[s].emplace_back(au.data);
            padded[s].back().resize(au.data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        }
        longest = std::max(longest, streams[s].size());
    }
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    int frames = 0;
    for (size_t i = 0; i <= longest; ++i) {
        for (size_t s = 0; s < streams.size(); ++s) {
            if (i > streams[s].size()) continue;
            if (i < streams[s].size()) {
                pkt->data = padded[s][i].data();
                pkt->size = static_cast<int>(streams[s][i].data.size());
                avcodec_send_packet(contexts[s], pkt);
            } else {
                avcodec_send_packet(contexts[s], nullptr);
            }
            while (avcodec_receive_frame(contexts[s], frame) == 0) {
                ++frames;
                if (each) each(frame);
                av_frame_unref(frame);
            }
        }
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    for (AVCodecContext*& ctx : contexts) avcodec_free_context(&ctx);
    return frames;
}

// BareDecodeStreams of one stream.
inline int BareDecode(const std::vector<velmora::sim::stream::AccessUnit>& units, int threads,
                      const std::function<void(AVFrame*)>& each) {
    return BareDecodeStreams({units}, threads, each);
}

inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

}  // namespace bench
