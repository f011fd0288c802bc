// The command table of the interpreter: every verb the server knows, the
// function that handles it and the command states in which it is taken.
// RFTPSComInterp::Dispatch (ftp/RFTPCommands.cpp, beside the table) walks it.
//
// Verbs are compared over their own length (three letters for PWD, CWD, RMD
// and MKD, four for the rest) without regard to case; anything may follow.
// The table is constant: a new command is one more line in kCommands.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vantor {

class RFTPSComInterp;

using RFTPHandler = void (*)(RFTPSComInterp& session, std::string_view line);

// The command states in which a verb is taken; an entry carries one or more.
enum RCmdStates : uint8_t {
  CMD_AnyState = 1,   // before login too; found before the logged-in verbs
  CMD_LoggedIn = 2,   // logged in, in table order
  CMD_AfterRest = 4,  // right after REST, keeping the restart offset
  CMD_AfterRnfr = 8,  // right after RNFR, completing the rename
};

struct RFTPCommandStr {
  const char* verb;  // "RETR", "PWD"; upper case
  RFTPHandler handler;
  uint8_t states;  // RCmdStates
};

// Second half of a command held by a hook (RDeferredCommand codes 14..23),
// run by ResumeDeferred when the hook lets it go on.
using RFTPResumeFn = void (*)(RFTPSComInterp& session);

// The server's table, in dispatch order.
std::span<const RFTPCommandStr> CommandTable();

// The first entry of `table` carrying one of `states` whose verb begins
// `line`, or nullptr.
const RFTPCommandStr* FindCommand(std::span<const RFTPCommandStr> table, uint8_t states,
                                  std::string_view line);
// The entry whose verb is exactly `verb` (any case), or nullptr.
const RFTPCommandStr* FindVerb(std::span<const RFTPCommandStr> table, std::string_view verb);

// Whether the line's command never asks the account store (NOOP, SYST,
// TYPE, MODE, STRU, PWD): it need not wait while another program's change
// to the configuration file is read.
bool AsksNoStore(std::string_view line);

// A command line as the administration may see it (the session's current
// command): at most 159 characters, and nothing after PASS or ACCT, nor the
// passwords of SITE PSWD (" xxxxx" instead), whoever is logged in.
std::string ShownCommandLine(std::string_view line);

// The second half of the deferred command `deferredCommand`, or nullptr.
RFTPResumeFn ResumeOf(int32_t deferredCommand);

}  // namespace vantor
