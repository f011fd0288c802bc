// The functions the command table and the session call in the other files
// of ftp/: one handler per verb, the second halves of commands a hook held,
// and the data-connection entry points of the session. Internal to ftp/;
// everything here runs on the loop thread.
#pragma once

#include <memory>
#include <string_view>

namespace vantor {

class RFTPSComInterp;
class RFTPSessionHook;
class RWinSocket;

// --- login and session (RFTPLogin.cpp) ----------------------------------------
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

// --- FEAT, OPTS, CLNT, HOST (RFTPSFeat.cpp) -------------------------------------
void HandleFeat(RFTPSComInterp& s, std::string_view line);
void HandleOpts(RFTPSComInterp& s, std::string_view line);
void HandleClnt(RFTPSComInterp& s, std::string_view line);
void HandleHost(RFTPSComInterp& s, std::string_view line);

// --- TLS (RFTPSTls.cpp) -------------------------------------------------------------
void HandleAuth(RFTPSComInterp& s, std::string_view line);
void HandlePbsz(RFTPSComInterp& s, std::string_view line);
void HandleProt(RFTPSComInterp& s, std::string_view line);
void HandleCcc(RFTPSComInterp& s, std::string_view line);

// --- STAT (RFTPSStat.cpp), SITE (RFTPSSiteCmds.cpp) ---------------------------
void HandleStat(RFTPSComInterp& s, std::string_view line);
void HandleSite(RFTPSComInterp& s, std::string_view line);

// --- data connections (RFTPSData.cpp) -------------------------------------------
void HandlePasv(RFTPSComInterp& s, std::string_view line);
void HandlePort(RFTPSComInterp& s, std::string_view line);
void HandleEprt(RFTPSComInterp& s, std::string_view line);
void HandleEpsv(RFTPSComInterp& s, std::string_view line);
void HandleAbor(RFTPSComInterp& s, std::string_view line);

// --- transfers (RFTPSTransfer.cpp) ------------------------------------------------
void HandleRetr(RFTPSComInterp& s, std::string_view line);
void HandleStor(RFTPSComInterp& s, std::string_view line);
void HandleAppe(RFTPSComInterp& s, std::string_view line);
void HandleStou(RFTPSComInterp& s, std::string_view line);
void HandleRest(RFTPSComInterp& s, std::string_view line);
void HandleType(RFTPSComInterp& s, std::string_view line);
void HandleMode(RFTPSComInterp& s, std::string_view line);
void HandleStru(RFTPSComInterp& s, std::string_view line);

// --- listings (RFTPSList.cpp, RFTPSMlsx.cpp) --------------------------------------
void HandleListVerb(RFTPSComInterp& s, std::string_view line);
void HandleNlstVerb(RFTPSComInterp& s, std::string_view line);
void HandleMlsd(RFTPSComInterp& s, std::string_view line);
void HandleMlst(RFTPSComInterp& s, std::string_view line);
void HandleMfmt(RFTPSComInterp& s, std::string_view line);

// --- file and directory commands (RFTPSFileCmds.cpp) -------------------------------
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

// --- second halves, run when a hook releases a held command -----------------------
// The path or argument the first half checked is in the session's transfer
// extension (pendingPath) or SiteArgument.
void RetrResume(RFTPSComInterp& s);   // RFTPSTransfer.cpp
void UploadStart(RFTPSComInterp& s);  // STOR, APPE, STOU; RFTPSTransfer.cpp
void RunSite(RFTPSComInterp& s);      // RFTPSSiteCmds.cpp
void ResumeDele(RFTPSComInterp& s);   // RFTPSFileCmds.cpp, as the next four
void ResumeRmd(RFTPSComInterp& s);
void ResumeMkd(RFTPSComInterp& s);
void ResumeCwd(RFTPSComInterp& s);
void ResumeRnto(RFTPSComInterp& s);

// --- the session's data side (RFTPSData.cpp) ----------------------------------------
// An event of the session's data socket or passive listener.
void OnDataEvent(RFTPSComInterp& s, RWinSocket& socket, int operation, int status);
// Aborts the active transfer with its own reply and log line; `reason` is
// appended to the log line (", client killed by server").
void OnSessionAbort(RFTPSComInterp& s, std::string_view reason);
// REIN: type ASCII, passive off, listener closed, data address and port reset.
void OnReinitialize(RFTPSComInterp& s);

// --- hooks (RFTPSHooks.cpp) ---------------------------------------------------------
// The session's hook record, or null while no event-hook library is loaded.
std::unique_ptr<RFTPSessionHook> MakeHookRecord(RFTPSComInterp& s);

}  // namespace vantor
