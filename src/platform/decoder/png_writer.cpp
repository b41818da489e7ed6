#include "platform/decoder/png_writer.h"

#include <cstring>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include "platform/atomic_file.h"
#include "platform/decoder/codec_log.h"
#include "platform/decoder/xplay.h"

namespace velmora::platform {

namespace {

struct CodecDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

}  // namespace

int EncodePng(const uint8_t* rgb, int w, int h, int stride, std::string* out) {
    if (!rgb || !out || w <= 0 || h <= 0 || w > 32767 || h > 32767 || stride < 3 * w) return XPLAY_E_ARG;
    InstallCodecLogHook();
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec) return XPLAY_E_CODEC;
    std::unique_ptr<AVCodecContext, CodecDeleter> ctx(avcodec_alloc_context3(codec));
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    if (!ctx || !frame || !packet) return XPLAY_E_RESOURCE;
    ctx->width = w;
    ctx->height = h;
    ctx->pix_fmt = AV_PIX_FMT_RGB24;
    ctx->time_base = AVRational{1, 25};
    ctx->thread_count = 1;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return XPLAY_E_CODEC;

    // The encoder only reads the picture; it is handed over without copying.
    frame->width = w;
    frame->height = h;
    frame->format = AV_PIX_FMT_RGB24;
    frame->data[0] = const_cast<uint8_t*>(rgb);
    frame->linesize[0] = stride;
    frame->pts = 0;
    if (avcodec_send_frame(ctx.get(), frame.get()) < 0) return XPLAY_E_CODEC;
    if (avcodec_receive_packet(ctx.get(), packet.get()) < 0) return XPLAY_E_CODEC;
    out->assign(reinterpret_cast<const char*>(packet->data), static_cast<size_t>(packet->size));
    return 0;
}

int WritePng(const std::string& path, const uint8_t* rgb, int w, int h, int stride, std::string* error) {
    if (path.empty()) {
        if (error != nullptr) *error = "no file name given";
        return XPLAY_E_ARG;
    }
    std::string png;
    int ret = EncodePng(rgb, w, h, stride, &png);
    if (ret < 0) {
        if (error != nullptr) *error = ret == XPLAY_E_ARG ? "the picture is empty or malformed" : "encoding the PNG failed";
        return ret;
    }
    if (WriteFileAtomically(path, std::string_view(png), error) != 0) return XPLAY_E_IO;
    return 0;
}

}  // namespace velmora::platform
