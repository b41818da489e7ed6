#pragma once

#include <string>
#include <string_view>

#include "protocol/ability_list.h"

// How the parameter pages read the camera's ability list: an item matches a member by exact,
// case-sensitive key (unlike AbilityList::Find, which follows the replies' case-insensitive
// lookup), the "ssc8836" display rule lets a mode rule manage one more control group, and
// option labels become the UTF-8 texts a combo box shows.
// Pure functions; thread-safe.
namespace velmora::ui {

// True when the item's key is exactly `member`.
bool AbilityKeyIs(const protocol::AbilityItem& item, std::string_view member);

// True when the item's Display is 2 and its DisplayRule is exactly "ssc8836".
bool HasSsc8836Rule(const protocol::AbilityItem& item);

// An option label as UTF-8. Labels read over USB are the camera's UTF-8 bytes; labels read over
// the network were converted to CP936. A label that is valid UTF-8 is taken as it is (plain
// ASCII reads the same both ways), otherwise it is converted from CP936; bytes valid in neither
// are kept and shown by Qt as replacement characters.
std::string AbilityLabelUtf8(const protocol::AbilityOption& option);

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool IsValidUtf8(std::string_view text);

}  // namespace velmora::ui
