#pragma once

#include <cstdint>
#include <string>

namespace velmora::platform {

// Writes a picture in packed 8-bit RGB (3 bytes per pixel, `stride` bytes per row) as a PNG file,
// replacing `path` atomically (WriteFileAtomically: random exclusive temporary file,
// only a regular file or a link to one is replaced, a failure leaves an earlier file as it was).
// Returns 0, XPLAY_E_ARG (empty path, null pixels, non-positive size, stride < 3 * w),
// XPLAY_E_CODEC (encoder unavailable or failed) or XPLAY_E_IO (file not written; nothing partial
// is left). On failure `error` (may be null) receives a one-line reason.
// Thread-safe (no shared state).
int WritePng(const std::string& path, const uint8_t* rgb, int w, int h, int stride, std::string* error = nullptr);

// Same, into memory: on success `out` holds the PNG bytes.
int EncodePng(const uint8_t* rgb, int w, int h, int stride, std::string* out);

}  // namespace velmora::platform
