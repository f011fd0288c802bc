#include "util/RStringTable.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

namespace vantor {
namespace {

// Each subsystem's entries; the files hold brace-initialised RStringEntry rows.
const RStringEntry kEntries[] = {
#include "util/strings/accounts.inc"
#include "util/strings/admin.inc"
#include "util/strings/config.inc"
#include "util/strings/fs.inc"
#include "util/strings/ftp.inc"
#include "util/strings/gui.inc"
#include "util/strings/log.inc"
#include "util/strings/net.inc"
#include "util/strings/platform.inc"
#include "util/strings/util.inc"
};

const std::vector<RStringEntry>& Sorted() {
  static const std::vector<RStringEntry> sorted = [] {
    std::vector<RStringEntry> v(std::begin(kEntries), std::end(kEntries));
    std::stable_sort(v.begin(), v.end(),
                     [](const RStringEntry& a, const RStringEntry& b) { return a.id < b.id; });
    return v;
  }();
  return sorted;
}

std::atomic<RLanguage> gLanguage{RLanguage::English};

bool StartsWith(const char* s, const char* prefix) {
  return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

RLanguage LanguageFromLocale(const char* lcAll, const char* lcMessages, const char* lang) {
  const char* chosen = nullptr;
  for (const char* v : {lcAll, lcMessages, lang}) {
    if (v != nullptr && *v != '\0') {
      chosen = v;
      break;
    }
  }
  if (chosen == nullptr || !StartsWith(chosen, "zh")) return RLanguage::English;
  if (StartsWith(chosen, "zh_TW") || StartsWith(chosen, "zh_HK")) {
    return RLanguage::TraditionalChinese;
  }
  return RLanguage::SimplifiedChinese;
}

void SetLanguage(RLanguage lang) {
  gLanguage.store(lang, std::memory_order_relaxed);
}
RLanguage CurrentLanguage() {
  return gLanguage.load(std::memory_order_relaxed);
}

const char* LoadStr(uint32_t id) {
  return LoadStr(id, CurrentLanguage());
}

const char* LoadStr(uint32_t id, RLanguage lang) {
  const auto& v = Sorted();
  auto it = std::lower_bound(v.begin(), v.end(), id,
                             [](const RStringEntry& e, uint32_t n) { return e.id < n; });
  if (it == v.end() || it->id != id) return "";
  const char* t = nullptr;
  if (lang == RLanguage::TraditionalChinese) t = it->zhTW;
  if (lang == RLanguage::SimplifiedChinese) t = it->zhCN;
  return t != nullptr ? t : it->en;
}

std::span<const RStringEntry> AllStrings() {
  return Sorted();
}

}  // namespace vantor
