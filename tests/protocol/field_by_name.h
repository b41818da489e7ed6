#pragma once

#include <cstdlib>
#include <string_view>

#include "protocol/video_param.h"

// The field a test names by its member; a misspelt name ends the test program at once rather
// than sending to a field nobody meant.
inline const velmora::protocol::VideoParamField& Field(std::string_view member) {
    const velmora::protocol::VideoParamField* field = velmora::protocol::FindSendableField(member);
    if (field == nullptr) std::abort();
    return *field;
}
