// Upgrade texts shown in English (velmora-cli's lines, the windows' state column): whatever text
// arrives, a pattern that matches it gives back exactly the text when refilled with the values it
// took, its translation refilled is an instance of the translation, and translating never fails.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text_language.h"
#include "upgrade/upgrade_texts.h"

using namespace velmora::platform;
using namespace velmora::upgrade;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> values;
    for (const velmora::platform::TextTranslation& t : velmora::upgrade::UpgradeTextsInEnglish()) {
        if (!velmora::platform::MatchTextPattern(t.source, text, &values)) continue;
        if (velmora::platform::FillTextPattern(t.source, values) != text) std::abort();
        if (!velmora::platform::MatchTextPattern(t.translation,
                                                 velmora::platform::FillTextPattern(t.translation, values), nullptr))
            std::abort();
    }
    (void)velmora::upgrade::UpgradeTextIn(velmora::platform::UiLanguage::English, text);
    return 0;
}
