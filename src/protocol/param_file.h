#pragma once

#include <string>

#include "protocol/video_param.h"

namespace velmora::protocol {

// The parameter file: exactly kVideoParamSize raw bytes, the VideoParam record unchanged (no
// header, no checksum). Default name video_params.dat. Pure functions over the file system;
// thread-safe as long as two calls do not target the same path.

inline constexpr const char kParamFileDefaultName[] = "video_params.dat";

inline constexpr int kParamFileOpenFailed = -320;    // cannot open / create (load: also not a regular file)
inline constexpr int kParamFileSizeMismatch = -321;  // the file is not exactly 8191 bytes
inline constexpr int kParamFileReadFailed = -322;    // reading the 8191 bytes failed
inline constexpr int kParamFileWriteFailed = -323;   // writing, syncing or replacing failed, or the
                                                     // target is not a regular file

// Reads the file into `out`. A file of any other size is refused before anything is read.
// `foundSize` (may be null) receives the file's size whenever it could be determined, -1 when
// the file could not be opened. `out` is untouched on failure.
// Returns 0, kParamFileOpenFailed, kParamFileSizeMismatch or kParamFileReadFailed; `error` (may
// be null) then receives a one-line reason ("No such file or directory", "it is a FIFO, ...").
int LoadParamFile(const std::string& path, VideoParam& out, long long* foundSize, std::string* error = nullptr);

// Writes the record to `path` atomically (platform::WriteFileAtomically): a temporary file with a
// random name beside the target receives the 8191 bytes, is flushed to disk and renamed over it.
// A target that exists and is not a regular file (a folder, FIFO, device, socket, a link to one)
// is refused; a symbolic link to a regular file stays and the file it leads to is replaced. On
// failure the temporary file is removed and a previous file at `path` stays exactly as it was;
// `error` (may be null) then receives a one-line reason.
// Returns 0, kParamFileOpenFailed (no name, or the temporary file cannot be created) or
// kParamFileWriteFailed (target refused, or writing, flushing or replacing failed).
int SaveParamFile(const std::string& path, const VideoParam& rec, std::string* error = nullptr);

}  // namespace velmora::protocol
