#pragma once

#include <cstdint>

namespace velmora::platform {

// Receiver of decoded pictures, implemented by whoever shows them (the video pane).
//
// Both calls arrive on the presenting thread of the stream the sink is attached to (its decoding
// thread with XStreamOptions::present_on_decoding_thread), never on the thread that feeds data.
// A slow sink does not hold up decoding, but pictures decoded meanwhile are skipped: only the
// latest one is kept for the sink. Calls should still return promptly: copy or post the picture
// and return. They must not call X_VideoClose or X_PlayEx for the same port, and must not wait
// for the thread that may be closing the port or detaching the sink (that thread waits for a
// call in progress to return).
class FrameSink {
public:
    virtual ~FrameSink() = default;

    // A picture in 32-bit BGRX order (bytes B, G, R, 255 per pixel: QImage::Format_RGB32 on a
    // little-endian machine). `stride` is the distance between rows in bytes (>= 4 * width).
    // The pixels stay valid only for the duration of the call.
    virtual void OnFrame(const uint8_t* pixels, int width, int height, int stride) = 0;

    // Asked before each picture is scaled: the size the sink wants the picture in. Leaving a
    // value at 0 or writing a non-positive value keeps the picture's own width or height.
    virtual void TargetSize(int* w, int* h) = 0;

    // Asked instead of TargetSize by a decoder that knows the decoded picture's own size
    // (sourceWidth x sourceHeight, both positive). The default asks TargetSize.
    virtual void TargetSizeFor(int sourceWidth, int sourceHeight, int* w, int* h) {
        (void)sourceWidth;
        (void)sourceHeight;
        TargetSize(w, h);
    }

    // Optionally lends the buffer the next picture of w x h is converted into, so OnFrame needs
    // no copy: rows `*stride` bytes apart, *stride a multiple of 64 and at least 4 * w, and
    // `*stride` more bytes after the last row (the scaler's SIMD writers run past a row's end).
    // OnFrame then receives this very buffer. Null (the default): the decoder converts into a
    // buffer of its own.
    virtual uint8_t* FrameBuffer(int w, int h, int* stride) {
        (void)w;
        (void)h;
        (void)stride;
        return nullptr;
    }
};

}  // namespace velmora::platform
