// Feeds bytes to the reader of keep's rules files: accepted rules have a known kind, a non-empty
// match for serial and model rules, no selector twice and a profile file; a refusal leaves the
// rules untouched and says why.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fleet/keep_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using velmora::fleet::KeepRule;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    velmora::fleet::KeepRules rules;
    rules.rules.resize(1);
    rules.rules[0].selector = "untouched";
    std::string error;
    const int r = velmora::fleet::ParseKeepRules(text, "/base/", rules, &error);
    if (r != 0) {
        if (r != velmora::fleet::kKeepRulesRefused || error.empty() || rules.rules.size() != 1 ||
            rules.rules[0].selector != "untouched")
            __builtin_trap();
        return 0;
    }
    if (rules.rules.empty()) __builtin_trap();
    for (size_t i = 0; i < rules.rules.size(); ++i) {
        const KeepRule& rule = rules.rules[i];
        if (rule.file.empty() || rule.path.empty()) __builtin_trap();
        if (rule.kind != KeepRule::Kind::Any && rule.match.empty()) __builtin_trap();
        for (size_t k = 0; k < i; ++k)
            if (rules.rules[k].selector == rule.selector) __builtin_trap();
        // Whatever a camera reports, the rule found is one of the rules.
        const KeepRule* found = rules.Find(rule.match, rule.match);
        if (found == nullptr || found < rules.rules.data() || found >= rules.rules.data() + rules.rules.size())
            __builtin_trap();
    }
    return 0;
}
