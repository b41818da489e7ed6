#pragma once

#include <cjson/cJSON.h>

#include <memory>
#include <string_view>

namespace velmora::sim {

// A cJSON tree owned by a unique_ptr.
struct JsonDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// Parses a request text; trailing NUL bytes are ignored (hosts send texts with their terminating
// zero). Returns null when the text is not a JSON object.
inline JsonPtr ParseJsonObject(std::string_view text) {
    while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
    JsonPtr root(cJSON_ParseWithLength(text.data(), text.size()));
    if (!root || !cJSON_IsObject(root.get())) return nullptr;
    return root;
}

}  // namespace velmora::sim
