#pragma once

#include <span>
#include <string>
#include <string_view>

#include "platform/text_language.h"

// The texts of the upgrade session (row states, the reboot status, package-loading messages) in
// English, for the command-line tool's upgrade and reboot lines; the windows take the same
// translations from their own catalog (a test keeps the two equal). Pure, thread-safe.
namespace velmora::upgrade {

// Every pattern the session formats with its English translation.
std::span<const platform::TextTranslation> UpgradeTextsInEnglish();

// `text` (UTF-8, as the session made it) in `language`: unchanged for Chinese.
std::string UpgradeTextIn(platform::UiLanguage language, std::string_view text);

}  // namespace velmora::upgrade
