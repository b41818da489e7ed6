#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

struct AVBufferRef;
struct AVCodecContext;
struct AVCodecParserContext;
struct AVFrame;
struct AVPacket;

namespace velmora::platform {

// Cuts an H.264 Annex-B byte stream into access units with libavcodec's H.264 parser and decodes
// them with low-delay settings (no frame reordering delay, slice threading only).
//
// Until the first key frame (an access unit holding an IDR slice), and again after Resync(),
// access units are skipped, so a stream joined in the middle shows no half-built pictures.
//
// Thread-bound: one thread uses an instance at a time.
class H264Decoder {
public:
    using FrameFn = std::function<void(const AVFrame*)>;
    // Rows [y, y + height) of the picture being decoded are final (decoded and filtered). Called
    // during decoding, possibly from the codec's slice threads, for progressive pictures only.
    using BandFn = std::function<void(const AVFrame* picture, int y, int height)>;

    H264Decoder();
    ~H264Decoder();
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    // Asks the codec to report each picture's rows as they are finished (before Open).
    void SetBandFn(BandFn fn) { band_fn_ = std::move(fn); }

    // Opens parser and codec. `threads` 0 picks a small number. Returns 0 or a negative
    // XPLAY_E_* code.
    int Open(int threads);

    // Feeds stream bytes; `fn` receives every picture completed by them. The buffer must be
    // followed by at least AV_INPUT_BUFFER_PADDING_SIZE readable bytes (see kInputPadding).
    // Returns 0, or XPLAY_E_CODEC when the codec refused an access unit (decoding continues
    // with the next one).
    int Feed(const uint8_t* data, int size, const FrameFn& fn);

    // Decodes `data` as one complete access unit, without the parser; for streams whose chunks are
    // whole access units (see BeginsWholeUnit). Nothing fed through Feed may be pending in the
    // parser. `owner`, when given, is a reference-counted buffer holding the data (and the padding
    // after it), so the codec takes a reference instead of a copy. Returns 0 or XPLAY_E_CODEC.
    int DecodeWhole(const uint8_t* data, int size, AVBufferRef* owner, const FrameFn& fn);

    // Declares that the data fed so far ends an access unit, so a complete picture is decoded
    // now rather than when the next picture's data arrives. Done by feeding an access unit
    // delimiter, which the codec ignores.
    int EndAccessUnit(const FrameFn& fn);

    // Data was lost before the next Feed. What the parser still holds arrived before the loss:
    // it is decoded as a finished access unit and its picture goes to `fn` if the codec found it
    // whole (one cut short by the loss is dropped). Then the parser starts afresh, reference
    // pictures are forgotten and access units are skipped until the next key frame.
    // Returns 0, XPLAY_E_CODEC when the codec refused the held unit, or XPLAY_E_RESOURCE.
    int Resync(const FrameFn& fn);

    // End of stream: decodes everything still held. The decoder is finished afterwards.
    int Drain(const FrameFn& fn);

    uint64_t access_units() const { return access_units_; }
    uint64_t skipped_units() const { return skipped_units_; }
    uint64_t decode_errors() const { return decode_errors_; }
    uint64_t frames_decoded() const { return frames_decoded_; }

    // Bytes of zero padding every Feed buffer must carry after its data.
    static const int kInputPadding;

    // True if the access unit holds an IDR slice before any other picture slice.
    static bool ContainsIdr(const uint8_t* data, size_t size);
    // True if `data` may be taken for a whole access unit: it begins with a start code and holds
    // a picture slice, and the first one begins a picture (first_mb_in_slice 0).
    static bool BeginsWholeUnit(const uint8_t* data, size_t size);

private:
    // NAL unit type (1..5) of the first picture slice in the data, 0 if there is none; `*header`
    // (if given) receives the offset of that slice's NAL header byte.
    static int FirstSliceType(const uint8_t* data, size_t size, size_t* header = nullptr);
    int DecodeUnit(const uint8_t* data, int size, const FrameFn& fn, AVBufferRef* owner = nullptr);
    int SendPacket(const uint8_t* data, int size, AVBufferRef* owner);
    int ReceiveFrames(const FrameFn& fn);
    static void OnBand(AVCodecContext* ctx, const AVFrame* picture, int offset[], int y, int type, int height);

    BandFn band_fn_;
    AVCodecContext* ctx_ = nullptr;
    AVCodecParserContext* parser_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    bool need_key_ = true;
    uint64_t access_units_ = 0;
    uint64_t skipped_units_ = 0;
    uint64_t decode_errors_ = 0;
    uint64_t frames_decoded_ = 0;
};

}  // namespace velmora::platform
