// Feeds arbitrary bytes as a camera's live H.264 stream to the decoder the video panes use, in
// chunks as they come off the network, with the converter halving and averaging each picture's
// bands as the codec reports them, and converts every picture to a pane-like size. Its promises:
// no crash or overrun whatever the bytes, and a conversion either succeeds with the asked size
// or fails with an error code. With whole access units, chunks go to the codec without the parser
// while they look like whole units (as for the panes' ports), then through the parser.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

#include "platform/decoder/frame_converter.h"
#include "platform/decoder/h264_decoder.h"

using namespace velmora::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    // Header: how much smaller the target is (1 to 8 times), whether the codec's bands are used,
    // the target format, whether chunks are taken for whole access units, and the chunk size.
    const int divisor = 1 + data[0] % 8;
    const bool bands = (data[1] & 1) != 0;
    bool whole = (data[1] & 4) != 0;
    const auto format = (data[1] & 2) ? FrameConverter::Format::kRgb24 : FrameConverter::Format::kBgrx;
    const size_t chunk = 1 + data[2] * 16u;
    data += 3;
    size -= 3;

    H264Decoder decoder;
    FrameConverter converter;
    if (bands) decoder.SetBandFn([&](const AVFrame* p, int y, int h) { converter.AddBand(p, y, h); });
    if (decoder.Open(1) != 0) return 0;
    const auto show = [&](const AVFrame* f) {
        const int w = std::max(1, f->width / divisor);
        const int h = std::max(1, f->height / divisor);
        converter.ExpectTarget(w, h);
        const int rc = converter.Convert(f, format, w, h);
        if (rc > 0) std::abort();
        if (rc == 0 && (converter.width() != w || converter.height() != h || !converter.data())) std::abort();
    };
    std::vector<uint8_t> padded;
    for (size_t at = 0; at < size; at += chunk) {
        const size_t n = std::min(chunk, size - at);
        padded.assign(data + at, data + at + n);
        padded.resize(n + H264Decoder::kInputPadding, 0);
        if (whole && !H264Decoder::BeginsWholeUnit(padded.data(), n)) whole = false;
        if (whole)
            decoder.DecodeWhole(padded.data(), static_cast<int>(n), nullptr, show);
        else
            decoder.Feed(padded.data(), static_cast<int>(n), show);
    }
    decoder.Drain(show);
    return 0;
}
