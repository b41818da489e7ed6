#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/user_messages.h"
#include "ui/params/slider_throttle.h"

// Shared fixtures of the widget tests: a message recorder installed as the process sink and a
// fake millisecond clock installed into the shared slider throttle.
namespace velmora::ui::test {

class RecordingMessages : public platform::UserMessages {
public:
    RecordingMessages() { platform::SetUserMessages(this); }
    ~RecordingMessages() override { platform::SetUserMessages(nullptr); }
    void Information(std::string_view text) override { shown.emplace_back(text); }
    bool AskOkCancel(std::string_view text) override {
        shown.emplace_back(text);
        return answer;
    }
    bool AskYesNoTitled(std::string_view text, std::string_view title) override {
        titles.emplace_back(title);
        return AskYesNo(text);
    }
    bool AskYesNo(std::string_view text) override {
        shown.emplace_back(text);
        return answer;
    }
    std::vector<std::string> shown;
    std::vector<std::string> titles;  // captions of the questions that have one
    bool answer = true;
};

class FakeClock {
public:
    explicit FakeClock(uint32_t start = 100000) : now_(start) {
        SliderThrottle::Shared().Reset();
        SliderThrottle::Shared().SetClock([this] { return now_; });
    }
    ~FakeClock() {
        SliderThrottle::Shared().SetClock({});
        SliderThrottle::Shared().Reset();
    }
    void Advance(uint32_t ms) { now_ += ms; }
    void Set(uint32_t now) { now_ = now; }
    uint32_t Now() const { return now_; }

private:
    uint32_t now_;
};

}  // namespace velmora::ui::test
