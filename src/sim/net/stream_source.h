#pragma once

// Where a simulated camera's real-play data comes from.
//
// The camera server asks its StreamSourceFactory for one source per opened stream and then pulls
// access units from that source on the stream's own thread until the stream ends. A source is
// used by that one thread only (thread-bound) and is destroyed on it.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace velmora::sim {

struct AccessUnit {
    std::vector<uint8_t> data;  // H.264 Annex-B: start codes and NAL units of one picture
    bool keyFrame = false;      // starts with SPS/PPS/IDR
    uint64_t timestampUs = 0;
};

class StreamSource {
public:
    virtual ~StreamSource() = default;
    // Produces the next access unit, pacing itself (a 25 fps source returns about every 40 ms).
    // Waits at most `maxWait`; returns false when nothing is ready yet (the server then checks
    // whether the stream is still wanted and asks again). Sources should honour `maxWait` so a
    // closing stream ends promptly.
    virtual bool Next(AccessUnit& out, std::chrono::milliseconds maxWait) = 0;
};

// Creates a source for a stream selector (0 main, 1 sub); null means "no such stream".
// Called on the connection's thread; may be called concurrently for different clients.
using StreamSourceFactory = std::function<std::unique_ptr<StreamSource>(int selector)>;

}  // namespace velmora::sim
