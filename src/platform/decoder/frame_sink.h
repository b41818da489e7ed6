#pragma once

#include <cstdint>

// Receiver of decoded pictures, implemented by whoever shows them (the video pane).
//
// Both calls arrive on the decoding thread of the stream the sink is attached to, never on the
// thread that feeds data. They must return promptly: copy or post the picture and return. They
// must not call X_VideoClose or X_PlayEx for the same port, and must not wait for the thread
// that may be closing the port (that thread joins the decoding thread).
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
};
