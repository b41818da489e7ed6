#pragma once

#include <string>
#include <vector>

#include "ui/params/page_host.h"

// A host that records what the pages ask and answers with scripted results; used by the tests
// and by the offscreen picture renderer. Thread-bound.
namespace velmora::ui {

class RecordingHost : public PageHost {
public:
    int SetVideoParamField(const char* fieldText) override {
        sent.emplace_back(fieldText);
        return setResult;
    }
    int GetFocusNear() override {
        ++focusNearCalls;
        return focusNearResult;
    }
    const AbilityList& Abilities() const override { return abilities; }
    void RequestRefresh() override { ++refreshRequests; }

    std::vector<std::string> sent;
    int setResult = 0;
    int focusNearResult = 0;
    int focusNearCalls = 0;
    int refreshRequests = 0;
    AbilityList abilities;
};

}  // namespace velmora::ui
