// FEAT, OPTS, CLNT and HOST: what a client learns about the server and
// chooses for its session before it logs in or right after.
//
// FEAT derives every feature line from the command table, so a feature is
// offered exactly when the table has its command. Loop thread only.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/RFTPCommands.h"

namespace vantor {

class RFTPSComInterp;

// The feature lines of FEAT for a session (without the leading blank), in
// the order they are sent: those whose verb `table` has.
std::vector<std::string> FeatureLines(const RFTPSComInterp& s,
                                      std::span<const RFTPCommandStr> table = CommandTable());

// REIN: every choice back to its default, the session back on the IP home
// it connected to.
void ResetClientChoices(RFTPSComInterp& s);

void HandleFeat(RFTPSComInterp& s, std::string_view line);
void HandleOpts(RFTPSComInterp& s, std::string_view line);
void HandleClnt(RFTPSComInterp& s, std::string_view line);
void HandleHost(RFTPSComInterp& s, std::string_view line);

}  // namespace vantor
