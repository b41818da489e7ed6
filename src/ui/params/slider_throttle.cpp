#include "ui/params/slider_throttle.h"

#include <chrono>

namespace velmora::ui {

SliderThrottle& SliderThrottle::Shared() {
    static SliderThrottle instance;
    return instance;
}

void SliderThrottle::SetClock(MillisClock clock) { clock_ = std::move(clock); }

uint32_t SliderThrottle::Now() const {
    if (clock_) return clock_();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<uint32_t>(ms.count());
}

uint32_t SliderThrottle::WaitBeforeSend(SliderKey key, uint32_t now) const {
    const uint32_t elapsed = now - LastSend(key);  // unsigned: survives the 49-day wrap
    return elapsed >= kSliderThrottleMs ? 0 : kSliderThrottleMs - elapsed;
}

void SliderThrottle::MarkSent(SliderKey key, uint32_t now) { lastSend_[key] = now; }

uint32_t SliderThrottle::LastSend(SliderKey key) const {
    const auto it = lastSend_.find(key);
    return it == lastSend_.end() ? 0 : it->second;
}

void SliderThrottle::Reset() { lastSend_.clear(); }

}  // namespace velmora::ui
