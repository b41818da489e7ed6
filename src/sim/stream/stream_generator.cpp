#include "sim/stream/stream_generator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <system_error>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
}

#include "sim/stream/bitmap_font.h"

namespace velmora::sim::stream {

namespace {

struct Yuv {
    uint8_t y, u, v;
};

// Studio-range BT.601 from 8-bit RGB.
Yuv RgbToYuv(double r, double g, double b) {
    double y = 16.0 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0;
    double u = 128.0 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255.0;
    double v = 128.0 + (112.0 * r - 93.786 * g - 18.214 * b) / 255.0;
    auto clip = [](double x) { return static_cast<uint8_t>(std::clamp(std::lround(x), 0L, 255L)); };
    return {clip(y), clip(u), clip(v)};
}

// Hue 0..360 at full saturation, value 3/4.
Yuv HueColour(double hue) {
    double h = std::fmod(hue, 360.0) / 60.0;
    double x = 1.0 - std::fabs(std::fmod(h, 2.0) - 1.0);
    double r = 0, g = 0, b = 0;
    switch (static_cast<int>(h)) {
        case 0: r = 1; g = x; break;
        case 1: r = x; g = 1; break;
        case 2: g = 1; b = x; break;
        case 3: g = x; b = 1; break;
        case 4: r = x; b = 1; break;
        default: r = 1; b = x; break;
    }
    return RgbToYuv(191 * r, 191 * g, 191 * b);
}

constexpr int kClockChars = 31;  // "YYYY-MM-DD HH:MM:SS.mmm #nnnnnn"
constexpr uint8_t kTextY = 235;
constexpr uint8_t kBoxY = 16;

int EvenDown(int v) { return v & ~1; }
int EvenUp(int v) { return (v + 1) & ~1; }

}  // namespace

struct StreamGenerator::Encoder {
    AVCodecContext* ctx = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;

    ~Encoder() {
        avcodec_free_context(&ctx);
        av_frame_free(&frame);
        av_packet_free(&packet);
    }
};

StreamGenerator::StreamGenerator() = default;

StreamGenerator::~StreamGenerator() { Stop(); }

int StreamGenerator::Open(const GeneratorConfig& config) {
    if (open_ || running_.load()) return -1;
    if (config.width < 16 || config.width > 4096 || config.height < 16 || config.height > 4096 ||
        (config.width & 1) || (config.height & 1) || config.fps < 1 || config.fps > 120 ||
        config.keyframe_interval < 0 || config.threads < 0 || config.crf < 0 || config.crf > 51) {
        return -2;
    }
    config_ = config;
    if (config_.keyframe_interval == 0) config_.keyframe_interval = config_.fps;

    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) return -3;
    auto enc = std::make_unique<Encoder>();
    enc->ctx = avcodec_alloc_context3(codec);
    enc->frame = av_frame_alloc();
    enc->packet = av_packet_alloc();
    if (!enc->ctx || !enc->frame || !enc->packet) return -3;
    AVCodecContext* c = enc->ctx;
    c->width = config_.width;
    c->height = config_.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, config_.fps};
    c->framerate = AVRational{config_.fps, 1};
    c->gop_size = config_.keyframe_interval;
    c->max_b_frames = 0;
    c->thread_count = config_.threads;
    // No global header: x264 then repeats SPS and PPS in front of every key frame.
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "preset", "ultrafast", 0);
    av_dict_set(&opts, "tune", "zerolatency", 0);
    av_dict_set_int(&opts, "crf", config_.crf, 0);
    av_dict_set(&opts, "forced-idr", "1", 0);
    av_dict_set(&opts, "x264-params", "log=0", 0);
    int ret = avcodec_open2(c, codec, &opts);
    av_dict_free(&opts);
    if (ret < 0) return -3;

    enc->frame->format = AV_PIX_FMT_YUV420P;
    enc->frame->width = config_.width;
    enc->frame->height = config_.height;
    if (av_frame_get_buffer(enc->frame, 0) < 0) return -3;
    enc_ = std::move(enc);

    scale_ = std::max(1, config_.height / 240);
    RenderBase();
    built_generation_ = 0;
    frame_index_ = 0;
    open_ = true;
    return 0;
}

void StreamGenerator::SetParams(const PictureParams& params) {
    PictureParams p = params;
    p.luminance = std::clamp(p.luminance, 0, 100);
    p.contrast = std::clamp(p.contrast, 0, 100);
    p.saturation = std::clamp(p.saturation, 0, 100);
    std::lock_guard<std::mutex> lock(params_mu_);
    params_ = p;
    ++params_generation_;
}

