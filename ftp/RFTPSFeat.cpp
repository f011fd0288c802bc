// FEAT, OPTS, CLNT and HOST.
#include "ftp/RFTPSFeat.h"

#include "fs/RMlsxFacts.h"
#include "ftp/RFTPCommands.h"
#include "ftp/RFTPLine.h"
#include "ftp/RFTPSComInterp.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPStrings.h"
#include "ftp/RIPHomes.h"
#include "util/RText.h"

namespace vantor {
namespace {

constexpr size_t kMaxArgument = 511;
constexpr size_t kMaxClientName = 100;

// One feature line and the verb whose handler offers it (nullptr: always
// offered). Sorted by the text of the line.
struct RFeatureStr {
  const char* verb;
  const char* line;  // nullptr: the MLST line with the session's facts
};
constexpr RFeatureStr kFeatures[] = {
    {"AUTH", "AUTH TLS"}, {"CLNT", "CLNT"}, {"EPRT", "EPRT"},        {"EPSV", "EPSV"},
    {"HOST", "HOST"},     {"MDTM", "MDTM"}, {"MFMT", "MFMT"},        {"MLST", nullptr},
    {"PBSZ", "PBSZ"},     {"PROT", "PROT"}, {"REST", "REST STREAM"}, {"SIZE", "SIZE"},
    {nullptr, "TVFS"},    {"OPTS", "UTF8"},
};

// The first word of `text` and the rest after one blank.
void SplitWord(std::string_view text, std::string_view& word, std::string_view& rest) {
  const size_t blank = text.find(' ');
  word = text.substr(0, blank);
  rest = blank == std::string_view::npos ? std::string_view() : TrimBlanks(text.substr(blank + 1));
}

}  // namespace

void HandleFeat(RFTPSComInterp& s, std::string_view) {
  s.ReplyStr(kReplyFeatFirst);
  for (const std::string& line : FeatureLines(s)) s.ReplyStr(kReplyFeatLine, line);
  s.ReplyStr(kReplyFeatEnd);
}

void HandleOpts(RFTPSComInterp& s, std::string_view line) {
  const std::string arg = ArgumentOf(line, 4, kMaxArgument);
  std::string_view name, rest;
  SplitWord(arg, name, rest);
  if (name.empty()) {
    s.ReplyStr(kReplyOptsSyntax);
    return;
  }
  if (EqualNoCaseAscii(name, "UTF8")) {
    // Names go out as they are stored whichever is chosen; the choice is
    // kept for the session's record. "OPTS UTF8" alone means on.
    if (rest.empty() || EqualNoCaseAscii(rest, "ON")) {
      s.Choices.utf8 = true;
      s.ReplyStr(kReplyUtf8On);
    } else if (EqualNoCaseAscii(rest, "OFF")) {
      s.Choices.utf8 = false;
      s.ReplyStr(kReplyUtf8Off);
    } else {
      s.ReplyStr(kReplyOptsSyntax);
    }
    return;
  }
  if (EqualNoCaseAscii(name, "MLST") && FindVerb(CommandTable(), "MLST") != nullptr) {
    s.Choices.mlstFacts = ParseMlstFacts(rest);
    const std::string list = MlsxFactList(s.Choices.mlstFacts);
    if (list.empty()) {
      s.ReplyStr(kReplyMlstOptsNone);
    } else {
      s.ReplyStr(kReplyMlstOpts, list);
    }
    return;
  }
  s.ReplyStr(kReplyOptsUnknown);
}

void HandleClnt(RFTPSComInterp& s, std::string_view line) {
  const std::string arg = ArgumentOf(line, 4, kMaxArgument);
  if (arg.empty()) {
    s.ReplyStr(kReplyOptsSyntax);
    return;
  }
  s.Choices.clientName = arg.substr(0, kMaxClientName);
  s.ReplyStr(kReplyNoted);
}

namespace {

void BackToArrivalHome(RFTPSComInterp& s) {
  if (!s.Choices.hostChosen) return;
  s.Connection.localAddress = s.Choices.arrivalAddress;
  s.Connection.localAddressText = s.Choices.arrivalAddressText;
  s.Choices.hostChosen = false;
  s.Recount();
}

// An address literal as a client may write it: "[v6]" or dotted.
std::string_view WithoutBrackets(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

}  // namespace

void HandleHost(RFTPSComInterp& s, std::string_view line) {
  // The virtual host is chosen before the user names himself: the account
  // looked up for USER depends on it.
  if (s.CommandState() != CS_Connected) {
    s.ReplyStr(kReplyHostBadSequence);
    return;
  }
  const std::string arg = ArgumentOf(line, 4, kMaxArgument);
  std::string_view host = arg;
  if (host.empty()) {
    s.ReplyStr(kReplyOptsSyntax);
    return;
  }
  if (host.size() > 1 && host.back() == '.') host.remove_suffix(1);  // fully qualified form
  const std::string arrival =
      s.Choices.hostChosen ? s.Choices.arrivalAddressText : s.Connection.localAddressText;
  for (const RIPHomeStr& home : s.Manager().IPHomes()) {
    if (home.name.empty() || !EqualNoCaseAscii(home.name, host)) continue;
    if (!s.Choices.hostChosen) {
      s.Choices.arrivalAddress = s.Connection.localAddress;
      s.Choices.arrivalAddressText = s.Connection.localAddressText;
    }
    s.Choices.hostChosen = true;
    s.Connection.localAddress = home.address;
    s.Connection.localAddressText = home.addressText;
    s.Recount();
    s.ReplyStr(kReplyHostAccepted);
    return;
  }
  // The address the client connected to names the home it already has.
  const std::string_view literal = WithoutBrackets(host);
  const bool arrivedThere =
      literal == arrival || (s.Control() != nullptr && literal == s.Control()->GetLocalIPAddress());
  if (arrivedThere) {
    BackToArrivalHome(s);
    s.ReplyStr(kReplyHostAccepted);
    return;
  }
  s.ReplyStr(kReplyHostUnknown);
}

std::vector<std::string> FeatureLines(const RFTPSComInterp& s,
                                      std::span<const RFTPCommandStr> table) {
  std::vector<std::string> lines;
  const bool tlsOffered = s.Tls.control || s.Manager().TlsContext() != nullptr;
  for (const RFeatureStr& f : kFeatures) {
    if (f.verb != nullptr && FindVerb(table, f.verb) == nullptr) continue;
    if (f.verb != nullptr && !tlsOffered &&
        (EqualNoCaseAscii(f.verb, "AUTH") || EqualNoCaseAscii(f.verb, "PBSZ") ||
         EqualNoCaseAscii(f.verb, "PROT"))) {
      continue;
    }
    if (f.line == nullptr) {
      lines.push_back("MLST " + MlsxFeatFacts(s.Choices.mlstFacts));
    } else {
      lines.emplace_back(f.line);
    }
  }
  return lines;
}

void ResetClientChoices(RFTPSComInterp& s) {
  BackToArrivalHome(s);
  s.Choices = RClientChoicesStr{};
}

}  // namespace vantor
