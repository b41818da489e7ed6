#pragma once

#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

// Small helpers around cJSON: the owner of a parsed tree (for every JSON reader of the program;
// the simulator keeps its own)
// and the lookups the reply parsers and request builders of this folder share. Pure functions;
// thread-safe.
namespace velmora::protocol::detail {

struct JsonDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// Parses a whole JSON document of a file (a UTF-8 byte-order mark at its start is skipped;
// anything but blanks after the value is refused). Null when it is not JSON, with `line` and
// `column` (from 1, the column counted in characters) where reading stopped.
JsonPtr ParseDocument(std::string_view text, int& line, int& column);

// Parses `text` (NUL-terminated); null when it is not JSON or not an object.
JsonPtr ParseObject(const char* text);

// Case-insensitive member lookup that only answers for objects.
const cJSON* Member(const cJSON* object, const char* name);

// The member's value as an int32 (numbers truncated toward zero and saturated, true/false as
// 1/0); nothing for other types or a missing member.
std::optional<int32_t> MemberInt(const cJSON* object, const char* name);
// Same, keeping the number as a double (numbers and booleans).
std::optional<double> MemberNumber(const cJSON* object, const char* name);

// Content.nResult of a reply, the common reply check.
struct ReplyHead {
    const cJSON* content = nullptr;
    std::optional<int32_t> result;  // empty when Content or nResult is missing
};
ReplyHead ReadReplyHead(const cJSON* root);

}  // namespace velmora::protocol::detail
