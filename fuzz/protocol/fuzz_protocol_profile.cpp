// Feeds bytes to the JSON profile reader: a profile it accepts must hold each member at most once,
// in record order, with values that fit; a refusal must leave the profile untouched and say where.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/profile.h"

using namespace velmora::protocol;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    velmora::protocol::Profile profile;
    profile.model = "untouched";
    velmora::protocol::ProfileError error;
    const int r = velmora::protocol::ParseProfileJson(text, profile, &error);
    if (r != 0) {
        if (profile.model != "untouched" || !profile.values.empty() || error.code != r || error.message.empty())
            __builtin_trap();
        if (r == velmora::protocol::kProfileNotJson && (error.line < 1 || error.column < 1)) __builtin_trap();
        return 0;
    }
    for (size_t i = 0; i < profile.values.size(); ++i) {
        const velmora::protocol::ProfileValue& v = profile.values[i];
        if (!FieldValueFits(*v.field, v.value)) __builtin_trap();
        if (i > 0 && profile.values[i - 1].field->offset >= v.field->offset) __builtin_trap();
    }
    return 0;
}
