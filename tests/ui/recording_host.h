#pragma once

#include <string>
#include <vector>

#include "protocol/requests.h"
#include "ui/params/page_host.h"

// A host that records what the pages ask and answers with scripted results; used by the tests
// and by the offscreen picture renderer. Thread-bound.
namespace velmora::ui {

class RecordingHost : public PageHost {
public:
    // Each set is recorded as its member text ("\"Luminance\":50").
    int SetVideoParamField(const protocol::VideoParamField& field, int32_t value) override {
        sent.push_back(protocol::FormatFieldText(field.member, value));
        return setResult;
    }
    int GetFocusNear() override {
        ++focusNearCalls;
        return focusNearResult;
    }
    const protocol::AbilityList& Abilities() const override { return abilities; }
    void RequestRefresh() override { ++refreshRequests; }

    std::vector<std::string> sent;
    int setResult = 0;
    int focusNearResult = 0;
    int focusNearCalls = 0;
    int refreshRequests = 0;
    protocol::AbilityList abilities;
};

}  // namespace velmora::ui
