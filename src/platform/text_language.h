#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

// The language texts are shown in, and translating texts that were formatted before they reach
// the one who shows them. Texts are written in Chinese; the windows (through Qt) and the
// command-line tool's upgrade lines (through small tables such as upgrade_texts.h) can show them
// in English.
//
// A pattern is a printf-like text: %d stands for a whole number (an optional minus and digits),
// %s for any text (as short as the rest allows), %% for a percent sign; every other byte stands
// for itself. "升级[%s]: %d%%" matches "升级[uimage]: 33%" with the values "uimage" and "33".
// Pure functions, thread-safe.
namespace velmora::platform {

enum class UiLanguage { Chinese, English };

// `lang` ("en" / "zh") when given, otherwise the locale's language from the first non-empty of
// `lcAll`, `lcMessages` and `langEnv` (LC_ALL, LC_MESSAGES, LANG; null when unset). Chinese
// ("zh", "zh_CN.UTF-8", ...), the C or POSIX locale and no locale at all give Chinese; any other
// language gives English.
UiLanguage ChooseUiLanguage(std::string_view lang, const char* lcAll, const char* lcMessages, const char* langEnv);

// True when `text` is an instance of `pattern`; `values` (may be null) receives the texts that
// stood for %d and %s, in order.
bool MatchTextPattern(std::string_view pattern, std::string_view text, std::vector<std::string>* values);

// `pattern` with its %d and %s replaced by `values` in order (a placeholder without a value stays)
// and %% by %.
std::string FillTextPattern(std::string_view pattern, const std::vector<std::string>& values);

struct TextTranslation {
    const char* source;       // a Chinese text or pattern
    const char* translation;  // the same in the other language, placeholders in the same order
};

// `text` translated line by line with `table`: a line equal to a source, or an instance of a
// source pattern, is rebuilt from its translation; any other line is kept as it is.
std::string TranslateLines(std::string_view text, std::span<const TextTranslation> table);

}  // namespace velmora::platform
