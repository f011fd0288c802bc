// The command table and the session's dispatch over it.
#include "ftp/RFTPCommands.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "ftp/RFTPLine.h"
#include "ftp/RFTPLogin.h"
#include "ftp/RFTPSComInterp.h"
#include "ftp/RFTPSData.h"
#include "ftp/RFTPSFeat.h"
#include "ftp/RFTPSFileCmds.h"
#include "ftp/RFTPSList.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPSMlsx.h"
#include "ftp/RFTPSSiteArgs.h"
#include "ftp/RFTPSSiteCmds.h"
#include "ftp/RFTPSStat.h"
#include "ftp/RFTPSTls.h"
#include "ftp/RFTPSTransfer.h"
#include "ftp/RFTPStrings.h"
#include "util/RLog.h"
#include "util/RText.h"

namespace vantor {
namespace {

constexpr size_t kLoggedLineMax = 159;

void RunWithoutX(RFTPSComInterp& s, std::string_view line);

constexpr uint8_t kLoggedIn = CMD_LoggedIn;
constexpr uint8_t kLoggedInAfterRest = CMD_LoggedIn | CMD_AfterRest;

// Dispatch order: the verbs taken in any state, then the logged-in verbs.
// Whole verbs are compared and none is a prefix of another, so the order
// within each group decides nothing.
constexpr RFTPCommandStr kCommands[] = {
    {"NOOP", &HandleNoop, CMD_AnyState},
    {"STAT", &HandleStat, CMD_AnyState},
    {"SYST", &HandleSyst, CMD_AnyState},
    {"REIN", &HandleRein, CMD_AnyState},
    {"QUIT", &HandleQuit, CMD_AnyState},
    {"HELP", &HandleHelp, CMD_AnyState},
    {"USER", &HandleUser, CMD_AnyState},
    {"PASS", &HandlePass, CMD_AnyState},
    {"OPEN", &HandleOpen, CMD_AnyState},
    {"FEAT", &HandleFeat, CMD_AnyState},
    {"OPTS", &HandleOpts, CMD_AnyState},
    {"CLNT", &HandleClnt, CMD_AnyState},
    {"HOST", &HandleHost, CMD_AnyState},
    {"AUTH", &HandleAuth, CMD_AnyState},
    {"PBSZ", &HandlePbsz, CMD_AnyState},
    {"PROT", &HandleProt, CMD_AnyState},
    {"CCC", &HandleCcc, CMD_AnyState},

    {"ACCT", &HandleSuperfluous, kLoggedIn},
    {"CDUP", &HandleCdup, kLoggedIn},
    {"XCUP", &HandleCdup, kLoggedIn},
    {"SMNT", &HandleSuperfluous, kLoggedIn},
    {"PASV", &HandlePasv, kLoggedInAfterRest},
    {"ABOR", &HandleAbor, kLoggedIn},
    {"PWD", &HandlePwd, kLoggedIn},
    {"XPWD", &HandlePwd, kLoggedIn},
    {"MDTM", &HandleMdtm, kLoggedIn},
    {"SITE", &HandleSite, kLoggedIn},
    {"DELE", &HandleDele, kLoggedIn},
    {"REST", &HandleRest, kLoggedIn},
    {"SIZE", &HandleSize, kLoggedIn},
    {"RNTO", &HandleRnto, kLoggedIn | CMD_AfterRnfr},
    {"RNFR", &HandleRnfr, kLoggedIn},
    {"ALLO", &HandleAllo, kLoggedIn},
    {"STOR", &HandleStor, kLoggedInAfterRest},
    {"APPE", &HandleAppe, kLoggedIn},
    {"STOU", &HandleStou, kLoggedIn},
    {"RETR", &HandleRetr, kLoggedInAfterRest},
    {"LIST", &HandleListVerb, kLoggedIn},
    {"NLST", &HandleNlstVerb, kLoggedIn},
    {"MODE", &HandleMode, kLoggedIn},
    {"STRU", &HandleStru, kLoggedIn},
    {"PORT", &HandlePort, kLoggedInAfterRest},
    {"EPRT", &HandleEprt, kLoggedIn},
    {"EPSV", &HandleEpsv, kLoggedIn},
    {"TYPE", &HandleType, kLoggedIn},
    {"CWD", &HandleCwd, kLoggedIn},
    {"RMD", &HandleRmd, kLoggedIn},
    {"MKD", &HandleMkd, kLoggedIn},
    {"XCWD", &RunWithoutX, kLoggedIn},
    {"XRMD", &RunWithoutX, kLoggedIn},
    {"XMKD", &RunWithoutX, kLoggedIn},
    {"MLSD", &HandleMlsd, kLoggedIn},
    {"MLST", &HandleMlst, kLoggedIn},
    {"MFMT", &HandleMfmt, kLoggedIn},
};

// The second halves of held commands, by RDeferredCommand code.
struct RResumeStr {
  int32_t command;
  RFTPResumeFn resume;
};
constexpr RResumeStr kResumes[] = {
    {DC_Retr, &RetrResume},  {DC_Stor, &UploadStart}, {DC_Appe, &UploadStart},
    {DC_Stou, &UploadStart}, {DC_Rnto, &ResumeRnto},  {DC_Dele, &ResumeDele},
    {DC_Rmd, &ResumeRmd},    {DC_Mkd, &ResumeMkd},    {DC_Cwd, &ResumeCwd},
    {DC_Site, &RunSite},
};

// The X forms of CWD, RMD and MKD run the plain verb's handler on the line
// from its second character, so the handler sees the three-letter verb.
void RunWithoutX(RFTPSComInterp& s, std::string_view line) {
  const RFTPCommandStr* plain = FindVerb(kCommands, line.substr(1, 3));
  if (plain == nullptr) {
    s.ReplyStr(kReplyCommandNotUnderstood, UnknownVerbWord(line));
    return;
  }
  plain->handler(s, line.substr(1));
}

// Runs the handler of the line's verb if `states` accepts it; false when no
// verb of `states` names the line. A data verb of an account that requires
// TLS is answered with the refusal instead while its data channel is clear.
bool RunAccepted(RFTPSComInterp& s, uint8_t states, std::string_view line) {
  const RFTPCommandStr* c = FindCommand(kCommands, states, line);
  if (c == nullptr) return false;
  if (!s.RefusedClearData(line)) c->handler(s, line);
  return true;
}

}  // namespace

std::span<const RFTPCommandStr> CommandTable() {
  return kCommands;
}

const RFTPCommandStr* FindCommand(std::span<const RFTPCommandStr> table, uint8_t states,
                                  std::string_view line) {
  for (const RFTPCommandStr& c : table) {
    if ((c.states & states) != 0 && VerbIs(line, c.verb)) return &c;
  }
  return nullptr;
}

const RFTPCommandStr* FindVerb(std::span<const RFTPCommandStr> table, std::string_view verb) {
  for (const RFTPCommandStr& c : table) {
    if (EqualNoCaseAscii(c.verb, verb)) return &c;
  }
  return nullptr;
}

bool AsksNoStore(std::string_view line) {
  constexpr RFTPHandler kStoreFree[] = {&HandleNoop, &HandleSyst, &HandleType,
                                        &HandleMode, &HandleStru, &HandlePwd};
  const RFTPCommandStr* c = FindCommand(kCommands, CMD_AnyState | CMD_LoggedIn, TrimBlanks(line));
  return c != nullptr && std::find(std::begin(kStoreFree), std::end(kStoreFree), c->handler) !=
                             std::end(kStoreFree);
}

RFTPResumeFn ResumeOf(int32_t deferredCommand) {
  for (const RResumeStr& r : kResumes) {
    if (r.command == deferredCommand) return r.resume;
  }
  return nullptr;
}

// --- the session's dispatch ----------------------------------------------------------

std::string ShownCommandLine(std::string_view line) {
  std::string copy(line.substr(0, kLoggedLineMax));
  // Anything after PASS or ACCT may be a password, after SITE PSWD two:
  // never shown, whoever is logged in.
  if (VerbIs(copy, "PASS") || VerbIs(copy, "ACCT")) {
    copy = copy.substr(0, 4);
    if (line.size() > 4) copy += LoadStr(kTextHiddenPassword);
  } else if (const size_t keep = SitePswdLogPrefix(copy); keep != std::string::npos) {
    copy = copy.substr(0, keep) + LoadStr(kTextHiddenPassword);
  }
  return copy;
}

void RFTPSComInterp::Dispatch(std::string_view raw) {
  const std::string_view line = TrimBlanks(raw);
  if (line.empty()) return;
  // Until the command's final reply goes into the queue (Reply).
  currentCommand_ = ShownCommandLine(line);
  if (LinesWanted(LOG_COMMANDS)) {
    std::string copy(line.substr(0, kLoggedLineMax));
    if (!Login.anonymous && VerbIs(copy, "PASS"))
      copy = copy.substr(0, 4) + LoadStr(kTextHiddenPassword);
    // SITE PSWD carries the old and the new password: masked like PASS.
    if (const size_t keep = SitePswdLogPrefix(copy); keep != std::string::npos) {
      copy = copy.substr(0, keep) + LoadStr(kTextHiddenPassword);
    }
    LogSession(LOG_COMMANDS, copy);
  }
  if (closing_) {
    ReplyStr(kReplyServiceClosing);
    return;
  }
  if (commandState_ == CS_RestartPending) {
    EnterLoggedIn();
    if (RunAccepted(*this, CMD_AfterRest, line)) return;
    Transfer.restartOffset = 0;
  }
  if (RunAccepted(*this, CMD_AnyState, line)) return;
  if (commandState_ == CS_RenamePending) {
    if (RunAccepted(*this, CMD_AfterRnfr, line)) return;
    EnterLoggedIn();
  }
  if (commandState_ != CS_LoggedIn) {
    ReplyStr(kReplyNotLoggedIn);
    return;
  }
  DispatchLoggedIn(line);
}

bool RFTPSComInterp::DispatchLoggedIn(std::string_view line) {
  const RFTPCommandStr* c = FindCommand(kCommands, CMD_LoggedIn, line);
  if (c == nullptr) {
    ReplyStr(kReplyCommandNotUnderstood, UnknownVerbWord(line));
    return false;
  }
  if (RefusedClearData(line)) return false;
  c->handler(*this, line);
  if (manager_.UserInfoOpen()) manager_.Notify(NC_SessionChanged, Number_);
  return true;
}

}  // namespace vantor
