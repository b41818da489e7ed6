#include "platform/decoder/h264_decoder.h"

#include <algorithm>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include "platform/decoder/codec_log.h"
#include "platform/decoder/xplay.h"

namespace velmora::platform {

const int H264Decoder::kInputPadding = AV_INPUT_BUFFER_PADDING_SIZE;

namespace {

// Access unit delimiter, primary_pic_type 7 (any slice type), followed by the padding the parser
// may read past the end.
const uint8_t kAccessUnitDelimiter[6 + AV_INPUT_BUFFER_PADDING_SIZE] = {0, 0, 0, 1, 0x09, 0xF0};

}  // namespace

H264Decoder::H264Decoder() = default;

H264Decoder::~H264Decoder() {
    av_parser_close(parser_);
    avcodec_free_context(&ctx_);
    av_packet_free(&packet_);
    av_frame_free(&frame_);
}

int H264Decoder::Open(int threads) {
    if (ctx_) return 0;
    InstallCodecLogHook();
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec) return XPLAY_E_RESOURCE;
    parser_ = av_parser_init(AV_CODEC_ID_H264);
    ctx_ = avcodec_alloc_context3(codec);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!parser_ || !ctx_ || !packet_ || !frame_) return XPLAY_E_RESOURCE;

    // Pictures leave the decoder as soon as they are decoded: no reordering delay, and slice
    // threading only (frame threading would hold back one picture per thread).
    ctx_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    ctx_->thread_type = FF_THREAD_SLICE;
    if (threads <= 0) {
        unsigned hw = std::thread::hardware_concurrency();
        threads = static_cast<int>(std::clamp(hw, 1u, 4u));
    }
    ctx_->thread_count = threads;
    // libavcodec's H.264 decoder reports finished rows without advertising it in its
    // capabilities. Nothing depends on it but speed: a picture without all its bands is
    // converted whole.
    if (band_fn_) {
        ctx_->opaque = this;
        ctx_->draw_horiz_band = &H264Decoder::OnBand;
    }
    // A damaged or hostile parameter set may claim a huge picture: refuse anything beyond 8K.
    ctx_->max_pixels = 8192 * 4320;
    if (avcodec_open2(ctx_, codec, nullptr) < 0) return XPLAY_E_RESOURCE;
    return 0;
}

void H264Decoder::OnBand(AVCodecContext* ctx, const AVFrame* picture, int* /*offset*/, int y, int type,
                         int height) {
    // Fields (type 1 and 2) interleave their rows; only whole-frame bands are passed on.
    constexpr int kFrameBand = 3;
    if (type != kFrameBand) return;
    static_cast<H264Decoder*>(ctx->opaque)->band_fn_(picture, y, height);
}

int H264Decoder::FirstSliceType(const uint8_t* data, size_t size, size_t* header) {
    size_t i = 0;
    while (i + 3 < size) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            int type = data[i + 3] & 0x1F;
            if (type >= 1 && type <= 5) {
                if (header) *header = i + 3;
                return type;
            }
            i += 3;
        } else {
            ++i;
        }
    }
    return 0;
}

bool H264Decoder::ContainsIdr(const uint8_t* data, size_t size) {
    return FirstSliceType(data, size) == 5;
}

bool H264Decoder::BeginsWholeUnit(const uint8_t* data, size_t size) {
    const bool startCode = size >= 4 && data[0] == 0 && data[1] == 0 &&
                           (data[2] == 1 || (data[2] == 0 && data[3] == 1));
    if (!startCode) return false;
    size_t header = 0;
    if (FirstSliceType(data, size, &header) == 0 || header + 1 >= size) return false;
    // The slice header opens with first_mb_in_slice as ue(v): a leading 1 bit is the value 0.
    return (data[header + 1] & 0x80) != 0;
}

int H264Decoder::DecodeWhole(const uint8_t* data, int size, AVBufferRef* owner, const FrameFn& fn) {
    if (!ctx_) return XPLAY_E_RESOURCE;
    if (size <= 0) return 0;
    return DecodeUnit(data, size, fn, owner);
}

