// MLSD, MLST and MFMT: the machine listings and setting a modification
// time. Loop thread only.
#pragma once

#include <string_view>

namespace vantor {

class RFTPSComInterp;

void HandleMlsd(RFTPSComInterp& s, std::string_view line);
void HandleMlst(RFTPSComInterp& s, std::string_view line);
void HandleMfmt(RFTPSComInterp& s, std::string_view line);

}  // namespace vantor
