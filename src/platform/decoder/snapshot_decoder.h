#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace velmora::platform {

// A decoded picture in packed 8-bit RGB, 3 bytes per pixel, rows `stride` bytes apart.
struct RgbPicture {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::vector<uint8_t> pixels;
};

class H264Decoder;

// Decodes the first complete picture of an H.264 Annex-B byte stream, synchronously on the
// calling thread (for the command-line snapshot). Data before the first key frame is skipped, and
// pictures the codec reports as damaged are passed over.
//
// Thread-bound: one thread uses an instance at a time.
class SnapshotDecoder {
public:
    SnapshotDecoder();
    ~SnapshotDecoder();
    SnapshotDecoder(const SnapshotDecoder&) = delete;
    SnapshotDecoder& operator=(const SnapshotDecoder&) = delete;

    // Feeds more of the stream. Returns 1 once a picture is ready (further data is ignored),
    // 0 when more data is needed, or a negative XPLAY_E_* code.
    int Feed(const uint8_t* data, int length);
    // The stream has ended: decodes what is left. Returns 1 if a picture is ready, 0 if the data
    // held none, or a negative code.
    int Finish();

    bool HasPicture() const { return have_picture_; }
    const RgbPicture& Picture() const { return picture_; }

private:
    int Open();

    std::unique_ptr<H264Decoder> decoder_;
    RgbPicture picture_;
    bool have_picture_ = false;
    bool finishing_ = false;
    int open_result_ = 1;  // 1 = not yet opened
};

// One-shot form: decodes the first complete picture of `data`. Returns 1 and fills *out, 0 when
// the data holds no complete picture, or a negative XPLAY_E_* code.
int DecodeFirstPicture(const uint8_t* data, int length, RgbPicture* out);

}  // namespace velmora::platform
