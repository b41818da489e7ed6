#pragma once

#include <string>
#include <string_view>

// Text that comes from outside (a camera's name, model, serial, ability labels; a user's own
// --user text echoed back) made safe to show in a terminal line or a window item. Pure; thread-safe.
namespace velmora::platform {

// Printable ASCII and well-formed UTF-8 stay as they are; a backslash is doubled; every other
// byte becomes "\xNN": C0 controls (CR, LF, TAB, ESC, BS ...), DEL, C1 controls (U+0080–U+009F),
// broken or overlong UTF-8, and the bidirectional controls U+202A–U+202E and U+2066–U+2069 (each
// of their three bytes). So a camera cannot fake a second line or list entry, move the cursor,
// or reverse what follows its text.
std::string EscapeForDisplay(std::string_view text);

}  // namespace velmora::platform
