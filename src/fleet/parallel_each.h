#pragma once

#include <cstddef>
#include <functional>

// Work on many cameras at once with a cap on concurrency: the ground of `apply`, `diff` and the
// other commands on a set of cameras. Qt-free.
namespace velmora::fleet {

// The default number of cameras worked on at once: the number of cameras, at most 16. A camera's
// work waits on its USB link or network far more than it uses the CPU, so more cameras than cores
// are worked on at once; 16 keeps 32 cameras to two turns.
inline constexpr size_t kMaxDefaultJobs = 16;
size_t DefaultJobs(size_t cameras);

// Runs `work(i)` once for every i in [0, count) on at most `jobs` threads (1 when 0 is given;
// never more threads than items), items taken in index order as threads become free. `done(i,
// status)` is called with each item's result as it ends, on the thread that ran it, one call at a
// time (under one lock), so it may print or collect without locking of its own. Returns when every
// item has ended and every thread has been joined; nothing runs after it returns.
// `work` is called concurrently on different items and must be safe for that.
void ParallelEach(size_t count, size_t jobs, const std::function<int(size_t)>& work,
                  const std::function<void(size_t, int)>& done);

}  // namespace velmora::fleet
