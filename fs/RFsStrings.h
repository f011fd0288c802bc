// Names of the string table entries of the file services
// (util/strings/fs.inc).
// Call sites use these names so a reader sees which reply or log line goes
// out; the numbers stay fixed because they are the entries' stable ids.
#pragma once

#include <cstdint>

namespace vantor {

enum : uint32_t {
  kLogNoChangeNotifications = 24000,
  kReplyListCut = 24010,
  kReplyWildcardName = 24011,
  kReplyRuleInside = 24012,
};

}  // namespace vantor
