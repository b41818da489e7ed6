#include "fleet/parallel_each.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora::fleet {

size_t DefaultJobs(size_t cameras) { return std::clamp<size_t>(cameras, 1, kMaxDefaultJobs); }

void ParallelEach(size_t count, size_t jobs, const std::function<int(size_t)>& work,
                  const std::function<void(size_t, int)>& done) {
    if (count == 0) return;
    std::atomic<size_t> next{0};
    std::mutex doneMu;
    const auto run = [&] {
        for (size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
            const int status = work(i);
            std::lock_guard lock(doneMu);
            if (done) done(i, status);
        }
    };
    const size_t threads = std::min(std::max<size_t>(jobs, 1), count);
    if (threads == 1) {
        run();
        return;
    }
    std::vector<std::jthread> pool;
    pool.reserve(threads);
    for (size_t t = 0; t < threads; ++t) pool.emplace_back(run);
}  // the jthreads join here

}  // namespace velmora::fleet
