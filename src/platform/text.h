#pragma once

#include <strings.h>

#include <cstring>
#include <string>
#include <string_view>

namespace velmora::platform {

// ASCII case-insensitive equality, the way member, key and section names are matched (cJSON's
// member lookup, INI files). Pure; thread-safe.
inline bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The text of a fixed-size field: up to its first zero byte, or the whole field when it has none.
inline std::string FieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

}  // namespace velmora::platform
