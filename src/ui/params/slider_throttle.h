#pragma once

#include <cstdint>
#include <functional>
#include <map>

// The send throttle of the parameter sliders: while the user moves a slider, at most one request
// per 500 ms leaves for that slider. The last-send time of each slider is held once for the whole
// process, so the same slider on the pages of both hosts shares it. Times are 32-bit millisecond
// ticks compared with unsigned wrap-around arithmetic; the clock is injectable so tests can play
// a drag without sleeping.
// Thread-bound: used from the user-interface thread only.
namespace velmora::ui {

using MillisClock = std::function<uint32_t()>;

inline constexpr uint32_t kSliderThrottleMs = 500;

// Identifies one slider of one page kind: the page's template number and the slider's control id.
struct SliderKey {
    int pageTemplate = 0;
    int sliderId = 0;
    auto operator<=>(const SliderKey&) const = default;
};

class SliderThrottle {
public:
    // The process-wide instance every page uses.
    static SliderThrottle& Shared();

    // Replaces the clock; an empty function restores the monotonic system clock.
    void SetClock(MillisClock clock);
    uint32_t Now() const;

    // Milliseconds until `key` may send again at `now`: 0 when it may send now.
    uint32_t WaitBeforeSend(SliderKey key, uint32_t now) const;
    void MarkSent(SliderKey key, uint32_t now);
    uint32_t LastSend(SliderKey key) const;

    // Forgets every last-send time (they start at 0, like at process start).
    void Reset();

private:
    MillisClock clock_;
    std::map<SliderKey, uint32_t> lastSend_;
};

}  // namespace velmora::ui
