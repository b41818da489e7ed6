#pragma once

#include <string>

#include "protocol/video_param.h"

// The parameter file: exactly kVideoParamSize raw bytes, the VideoParam record unchanged (no
// header, no checksum). Default name video_params.dat. Pure functions over the file system;
// thread-safe as long as two calls do not target the same path.

inline constexpr const char kParamFileDefaultName[] = "video_params.dat";

inline constexpr int kParamFileOpenFailed = -320;    // cannot open / create (also: not a regular file)
inline constexpr int kParamFileSizeMismatch = -321;  // the file is not exactly 8191 bytes
inline constexpr int kParamFileReadFailed = -322;    // reading the 8191 bytes failed
inline constexpr int kParamFileWriteFailed = -323;   // writing, syncing or replacing failed

// Reads the file into `out`. A file of any other size is refused before anything is read.
// `foundSize` (may be null) receives the file's size whenever it could be determined, -1 when
// the file could not be opened. `out` is untouched on failure.
// Returns 0, kParamFileOpenFailed, kParamFileSizeMismatch or kParamFileReadFailed.
int LoadParamFile(const std::string& path, VideoParam& out, long long* foundSize);

// Writes the record to `path` atomically: a temporary file in the same folder receives the 8191
// bytes, is flushed to disk and renamed over the target. On failure the temporary file is
// removed and a previous file at `path` stays exactly as it was.
// Returns 0, kParamFileOpenFailed (temporary file cannot be created) or kParamFileWriteFailed.
int SaveParamFile(const std::string& path, const VideoParam& rec);
