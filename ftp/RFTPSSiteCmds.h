// SITE and its sub-commands: PSWD, EXEC, SET TRANSFERPROGRESS, INDEX, ZONE.
// Loop thread only.
#pragma once

#include <string_view>

namespace vantor {

class RFTPSComInterp;

void HandleSite(RFTPSComInterp& s, std::string_view line);
// The second half of a SITE a hook held; its argument is in SiteArgument.
void RunSite(RFTPSComInterp& s);

}  // namespace vantor
