#pragma once

#include <vector>

#include "sim/stream/stream_generator.h"

// Encodes `frames` pictures of the test camera with the given parameters.
inline std::vector<velmora::sim::stream::AccessUnit> MakeStream(
    int frames, const velmora::sim::stream::PictureParams& params = velmora::sim::stream::PictureParams(),
    int width = 320, int height = 240, int keyframe_interval = 0) {
    velmora::sim::stream::GeneratorConfig config;
    config.width = width;
    config.height = height;
    config.keyframe_interval = keyframe_interval;
    velmora::sim::stream::StreamGenerator generator;
    std::vector<velmora::sim::stream::AccessUnit> units;
    if (generator.Open(config) != 0) return units;
    generator.SetParams(params);
    for (int i = 0; i < frames; ++i) {
        velmora::sim::stream::AccessUnit au;
        if (generator.EncodeNext(&au) != 0) break;
        units.push_back(std::move(au));
    }
    return units;
}
