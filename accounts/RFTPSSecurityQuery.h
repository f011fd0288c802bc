// Shared by the account store's source files (RFTPSSecurity.cpp and the
// RFTPSSecurity*.cpp parts beside it), and by nothing else: one query's
// context with its snapshots of the account sections, and the readers of
// stored values the parts have in common. Loop thread only, like the store.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "accounts/AccessQuery.h"
#include "accounts/RFTPSSecurity.h"

namespace vantor {
namespace securitydetail {

using Entries = std::vector<std::pair<std::string, std::string>>;

constexpr size_t kValueMax = 511;  // the store's value buffer holds 511 characters

// "TRUE", "YES", "1" or "ON", any case.
bool IsTrueWord(std::string_view v);
// `s` cut to at most `max` characters.
std::string Cut(std::string_view s, size_t max);
// The value of `key` (any case) in `e`, or nullptr.
const std::string* FindEntry(const Entries& e, std::string_view key);
// The values of prefix1, prefix2, ... up to the first absent or empty one.
std::vector<std::string_view> NumberedValues(const Entries& e, std::string_view prefix);
// Answers `q` with `text` in its aux field.
void SetFlagText(AccessQuery& q, std::string_view text);

}  // namespace securitydetail

// One query: the effective user name and the snapshots of its three
// sections, taken once per query however many keys it needs.
struct RFTPSSecurity::Ctx {
  explicit Ctx(RFTPSSecurity& s) : store(s) {}

  RFTPSSecurity& store;
  std::string user;
  bool anonymous = false;
  uint32_t address = 0;
  uint32_t session = 0;
  bool suffixed = false;

  std::shared_ptr<const Entries> userE, groupE, defaultE;
  std::string group;
  bool haveGroup = false;

  std::string UserSection() const { return "USER=" + user; }
  const Entries& UserEntries() {
    if (!userE) userE = store.CachedSection(UserSection());
    return *userE;
  }
  // The group named by the user's own section (none for anonymous).
  const Entries& GroupEntries() {
    if (!haveGroup) {
      haveGroup = true;
      if (!anonymous) {
        const std::string* g = securitydetail::FindEntry(UserEntries(), "Group");
        if (g != nullptr && !g->empty()) {
          group = securitydetail::Cut(*g, 99);
          groupE = store.CachedSection("GROUP=" + group);
        }
      }
    }
    static const Entries kNone;
    return groupE ? *groupE : kNone;
  }
  const Entries& DefaultEntries() {
    if (!defaultE && !anonymous) defaultE = store.CachedSection(std::string(DEFAULT_USER_SECTION));
    static const Entries kNone;
    return defaultE ? *defaultE : kNone;
  }
  void Invalidate() {
    userE.reset();
    groupE.reset();
    defaultE.reset();
    haveGroup = false;
  }

  // The sections a key is inherited through, nearest first: user, group,
  // default user; the anonymous account stands alone (null entries).
  std::array<const Entries*, 3> Chain() {
    if (anonymous) return {&UserEntries(), nullptr, nullptr};
    return {&UserEntries(), &GroupEntries(), &DefaultEntries()};
  }

  // Inherited lookup: user, then group, then default user; the anonymous
  // account alone. With `emptyCounts` a key present with an empty value is
  // found (the "$DEF_PASS$" variant used for passwords).
  bool Lookup(std::string_view key, std::string& value, bool emptyCounts = false) {
    for (const Entries* e : Chain()) {
      if (e == nullptr) continue;
      const std::string* v = securitydetail::FindEntry(*e, key);
      if (v != nullptr && (emptyCounts || !v->empty())) {
        value = securitydetail::Cut(*v, securitydetail::kValueMax);
        return true;
      }
    }
    return false;
  }
};

}  // namespace vantor
