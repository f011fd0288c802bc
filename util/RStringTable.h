// The numbered string table: every reply, log and GUI text of the program.
//
// Entries are kept in US English, Traditional Chinese and Simplified Chinese.
// FTP reply texts are English in every language; their entries carry no
// translation (nullptr) and fall back to English. Each subsystem keeps its
// entries in util/strings/<subsystem>.inc so the table grows without one file
// that every change touches.
//
// Thread: the table is immutable; the language is set once at start-up.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "util/RFormat.h"

namespace vantor {

struct RStringEntry {
  uint32_t id;
  const char* en;
  const char* zhTW;  // nullptr: same as English (FTP replies)
  const char* zhCN;  // nullptr: same as English
};

enum class RLanguage { English, TraditionalChinese, SimplifiedChinese };

// Picks the language the way the C library picks a locale: the first of
// LC_ALL, LC_MESSAGES, LANG that is set and not empty decides. zh_TW and
// zh_HK are Traditional, any other zh is Simplified, the rest English.
RLanguage LanguageFromLocale(const char* lcAll, const char* lcMessages, const char* lang);

void SetLanguage(RLanguage lang);
RLanguage CurrentLanguage();

// The text of entry `id` in `lang` (default: the current language), falling
// back to English. An unknown number yields "".
const char* LoadStr(uint32_t id);
const char* LoadStr(uint32_t id, RLanguage lang);

// All entries, sorted by number.
std::span<const RStringEntry> AllStrings();

template <typename... A>
std::string FormatStr(uint32_t id, const A&... args) {
  return RFormat(LoadStr(id), args...);
}

}  // namespace vantor
