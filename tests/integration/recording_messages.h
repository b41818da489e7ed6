#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/user_messages.h"

namespace velmora::testing {

// Collects what the core would show the user, and answers every question with yes/OK.
class RecordingMessages : public platform::UserMessages {
public:
    std::vector<std::string> shown;
    void Information(std::string_view text) override { shown.emplace_back(text); }
    bool AskOkCancel(std::string_view) override { return true; }
    bool AskYesNo(std::string_view) override { return true; }
};

}  // namespace velmora::testing
