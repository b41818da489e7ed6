#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "sim/stream/stream_generator.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// User + system CPU time of the whole process, in seconds.
inline double ProcessCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// `frames` pictures of a simulated camera at the given size, one second between key frames.
inline std::vector<AccessUnit> MakeStream(int frames, int width, int height, const char* label) {
    GeneratorConfig config;
    config.width = width;
    config.height = height;
    config.label = label;
    StreamGenerator generator;
    std::vector<AccessUnit> units;
    if (generator.Open(config) != 0) {
        std::fprintf(stderr, "cannot open the H.264 encoder\n");
        return units;
    }
    for (int i = 0; i < frames; ++i) {
        AccessUnit au;
        if (generator.EncodeNext(&au) != 0) break;
        units.push_back(std::move(au));
    }
    return units;
}

inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

}  // namespace bench