PictureParams StreamGenerator::Params() const {
    std::lock_guard<std::mutex> lock(params_mu_);
    return params_;
}

void StreamGenerator::RequestKeyframe() { force_key_.store(true); }

// The scene before any picture adjustment: bars, grey ramp, colour sweep.
void StreamGenerator::RenderBase() {
    const int w = config_.width;
    const int h = config_.height;
    const int cw = w / 2;
    const int ch = h / 2;
    base_y_.assign(static_cast<size_t>(w) * h, 0);
    base_u_.assign(static_cast<size_t>(cw) * ch, 128);
    base_v_.assign(static_cast<size_t>(cw) * ch, 128);

    static const double kBars[8][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                       {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {0, 0, 0}};
    const int bars_end = EvenDown(h * 2 / 3);
    const int ramp_end = EvenDown(h * 5 / 6);
    auto colour_at = [&](int x, int y) -> Yuv {
        if (y < bars_end) {
            int bar = std::min(7, x * 8 / w);
            return RgbToYuv(kBars[bar][0], kBars[bar][1], kBars[bar][2]);
        }
        if (y < ramp_end) {
            uint8_t luma = static_cast<uint8_t>(16 + (219 * x) / (w - 1));
            return {luma, 128, 128};
        }
        return HueColour(360.0 * x / w);
    };
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) base_y_[static_cast<size_t>(y) * w + x] = colour_at(x, y).y;
    }
    for (int y = 0; y < ch; ++y) {
        for (int x = 0; x < cw; ++x) {
            Yuv c = colour_at(2 * x, 2 * y);
            base_u_[static_cast<size_t>(y) * cw + x] = c.u;
            base_v_[static_cast<size_t>(y) * cw + x] = c.v;
        }
    }

    // Text boxes: the label on the first line, the clock on the second.
    const int s = scale_;
    clock_x_ = EvenUp(2 * s);
    clock_w_ = EvenUp(kClockChars * bitmap_font::kCellWidth * s + 3 * s);
    clock_h_ = EvenUp(bitmap_font::kGlyphHeight * s + 4 * s);
    clock_y_ = EvenUp(2 * s) + clock_h_ + EvenUp(2 * s);
    clock_w_ = std::min(clock_w_, w - clock_x_);
    clock_h_ = std::min(clock_h_, h - clock_y_);
}

namespace {

// Writes into YUV 4:2:0 planes through the picture's turn (mirror, flip), so that everything
// drawn in scene coordinates appears turned like the scene.
struct TurnedPlanes {
    uint8_t* y;
    uint8_t* u;
    uint8_t* v;
    int y_stride, c_stride;
    int w, h;
    bool mirror, flip;

    int TX(int x) const { return mirror ? w - 1 - x : x; }
    int TY(int y0) const { return flip ? h - 1 - y0 : y0; }

    void Luma(int x, int y0, uint8_t value) const {
        if (x < 0 || y0 < 0 || x >= w || y0 >= h) return;
        y[static_cast<size_t>(TY(y0)) * y_stride + TX(x)] = value;
    }
    // Fills the scene rectangle [x0, x0+rw) x [y0, y0+rh) (even-aligned) with one colour.
    void FillBox(int x0, int y0, int rw, int rh, uint8_t luma) const {
        for (int yy = y0; yy < y0 + rh; ++yy) {
            for (int xx = x0; xx < x0 + rw; ++xx) Luma(xx, yy, luma);
        }
        const int cw = w / 2, ch = h / 2;
        for (int cy = y0 / 2; cy < (y0 + rh) / 2 && cy < ch; ++cy) {
            int ty = flip ? ch - 1 - cy : cy;
            for (int cx = x0 / 2; cx < (x0 + rw) / 2 && cx < cw; ++cx) {
                int tx = mirror ? cw - 1 - cx : cx;
                u[static_cast<size_t>(ty) * c_stride + tx] = 128;
                v[static_cast<size_t>(ty) * c_stride + tx] = 128;
            }
        }
    }
    void Text(int x0, int y0, const char* text, int scale, int max_chars) const {
        for (int i = 0; text[i] && i < max_chars; ++i) {
            const uint8_t* rows = bitmap_font::Glyph(text[i]);
            if (!rows) continue;
            const int cx = x0 + i * bitmap_font::kCellWidth * scale;
            for (int r = 0; r < bitmap_font::kGlyphHeight; ++r) {
                for (int c = 0; c < bitmap_font::kGlyphWidth; ++c) {
                    if (!(rows[r] & (0x10 >> c))) continue;
                    for (int dy = 0; dy < scale; ++dy) {
                        for (int dx = 0; dx < scale; ++dx) {
                            Luma(cx + c * scale + dx, y0 + r * scale + dy, kTextY);
                        }
                    }
                }
            }
        }
    }
};

}  // namespace

