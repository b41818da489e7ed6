#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Replacing and reading a file safely. Every file Velmora writes (the parameter file, PNG snapshots, the
// configuration file) goes through WriteFileAtomically, so a failure never leaves a torn file, a
// stray temporary file or a write through a planted link behind. docs/files.md has the rules.
// Thread-safe: no shared state; two calls on the same target race like two renames (the last one
// wins, each file is complete).
namespace velmora::platform {

inline constexpr int kAtomicFileBadPath = -330;       // empty path, or a name ending in '/'
inline constexpr int kAtomicFileRefused = -331;       // the target exists and is not a regular file
inline constexpr int kAtomicFileCreateFailed = -332;  // the folder cannot be reached or written
inline constexpr int kAtomicFileWriteFailed = -333;   // writing, flushing or renaming (or reading) failed
inline constexpr int kFileTooLarge = -334;            // a file to read is larger than its reader accepts

// Checks that `path` may be replaced: it does not exist yet, or it is a regular file, or a symbolic
// link that leads to one. Returns 0 or one of the codes above; `error` (may be null) then says why
// ("it is a FIFO (named pipe), only a regular file is replaced").
int CheckReplaceableFile(const std::string& path, std::string* error);

// Replaces the file at `path` with `data`:
// - the target must pass CheckReplaceableFile; a symbolic link is kept and the regular file it
//   leads to is the one replaced;
// - a temporary file with a random name is created exclusively beside that file (O_EXCL,
//   O_NOFOLLOW: nothing planted in the folder can redirect the write), written completely, flushed
//   to disk and renamed over the target; the folder is flushed too (best effort);
// - a replaced file keeps its permission bits without set-user-id, set-group-id and sticky, and
//   its owner and group where the process may give them; a new file gets 0666 & ~umask;
// - on any failure the temporary file is removed and the previous file is left as it was.
// Returns 0 or a negative code above; `error` (may be null) receives a one-line reason.
int WriteFileAtomically(const std::string& path, std::span<const uint8_t> data, std::string* error);
int WriteFileAtomically(const std::string& path, std::string_view data, std::string* error);

// Reads a whole regular file of at most `maxBytes` into `out`. A FIFO, a device or a directory is
// refused at once (never waited on), and so is a larger file (its size goes to `size`, which may be
// null, as soon as it is known). Returns 0, kAtomicFileCreateFailed (cannot open),
// kAtomicFileRefused, kFileTooLarge or kAtomicFileWriteFailed (reading failed); `error` (may be
// null) says why. `out` is written only on success.
int ReadRegularFile(const std::string& path, size_t maxBytes, std::string& out, std::string* error,
                    long long* size = nullptr);

// Ignores SIGXFSZ for the whole process. Without it, a write beyond the file-size limit
// (RLIMIT_FSIZE, `ulimit -f`) kills the process with no message; with it, the write fails with
// EFBIG and the writer reports it. Programs call this once at start.
void IgnoreFileSizeSignal();

}  // namespace velmora::platform
