#include "ftp/RFTPCommands.h"

#include <algorithm>

#include "ftp/RFTPLine.h"
#include "ftp/RFTPSComInterp.h"

namespace vantor {
namespace {

// The X forms of CWD, RMD and MKD run the plain verb's handler on the line
// from its second character, so the handler sees the three-letter verb.
void RunWithoutX(RFTPSComInterp& s, std::string_view line) {
  const RFTPCommandStr* plain = RFTPCommandTable::Instance().FindVerb(line.substr(1, 3));
  if (plain != nullptr && plain->handler != nullptr) {
    plain->handler(s, line.substr(1));
    return;
  }
  s.ReplyStr(25009, UnknownVerbWord(line));
}

constexpr RFTPCommandStr kTable[] = {
    {"NOOP", RCmdGroup::AnyState, 0, nullptr},
    {"STAT", RCmdGroup::AnyState, 0, nullptr},
    {"SYST", RCmdGroup::AnyState, 0, nullptr},
    {"REIN", RCmdGroup::AnyState, 0, nullptr},
    {"QUIT", RCmdGroup::AnyState, 0, nullptr},
    {"HELP", RCmdGroup::AnyState, 0, nullptr},
    {"USER", RCmdGroup::AnyState, 0, nullptr},
    {"PASS", RCmdGroup::AnyState, 0, nullptr},
    {"OPEN", RCmdGroup::AnyState, 0, nullptr},
    {"FEAT", RCmdGroup::AnyState, 0, nullptr},
    {"OPTS", RCmdGroup::AnyState, 0, nullptr},
    {"CLNT", RCmdGroup::AnyState, 0, nullptr},
    {"HOST", RCmdGroup::AnyState, 0, nullptr},
    {"ACCT", RCmdGroup::LoggedIn, 1, nullptr},
    {"CDUP", RCmdGroup::LoggedIn, 2, nullptr},
    {"XCUP", RCmdGroup::LoggedIn, 2, nullptr},
    {"SMNT", RCmdGroup::LoggedIn, 3, nullptr},
    {"PASV", RCmdGroup::LoggedIn, 4, nullptr},
    {"ABOR", RCmdGroup::LoggedIn, 5, nullptr},
    {"PWD", RCmdGroup::LoggedIn, 6, nullptr},
    {"XPWD", RCmdGroup::LoggedIn, 6, nullptr},
    {"MDTM", RCmdGroup::LoggedIn, 7, nullptr},
    {"SITE", RCmdGroup::LoggedIn, 8, nullptr},
    {"DELE", RCmdGroup::LoggedIn, 9, nullptr},
    {"REST", RCmdGroup::LoggedIn, 10, nullptr},
    {"SIZE", RCmdGroup::LoggedIn, 11, nullptr},
    {"RNTO", RCmdGroup::LoggedIn, 12, nullptr},
    {"RNFR", RCmdGroup::LoggedIn, 13, nullptr},
    {"ALLO", RCmdGroup::LoggedIn, 14, nullptr},
    {"STOR", RCmdGroup::LoggedIn, 15, nullptr},
    {"APPE", RCmdGroup::LoggedIn, 15, nullptr},
    {"STOU", RCmdGroup::LoggedIn, 15, nullptr},
    {"RETR", RCmdGroup::LoggedIn, 16, nullptr},
    {"LIST", RCmdGroup::LoggedIn, 17, nullptr},
    {"NLST", RCmdGroup::LoggedIn, 17, nullptr},
    {"MODE", RCmdGroup::LoggedIn, 18, nullptr},
    {"STRU", RCmdGroup::LoggedIn, 18, nullptr},
    {"PORT", RCmdGroup::LoggedIn, 19, nullptr},
    {"TYPE", RCmdGroup::LoggedIn, 20, nullptr},
    {"CWD", RCmdGroup::LoggedIn, 21, nullptr},
    {"RMD", RCmdGroup::LoggedIn, 21, nullptr},
    {"MKD", RCmdGroup::LoggedIn, 21, nullptr},
    {"XCWD", RCmdGroup::LoggedIn, 22, &RunWithoutX},
    {"XRMD", RCmdGroup::LoggedIn, 22, &RunWithoutX},
    {"XMKD", RCmdGroup::LoggedIn, 22, &RunWithoutX},
    {"MLSD", RCmdGroup::LoggedIn, 23, nullptr},
    {"MLST", RCmdGroup::LoggedIn, 23, nullptr},
    {"MFMT", RCmdGroup::LoggedIn, 23, nullptr},
};

bool Before(const RFTPCommandStr& a, const RFTPCommandStr& b) {
  if (a.group != b.group) return a.group == RCmdGroup::AnyState;
  return a.order < b.order;
}

}  // namespace

RFTPCommandTable& RFTPCommandTable::Instance() {
  static RFTPCommandTable table;
  return table;
}

RFTPCommandTable::RFTPCommandTable() : commands_(std::begin(kTable), std::end(kTable)) {}

void RFTPCommandTable::Register(const RFTPCommandStr& command) {
  for (RFTPCommandStr& c : commands_) {
    if (FtpEqualsNoCase(c.verb, command.verb) && c.group == command.group) {
      c.handler = command.handler;
      return;
    }
  }
  auto pos = std::upper_bound(commands_.begin(), commands_.end(), command, Before);
  commands_.insert(pos, command);
}

const RFTPCommandStr* RFTPCommandTable::Find(RCmdGroup group, std::string_view line) const {
  for (const RFTPCommandStr& c : commands_) {
    if (c.group == group && VerbIs(line, c.verb)) return &c;
  }
  return nullptr;
}

const RFTPCommandStr* RFTPCommandTable::FindVerb(std::string_view verb) const {
  for (const RFTPCommandStr& c : commands_) {
    if (FtpEqualsNoCase(c.verb, verb)) return &c;
  }
  return nullptr;
}

void RFTPCommandTable::SetResume(int32_t deferredCommand, RFTPResumeFn fn) {
  if (deferredCommand >= DC_Retr && deferredCommand <= DC_Site) {
    resume_[deferredCommand - DC_Retr] = fn;
  }
}

RFTPResumeFn RFTPCommandTable::Resume(int32_t deferredCommand) const {
  if (deferredCommand < DC_Retr || deferredCommand > DC_Site) return nullptr;
  return resume_[deferredCommand - DC_Retr];
}

RFTPCommandRegistrar::RFTPCommandRegistrar(std::initializer_list<RFTPCommandStr> commands) {
  for (const RFTPCommandStr& c : commands) RFTPCommandTable::Instance().Register(c);
}

}  // namespace vantor
