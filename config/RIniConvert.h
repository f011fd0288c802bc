// Conversion of configuration files written by older versions, run once at
// start-up after the file was found or created.
//
// The stored `Version` a.b.c.d (as a*1000000 + b*10000 + c*100 + d) selects
// the steps: every step whose threshold the number is below runs, oldest
// last. A file without `Version` is dated by the oldest obsolete form it
// holds (AnonRelPaths/Authorization, the older [IP-ACCESS] keys, [USER=ALL]
// or the old time-out keys, OneLoginPerIP, sign-on lines); with none of them
// it is today's format and only gets the key. The [IP-ACCESS] rewrite runs
// only when the older keys are there. A step that cannot finish stops the
// conversion without rewriting `Version`, so the next start tries again.
//
// The notice and one line per change go out as system messages, so they
// reach the log file as well as the screen.
#pragma once

#include <cstdint>

#include "config/RIniFile.h"

namespace vantor {

// Thresholds of the steps.
enum : int64_t {
  kConvSignOnFiles = 2040205,    // sign-on/off lines into text files
  kConvOneLoginPerIP = 2040202,  // OneLoginPerIP -> MaxUsersLoginPerIP
  kConvUserAll = 2030207,        // rewrite: [USER=ALL] -> default user; time-outs
  kConvFileLogFlags = 2020106,   // file logging switches from the screen ones
  kConvIpAccess = 2020000,       // LowerCaseFileDir, [IP-ACCESS] rule format
  kConvAccessLP = 2010003,       // rewrite: "LP" on old Access lines; anonymous keys
};

struct RConvertResult {
  int64_t fromVersion = 0;  // the stored number
  bool converted = false;   // steps ran (not just the Version rewrite)
  bool complete = true;     // false: a step failed, Version left alone
};

// Converts the file behind `ini` (its directory receives "tmpnew.ini",
// "Vantor.bak", "VTSIGNON.TXT" and "VTSIGNOF.TXT"). Logs "Converting
// VANTOR.INI file to new format..." when steps run.
RConvertResult ConvertIniFile(RIniFile& ini);

// The older [IP-ACCESS] form (DenyRulesFirst, BounceN, AllowN) rewritten as
// IPn rules "D,pattern" / "A,pattern". False when the file could not be
// written.
[[nodiscard]] bool ConvertIpAccessSection(RIniFile& ini);

}  // namespace vantor
