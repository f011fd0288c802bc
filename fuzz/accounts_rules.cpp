// fuzz-libs: accounts config platform util log
// Fuzzes the directory access rule evaluator, the wildcard matcher and the
// IP pattern matcher with arbitrary rules, paths, patterns and addresses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/RAccessRules.h"
#include "accounts/RIPRules.h"
#include "accounts/RWildcard.h"

namespace {

// Answers "directory" for paths of even length, so both branches of the
// listing rules are reached without touching the file system.
class ParityProbe final : public vantor::RPathProbe {
 public:
  bool IsDirectory(std::string_view p) const override { return p.size() % 2 == 0; }
  int64_t FileSize(std::string_view) const override { return -1; }
};

std::vector<std::string_view> Split(std::string_view s, size_t parts) {
  std::vector<std::string_view> out;
  while (out.size() + 1 < parts) {
    size_t z = s.find('\0');
    if (z == std::string_view::npos) break;
    out.push_back(s.substr(0, z));
    s.remove_prefix(z + 1);
  }
  out.push_back(s);
  while (out.size() < parts) out.emplace_back();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const uint32_t kCodes[] = {7, 8, 9, 10, 12, 13, 14, 20, 21, 11, 18};
  uint32_t code = kCodes[data[0] % (sizeof kCodes / sizeof kCodes[0])];
  std::string_view in(reinterpret_cast<const char*>(data + 1), size - 1);
  auto parts = Split(in, 5);
  ParityProbe probe;
  auto v1 = vantor::EvaluateAccessRule(parts[0], code, parts[1], &probe);
  auto v2 = vantor::EvaluateAccessRule(parts[0], code, parts[1], &probe);
  if (v1 != v2) abort();  // must not depend on anything but its input
  if (!vantor::IsFileAccessCode(code) && v1 != vantor::RRuleVerdict::NotApplicable) abort();
  if (parts[0].find(',') == std::string_view::npos && v1 != vantor::RRuleVerdict::NotApplicable)
    abort();  // a rule without a comma never applies
  bool w = vantor::WildcardMatch(parts[1], parts[2]);
  if (!vantor::WildcardMatch(parts[1], "*")) abort();
  if (!vantor::HasWildcard(parts[2]) && w && parts[1].size() != parts[2].size()) abort();
  vantor::RIPMatcher ip;
  (void)ip.Matches(parts[2], parts[3], parts[4]);
  if (ip.Matches("", parts[3], parts[4])) abort();  // empty never matches
  return 0;
}
