#pragma once

#include <cstdint>
#include <string>

// Writes a picture in packed 8-bit RGB (3 bytes per pixel, `stride` bytes per row) as a PNG file.
// Returns 0, XPLAY_E_ARG (null pixels, non-positive size, stride < 3 * w), XPLAY_E_CODEC
// (encoder unavailable or failed) or XPLAY_E_IO (file not written; no partial file is left).
// Thread-safe (no shared state).
int WritePng(const std::string& path, const uint8_t* rgb, int w, int h, int stride);

// Same, into memory: on success `out` holds the PNG bytes.
int EncodePng(const uint8_t* rgb, int w, int h, int stride, std::string* out);
