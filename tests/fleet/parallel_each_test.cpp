// The concurrency cap of the commands on a set of cameras: every item exactly once, never more
// than `jobs` at a time, results reported one at a time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "fleet/parallel_each.h"

using velmora::fleet::DefaultJobs;
using velmora::fleet::ParallelEach;

TEST(ParallelEachTest, EachItemOnceWithinTheCapAndResultsOneAtATime) {
    for (size_t jobs : {size_t(0), size_t(1), size_t(3), size_t(64)}) {
        constexpr size_t kItems = 20;
        std::vector<int> runs(kItems, 0);
        std::atomic<int> running{0}, peak{0};
        std::vector<int> results(kItems, -1);
        int inDone = 0;
        bool overlapped = false;
        ParallelEach(
            kItems, jobs,
            [&](size_t i) {
                const int now = ++running;
                for (int p = peak.load(); now > p && !peak.compare_exchange_weak(p, now);) {
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                ++runs[i];
                --running;
                return static_cast<int>(i) * 10;
            },
            [&](size_t i, int status) {
                overlapped |= ++inDone != 1;
                results[i] = status;
                --inDone;
            });
        for (size_t i = 0; i < kItems; ++i) {
            EXPECT_EQ(runs[i], 1) << "jobs " << jobs;
            EXPECT_EQ(results[i], static_cast<int>(i) * 10);
        }
        EXPECT_LE(peak.load(), static_cast<int>(std::max<size_t>(jobs, 1))) << "jobs " << jobs;
        EXPECT_FALSE(overlapped);
    }
    ParallelEach(0, 4, [](size_t) { return 0; }, nullptr);  // nothing to do, nothing run
    EXPECT_EQ(DefaultJobs(0), 1u);
    EXPECT_EQ(DefaultJobs(3), 3u);
    EXPECT_EQ(DefaultJobs(40), 16u);
}