int H264Decoder::Feed(const uint8_t* data, int size, const FrameFn& fn) {
    if (!ctx_ || !parser_) return XPLAY_E_RESOURCE;
    int result = 0;
    while (size > 0) {
        uint8_t* unit = nullptr;
        int unit_size = 0;
        int used = av_parser_parse2(parser_, ctx_, &unit, &unit_size, data, size, AV_NOPTS_VALUE,
                                    AV_NOPTS_VALUE, 0);
        if (used < 0) return XPLAY_E_CODEC;
        used = std::min(used, size);
        data += used;
        size -= used;
        if (unit_size > 0) {
            if (DecodeUnit(unit, unit_size, fn) < 0) result = XPLAY_E_CODEC;
        } else if (used == 0) {
            break;  // the parser neither consumed nor produced anything: do not spin
        }
    }
    return result;
}

int H264Decoder::EndAccessUnit(const FrameFn& fn) {
    return Feed(kAccessUnitDelimiter, 6, fn);
}

int H264Decoder::Resync(const FrameFn& fn) {
    if (!ctx_ || !parser_) return XPLAY_E_RESOURCE;
    int result = 0;
    // Everything the parser holds arrived before the loss. Input chunks normally end where
    // pictures end (cameras send one picture per packet), so this is usually a whole picture, and
    // often the very key frame a viewer that fell behind is waiting for. Had the input paused long
    // enough for the idle flush before the loss was noticed, it would have been decoded anyway;
    // whether it is shown must not depend on that timing. Empty input makes the parser hand out
    // everything it holds.
    uint8_t* unit = nullptr;
    int unit_size = 0;
    av_parser_parse2(parser_, ctx_, &unit, &unit_size, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    // The delimiter left behind by EndAccessUnit, or parameter sets alone, make no picture.
    if (unit_size > 0 && FirstSliceType(unit, static_cast<size_t>(unit_size)) != 0) {
        // A picture the loss cut short comes out patched up with guesses: leave it out.
        const FrameFn whole = [&fn](const AVFrame* frame) {
            if (!(frame->flags & AV_FRAME_FLAG_CORRUPT) && !frame->decode_error_flags) fn(frame);
        };
        if (DecodeUnit(unit, unit_size, whole) < 0) result = XPLAY_E_CODEC;
    }
    // Start the parser afresh: no bytes or half-read slice header of the old data may be joined
    // to the new data (flushing alone leaves the parser's scanning state behind).
    av_parser_close(parser_);
    parser_ = av_parser_init(AV_CODEC_ID_H264);
    if (!parser_) result = XPLAY_E_RESOURCE;
    avcodec_flush_buffers(ctx_);
    need_key_ = true;
    return result;
}

int H264Decoder::Drain(const FrameFn& fn) {
    if (!ctx_ || !parser_) return XPLAY_E_RESOURCE;
    uint8_t* unit = nullptr;
    int unit_size = 0;
    av_parser_parse2(parser_, ctx_, &unit, &unit_size, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    int result = 0;
    if (unit_size > 0 && DecodeUnit(unit, unit_size, fn) < 0) result = XPLAY_E_CODEC;
    if (avcodec_send_packet(ctx_, nullptr) == 0) ReceiveFrames(fn);
    return result;
}

int H264Decoder::SendPacket(const uint8_t* data, int size, AVBufferRef* owner) {
    packet_->data = const_cast<uint8_t*>(data);
    packet_->size = size;
    // With a reference the codec keeps the data as it is; without one (or if taking it fails) it
    // copies the packet.
    if (owner) packet_->buf = av_buffer_ref(owner);
    const int ret = avcodec_send_packet(ctx_, packet_);
    av_packet_unref(packet_);
    return ret;
}

int H264Decoder::DecodeUnit(const uint8_t* data, int size, const FrameFn& fn, AVBufferRef* owner) {
    ++access_units_;
    if (need_key_) {
        if (!ContainsIdr(data, static_cast<size_t>(size))) {
            ++skipped_units_;
            return 0;
        }
        need_key_ = false;
    }
    int ret = SendPacket(data, size, owner);
    if (ret == AVERROR(EAGAIN)) {
        // Output is waiting: take it, then try once more.
        ReceiveFrames(fn);
        ret = SendPacket(data, size, owner);
    }
    int result = 0;
    if (ret < 0) {
        ++decode_errors_;
        result = XPLAY_E_CODEC;
    }
    ReceiveFrames(fn);
    return result;
}

int H264Decoder::ReceiveFrames(const FrameFn& fn) {
    int count = 0;
    while (avcodec_receive_frame(ctx_, frame_) == 0) {
        ++frames_decoded_;
        ++count;
        fn(frame_);
        av_frame_unref(frame_);
    }
    return count;
}

}  // namespace velmora::platform
