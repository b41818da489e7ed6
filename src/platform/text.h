#pragma once

#include <strings.h>

#include <string_view>

namespace velmora {

// ASCII case-insensitive equality, the way member, key and section names are matched (cJSON's
// member lookup, INI files). Pure; thread-safe.
inline bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace velmora
