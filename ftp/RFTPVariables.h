// The "%" variables of message lines (user, counters, ratio, quota, times,
// free space). Loop thread only.
#pragma once

#include <cstddef>
#include <string>

namespace vantor {

class RFTPSComInterp;

// Replaces the "%" variables of `text` in place. The result is cut to
// `maxLength` characters (the caller's buffer).
void ExpandVariables(RFTPSComInterp& s, std::string& text, size_t maxLength = 511);

}  // namespace vantor
