// Login and session commands: USER, PASS, REIN, QUIT, HELP and the fixed
// replies (NOOP, SYST, OPEN, ACCT, SMNT). Loop thread only.
#pragma once

#include <string_view>

namespace vantor {

class RFTPSComInterp;

void HandleUser(RFTPSComInterp& s, std::string_view line);
void HandlePass(RFTPSComInterp& s, std::string_view line);
void HandleRein(RFTPSComInterp& s, std::string_view line);
void HandleQuit(RFTPSComInterp& s, std::string_view line);
void HandleHelp(RFTPSComInterp& s, std::string_view line);
void HandleNoop(RFTPSComInterp& s, std::string_view line);
void HandleSyst(RFTPSComInterp& s, std::string_view line);
void HandleOpen(RFTPSComInterp& s, std::string_view line);
// ACCT and SMNT: "202 Command not implemented, superfluous at this site."
void HandleSuperfluous(RFTPSComInterp& s, std::string_view line);

}  // namespace vantor
