#pragma once

#include <string_view>

#include <QCoreApplication>
#include <QString>

#include "platform/text_language.h"

// The windows' language. Every text a window shows is written in Chinese and passes through Qt's
// translation system: tr() in classes, and UiText for the texts kept in tables (marked with
// QT_TRANSLATE_NOOP("velmora", ...) so that lupdate finds them). Under Chinese nothing is
// translated, so the texts and accessible names stay exactly as written.
//
// Texts made by the Qt-free core (messages, upgrade states) arrive formatted, numbers and names
// filled in; CoreText finds the pattern they were made from in a catalog and translates that.
// Thread-bound: install and remove on the user-interface thread; UiText and CoreText may be called
// from any thread once installed (QCoreApplication::translate is thread-safe).
namespace velmora::ui {

// The translation context of table texts and core texts.
inline constexpr char kTextContext[] = "velmora";

// Installs the translators of `language` into the application: for English, Velmora's English
// texts (embedded in the program); for Chinese, Qt's own Chinese texts (file choosers, standard
// buttons) from Qt's translation folder. Replaces what an earlier call installed. False, with the
// reason in `problem` (may be null), when a translation could not be loaded; the windows then
// show their texts as written.
bool InstallUiTranslations(platform::UiLanguage language, QString* problem = nullptr);
// Removes the translators InstallUiTranslations installed (the Chinese texts come back).
void RemoveUiTranslations();
// The language installed last (Chinese before any call).
platform::UiLanguage CurrentUiLanguage();

// A table text in the windows' language.
QString UiText(const char* source);
inline QString UiText(const QString& source) { return UiText(source.toUtf8().constData()); }

// A text formatted by the core (UTF-8) in the windows' language. Each line is looked up whole and
// then against the catalog of patterns, where %d stands for a whole number and %s for any text;
// a line that matches a translated pattern is rebuilt from the translation with the same values
// in the same order. A line that matches nothing is shown as it came.
QString CoreText(std::string_view text);

}  // namespace velmora::ui
