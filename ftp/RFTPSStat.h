// STAT: the session's counters, ratio, quota and running transfer. Loop
// thread only.
#pragma once

#include <string_view>

namespace vantor {

class RFTPSComInterp;

void HandleStat(RFTPSComInterp& s, std::string_view line);

}  // namespace vantor