void StreamGenerator::RebuildBackground(const PictureParams& p) {
    const int w = config_.width;
    const int h = config_.height;
    const int cw = w / 2;
    const int ch = h / 2;

    // Brightness shifts luma by up to +-110, contrast scales it around mid grey by 0..2,
    // saturation scales chroma by 0..2.
    uint8_t luma_lut[256];
    uint8_t chroma_lut[256];
    const double gain = p.contrast / 50.0;
    const double offset = (p.luminance - 50) * 2.2;
    const double sat = p.saturation / 50.0;
    for (int i = 0; i < 256; ++i) {
        luma_lut[i] = static_cast<uint8_t>(std::clamp(std::lround((i - 128) * gain + 128 + offset), 16L, 235L));
        chroma_lut[i] = static_cast<uint8_t>(std::clamp(std::lround((i - 128) * sat + 128), 16L, 240L));
    }

    bg_y_.resize(base_y_.size());
    bg_u_.resize(base_u_.size());
    bg_v_.resize(base_v_.size());
    auto turn = [&](const std::vector<uint8_t>& src, std::vector<uint8_t>& dst, int pw, int ph,
                    const uint8_t* lut) {
        for (int y = 0; y < ph; ++y) {
            const uint8_t* s = src.data() + static_cast<size_t>(p.flip ? ph - 1 - y : y) * pw;
            uint8_t* d = dst.data() + static_cast<size_t>(y) * pw;
            if (p.mirror) {
                for (int x = 0; x < pw; ++x) d[x] = lut[s[pw - 1 - x]];
            } else {
                for (int x = 0; x < pw; ++x) d[x] = lut[s[x]];
            }
        }
    };
    turn(base_y_, bg_y_, w, h, luma_lut);
    turn(base_u_, bg_u_, cw, ch, chroma_lut);
    turn(base_v_, bg_v_, cw, ch, chroma_lut);

    // The label and the clock box are overlays: drawn after the adjustment, turned with the scene.
    TurnedPlanes planes{bg_y_.data(), bg_u_.data(), bg_v_.data(), w, cw, w, h, p.mirror, p.flip};
    const int s = scale_;
    const int cell = bitmap_font::kCellWidth * s;
    const int max_label = std::max(0, (w - clock_x_ - 3 * s) / cell);
    const int label_chars = std::min<int>(static_cast<int>(config_.label.size()), max_label);
    const int label_y = EvenUp(2 * s);
    if (label_chars > 0) {
        planes.FillBox(clock_x_, label_y, std::min(w - clock_x_, EvenUp(label_chars * cell + 3 * s)), clock_h_, kBoxY);
        planes.Text(clock_x_ + 2 * s, label_y + 2 * s, config_.label.c_str(), s, label_chars);
    }
    planes.FillBox(clock_x_, clock_y_, clock_w_, clock_h_, kBoxY);
}

void StreamGenerator::DrawClock(int64_t frame_index) {
    AVFrame* f = enc_->frame;
    const int w = config_.width;
    const int h = config_.height;
    const int cw = w / 2;
    const bool mirror = built_params_.mirror;
    const bool flip = built_params_.flip;

    // Restore the clock box from the background, in picture coordinates.
    const int tx0 = mirror ? w - clock_x_ - clock_w_ : clock_x_;
    const int ty0 = flip ? h - clock_y_ - clock_h_ : clock_y_;
    for (int y = ty0; y < ty0 + clock_h_; ++y) {
        std::memcpy(f->data[0] + static_cast<size_t>(y) * f->linesize[0] + tx0,
                    bg_y_.data() + static_cast<size_t>(y) * w + tx0, static_cast<size_t>(clock_w_));
    }
    for (int y = ty0 / 2; y < (ty0 + clock_h_) / 2; ++y) {
        std::memcpy(f->data[1] + static_cast<size_t>(y) * f->linesize[1] + tx0 / 2,
                    bg_u_.data() + static_cast<size_t>(y) * cw + tx0 / 2, static_cast<size_t>(clock_w_ / 2));
        std::memcpy(f->data[2] + static_cast<size_t>(y) * f->linesize[2] + tx0 / 2,
                    bg_v_.data() + static_cast<size_t>(y) * cw + tx0 / 2, static_cast<size_t>(clock_w_ / 2));
    }

    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t secs = system_clock::to_time_t(now);
    const int millis = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    localtime_r(&secs, &tm);
    char text[64];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d #%06lld", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis,
                  static_cast<long long>(frame_index % 1000000));

    TurnedPlanes planes{f->data[0], f->data[1], f->data[2], f->linesize[0], f->linesize[1], w, h, mirror, flip};
    const int s = scale_;
    const int max_chars = std::max(0, (clock_w_ - 3 * s) / (bitmap_font::kCellWidth * s));
    planes.Text(clock_x_ + 2 * s, clock_y_ + 2 * s, text, s, max_chars);
}

