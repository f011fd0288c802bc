// Uses a language for its lifetime; the language in use before comes back
// at its end, so a test that looks at a translation leaves no other test in
// it, whichever of its expectations fail.
#pragma once

#include "util/RStringTable.h"

namespace vantor::test {

class LanguageScope {
 public:
  explicit LanguageScope(RLanguage lang) : previous_(CurrentLanguage()) { SetLanguage(lang); }
  ~LanguageScope() { SetLanguage(previous_); }
  LanguageScope(const LanguageScope&) = delete;
  LanguageScope& operator=(const LanguageScope&) = delete;

 private:
  RLanguage previous_;
};

}  // namespace vantor::test
