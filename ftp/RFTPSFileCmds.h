// File and directory commands: CWD, CDUP, PWD, MKD, RMD, DELE, RNFR, RNTO,
// SIZE, MDTM, ALLO. Loop thread only.
#pragma once

#include <string_view>

namespace vantor {

class RFTPSComInterp;

void HandleCwd(RFTPSComInterp& s, std::string_view line);
void HandleCdup(RFTPSComInterp& s, std::string_view line);
void HandlePwd(RFTPSComInterp& s, std::string_view line);
void HandleMkd(RFTPSComInterp& s, std::string_view line);
void HandleRmd(RFTPSComInterp& s, std::string_view line);
void HandleDele(RFTPSComInterp& s, std::string_view line);
void HandleRnfr(RFTPSComInterp& s, std::string_view line);
void HandleRnto(RFTPSComInterp& s, std::string_view line);
void HandleSize(RFTPSComInterp& s, std::string_view line);
void HandleMdtm(RFTPSComInterp& s, std::string_view line);
void HandleAllo(RFTPSComInterp& s, std::string_view line);

// The second halves, run when a hook releases a held command; the path the
// first half checked is in the transfer extension (pendingPath).
void ResumeDele(RFTPSComInterp& s);
void ResumeRmd(RFTPSComInterp& s);
void ResumeMkd(RFTPSComInterp& s);
void ResumeCwd(RFTPSComInterp& s);
void ResumeRnto(RFTPSComInterp& s);

}  // namespace vantor