int StreamGenerator::EncodeFrame(AccessUnit* out) {
    PictureParams p;
    uint64_t generation;
    {
        std::lock_guard<std::mutex> lock(params_mu_);
        p = params_;
        generation = params_generation_;
    }
    bool full_copy = false;
    if (generation != built_generation_) {
        RebuildBackground(p);
        built_params_ = p;
        built_generation_ = generation;
        full_copy = true;
    }

    AVFrame* f = enc_->frame;
    if (av_frame_make_writable(f) < 0) return -6;
    if (full_copy) {
        const int w = config_.width;
        const int h = config_.height;
        for (int y = 0; y < h; ++y) {
            std::memcpy(f->data[0] + static_cast<size_t>(y) * f->linesize[0], bg_y_.data() + static_cast<size_t>(y) * w,
                        static_cast<size_t>(w));
        }
        for (int y = 0; y < h / 2; ++y) {
            std::memcpy(f->data[1] + static_cast<size_t>(y) * f->linesize[1],
                        bg_u_.data() + static_cast<size_t>(y) * (w / 2), static_cast<size_t>(w / 2));
            std::memcpy(f->data[2] + static_cast<size_t>(y) * f->linesize[2],
                        bg_v_.data() + static_cast<size_t>(y) * (w / 2), static_cast<size_t>(w / 2));
        }
    }
    DrawClock(frame_index_);

    f->pts = frame_index_;
    f->pict_type = force_key_.exchange(false) ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (avcodec_send_frame(enc_->ctx, f) < 0) return -6;
    AVPacket* pkt = enc_->packet;
    int ret = avcodec_receive_packet(enc_->ctx, pkt);
    if (ret < 0) return -6;
    out->data.assign(pkt->data, pkt->data + pkt->size);
    out->keyframe = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
    out->pts_us = frame_index_ * 1000000 / config_.fps;
    av_packet_unref(pkt);
    ++frame_index_;
    frames_.fetch_add(1);
    return 0;
}

int StreamGenerator::EncodeNext(AccessUnit* out) {
    if (!open_ || running_.load() || !out) return -1;
    return EncodeFrame(out);
}

int StreamGenerator::Start(Callback callback) {
    if (!open_ || running_.load() || !callback) return -1;
    {
        std::lock_guard<std::mutex> lock(run_mu_);
        stop_ = false;
    }
    running_.store(true);
    try {
        thread_ = std::thread([this, cb = std::move(callback)]() mutable { Run(std::move(cb)); });
    } catch (const std::system_error&) {
        running_.store(false);
        return -3;
    }
    return 0;
}

int StreamGenerator::Stop() {
    if (thread_id_.load() == std::this_thread::get_id()) return -4;
    {
        std::lock_guard<std::mutex> lock(run_mu_);
        stop_ = true;
    }
    run_cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    running_.store(false);
    return 0;
}

void StreamGenerator::Run(Callback callback) {
    using namespace std::chrono;
    thread_id_.store(std::this_thread::get_id());
    const auto period = duration_cast<steady_clock::duration>(microseconds(1000000 / config_.fps));
    auto next = steady_clock::now();
    AccessUnit au;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(run_mu_);
            if (run_cv_.wait_until(lock, next, [this] { return stop_; })) break;
        }
        if (EncodeFrame(&au) == 0) callback(au.data.data(), static_cast<int>(au.data.size()), au.pts_us, au.keyframe);
        next += period;
        const auto now = steady_clock::now();
        if (now - next > 4 * period) {
            // Far behind (machine busy): skip the missed frames rather than bursting them out.
            const auto missed = (now - next) / period;
            frame_index_ += missed;
            skipped_.fetch_add(static_cast<uint64_t>(missed));
            next += missed * period;
        }
    }
    thread_id_.store(std::thread::id());
}

}  // namespace velmora::sim::stream
