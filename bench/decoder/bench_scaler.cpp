// The one scaling of each picture into a video pane: cost and picture quality of swscale's
// filters and of the converter's own area averaging, from 1920x1080 YUV to the panes' BGRX sizes,
// against bare decoding of the same stream (the anchor, measured in the same run). Quality is the
// PSNR over R, G and B against a Lanczos reference of the same size with chroma interpolated at
// full resolution (SWS_LANCZOS | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT); sizes with an odd width
// show the cost of swscale's slow path ("Forcing full internal H chroma due to odd output size").
// The row "converter" is what the video panes use (FrameConverter: for a target a third of the
// picture or less, 2x2 means first, then the area averaging). Here it halves whole pictures that
// have left the cache; in the panes the halving and averaging are done band by band while the
// codec's rows are still in the cache (bench/ui/bench_video_panes shows that). The rows "halves:"
// start from pictures halved beforehand: swscale's area filter against the own averaging, on the
// same input.
#include <cmath>
#include <cstdio>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include "bench_common.h"
#include "platform/decoder/area_scaler.h"
#include "platform/decoder/frame_converter.h"

using namespace velmora::platform;
using namespace velmora::sim::stream;

using bench::Clock;

namespace {

struct Picture {
    std::vector<uint8_t> bytes;
    int stride = 0;
};

double Psnr(const Picture& a, const Picture& b, int w, int h) {
    double sum = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                const double d = double(a.bytes[y * a.stride + 4 * x + c]) - b.bytes[y * b.stride + 4 * x + c];
                sum += d * d;
            }
    const double mse = sum / (3.0 * w * h);
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// Milliseconds per picture of converting all `frames` with `flags`; the last picture in *out.
double Scale(const std::vector<AVFrame*>& frames, int w, int h, int flags, Picture* out) {
    Picture p;
    p.stride = FrameConverter::AlignedStride(w, 4);
    p.bytes.assign(static_cast<size_t>(p.stride) * (h + 1), 0);
    SwsContext* sws = sws_getContext(frames[0]->width, frames[0]->height, AVPixelFormat(frames[0]->format), w, h,
                                     AV_PIX_FMT_BGRA, flags, nullptr, nullptr, nullptr);
    uint8_t* dst[4] = {p.bytes.data()};
    int dstStride[4] = {p.stride};
    const auto t0 = Clock::now();
    for (const AVFrame* f : frames) sws_scale(sws, f->data, f->linesize, 0, f->height, dst, dstStride);
    const double ms = bench::Seconds(Clock::now() - t0) * 1e3 / double(frames.size());
    sws_freeContext(sws);
    if (out) *out = std::move(p);
    return ms;
}

}  // namespace

int main() {
    const std::vector<AccessUnit> units = bench::MakeStream(50, 1920, 1080, "127.0.0.2");
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->thread_count = 1;
    avcodec_open2(ctx, codec, nullptr);
    AVPacket* pkt = av_packet_alloc();
    std::vector<AVFrame*> frames;
    const auto t0 = Clock::now();
    for (const AccessUnit& au : units) {
        std::vector<uint8_t> padded(au.data);
        padded.resize(au.data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        pkt->data = padded.data();
        pkt->size = static_cast<int>(au.data.size());
        avcodec_send_packet(ctx, pkt);
        for (;;) {
            AVFrame* f = av_frame_alloc();
            if (avcodec_receive_frame(ctx, f) != 0) {
                av_frame_free(&f);
                break;
            }
            frames.push_back(f);
        }
    }
    const double decodeMs = bench::Seconds(Clock::now() - t0) * 1e3 / double(std::max<size_t>(frames.size(), 1));
    if (frames.empty()) return 1;
    std::printf("bare decode of the stream (1 thread): %.2f ms per picture (the anchor)\n", decodeMs);
    std::printf("%-9s %-14s %8s %7s %9s\n", "size", "filter", "ms", "ratio", "PSNR dB");
    struct Filter {
        const char* name;
        int flags;
    };
    const Filter filters[] = {{"bilinear", SWS_BILINEAR}, {"area", SWS_AREA}, {"fast_bilinear", SWS_FAST_BILINEAR},
                              {"point", SWS_POINT}};
    const int sizes[][2] = {{323, 182}, {322, 182}, {324, 182}, {692, 388}};
    for (const auto& size : sizes) {
        const int w = size[0], h = size[1];
        Picture reference;
        Scale(frames, w, h, SWS_LANCZOS | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, &reference);
        for (const Filter& f : filters) {
            Picture p;
            const double ms = Scale(frames, w, h, f.flags, &p);
            const bool chosen = !FrameConverter::HalvesFirst(1920, 1080, w, h) &&
                                FrameConverter::ScaleFlags(1920, 1080, w, h) == f.flags;
            std::printf("%4dx%-4d %-14s %8.2f %7.2f %9.2f%s\n", w, h, f.name, ms, ms / decodeMs, Psnr(p, reference, w, h),
                        chosen ? "   <- used" : "");
        }
        {
            FrameConverter converter;
            const auto c0 = Clock::now();
            for (const AVFrame* f : frames) converter.Convert(f, FrameConverter::Format::kBgrx, w, h);
            const double ms = bench::Seconds(Clock::now() - c0) * 1e3 / double(frames.size());
            Picture p;
            p.stride = converter.stride();
            p.bytes.assign(converter.data(), converter.data() + static_cast<size_t>(p.stride) * h);
            std::printf("%4dx%-4d %-14s %8.2f %7.2f %9.2f   <- used%s\n", w, h, "converter", ms, ms / decodeMs,
                        Psnr(p, reference, w, h), FrameConverter::HalvesFirst(1920, 1080, w, h) ? " (halved, then area)" : "");
        }
        if (!FrameConverter::HalvesFirst(1920, 1080, w, h)) continue;
        // What is left once the panes have halved a picture band by band: the halves to the
        // target, by swscale's area filter and by the converter's own averaging.
        std::vector<AVFrame*> halves;
        for (const AVFrame* f : frames) {
            AVFrame* half = av_frame_alloc();
            half->width = f->width / 2;
            half->height = f->height / 2;
            half->format = f->format;
            av_frame_get_buffer(half, 64);
            FrameConverter::HalveRows(f, 0, f->height, half);
            halves.push_back(half);
        }
        Picture p;
        double ms = Scale(halves, w, h, SWS_AREA, &p);
        std::printf("%4dx%-4d %-14s %8.2f %7.2f %9.2f\n", w, h, "halves: area", ms, ms / decodeMs,
                    Psnr(p, reference, w, h));
        AreaScaler averaging;
        const auto a0 = Clock::now();
        for (const AVFrame* f : halves) {
            averaging.Scale(f->data, f->linesize, f->width, f->height, AreaScaler::IsFullRange(f->format),
                            p.bytes.data(), p.stride, w, h);
        }
        ms = bench::Seconds(Clock::now() - a0) * 1e3 / double(halves.size());
        std::printf("%4dx%-4d %-14s %8.2f %7.2f %9.2f   <- used\n", w, h, "halves: own", ms, ms / decodeMs,
                    Psnr(p, reference, w, h));
        for (AVFrame* f : halves) av_frame_free(&f);
    }
    for (AVFrame* f : frames) av_frame_free(&f);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return 0;
}
