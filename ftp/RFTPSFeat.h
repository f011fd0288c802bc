// FEAT, OPTS, CLNT and HOST: what a client learns about the server and
// chooses for its session before it logs in or right after.
//
// FEAT derives every feature line from the command table, so a feature is
// offered exactly when its command has a handler. Loop thread only.
#pragma once

#include <string>
#include <vector>

namespace vantor {

class RFTPSComInterp;

// The feature lines of FEAT for a session (without the leading blank), in
// the order they are sent.
std::vector<std::string> FeatureLines(const RFTPSComInterp& s);

// REIN: every choice back to its default, the session back on the IP home
// it connected to.
void ResetClientChoices(RFTPSComInterp& s);

}  // namespace vantor
