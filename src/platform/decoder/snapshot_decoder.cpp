#include "platform/decoder/snapshot_decoder.h"

#include <cstring>

extern "C" {
#include <libavutil/frame.h>
}

#include "platform/decoder/frame_converter.h"
#include "platform/decoder/h264_decoder.h"
#include "platform/decoder/xplay.h"

namespace velmora::platform {

namespace {

// Feeds caller data through a padded scratch buffer in pieces of at most this size.
constexpr int kFeedPiece = 64 * 1024;

}  // namespace

SnapshotDecoder::SnapshotDecoder() = default;
SnapshotDecoder::~SnapshotDecoder() = default;

int SnapshotDecoder::Open() {
    if (open_result_ != 1) return open_result_;
    decoder_ = std::make_unique<H264Decoder>();
    open_result_ = decoder_->Open(1);
    return open_result_;
}

int SnapshotDecoder::Feed(const uint8_t* data, int length) {
    if (length < 0 || (length > 0 && !data)) return XPLAY_E_ARG;
    if (have_picture_) return 1;
    int ret = Open();
    if (ret < 0) return ret;

    FrameConverter converter;
    auto take = [&](const AVFrame* frame) {
        if (have_picture_) return;
        // A picture the codec had to patch up is not a faithful snapshot: wait for the next one.
        if ((frame->flags & AV_FRAME_FLAG_CORRUPT) || frame->decode_error_flags) return;
        if (converter.Convert(frame, FrameConverter::Format::kRgb24, 0, 0) < 0) return;
        picture_.width = converter.width();
        picture_.height = converter.height();
        picture_.stride = picture_.width * 3;
        picture_.pixels.resize(static_cast<size_t>(picture_.stride) * picture_.height);
        for (int y = 0; y < picture_.height; ++y) {
            std::memcpy(picture_.pixels.data() + static_cast<size_t>(y) * picture_.stride,
                        converter.data() + static_cast<size_t>(y) * converter.stride(),
                        static_cast<size_t>(picture_.stride));
        }
        have_picture_ = true;
    };

    std::vector<uint8_t> scratch(kFeedPiece + H264Decoder::kInputPadding, 0);
    while (length > 0 && !have_picture_) {
        int piece = length < kFeedPiece ? length : kFeedPiece;
        std::memcpy(scratch.data(), data, static_cast<size_t>(piece));
        std::memset(scratch.data() + piece, 0, static_cast<size_t>(H264Decoder::kInputPadding));
        decoder_->Feed(scratch.data(), piece, take);
        data += piece;
        length -= piece;
    }
    if (length == 0 && !have_picture_ && finishing_) {
        decoder_->EndAccessUnit(take);
        if (!have_picture_) decoder_->Drain(take);
    }
    return have_picture_ ? 1 : 0;
}

int SnapshotDecoder::Finish() {
    if (have_picture_) return 1;
    finishing_ = true;
    return Feed(nullptr, 0);
}

int DecodeFirstPicture(const uint8_t* data, int length, RgbPicture* out) {
    if (!out) return XPLAY_E_ARG;
    SnapshotDecoder decoder;
    int ret = decoder.Feed(data, length);
    if (ret == 0) ret = decoder.Finish();
    if (ret == 1) *out = decoder.Picture();
    return ret;
}

}  // namespace velmora::platform
