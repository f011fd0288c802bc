// FTPS (RFC 4217): AUTH TLS, PBSZ, PROT, CCC, the control connection's
// handshake and the protected data connections.
#include "ftp/RFTPSTls.h"

#include "ftp/RFTPHandlers.h"
#include "ftp/RFTPLine.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPSTransfer.h"
#include "util/RLog.h"

namespace vantor {
namespace {

constexpr uint32_t kReplyAuthOk = 28400;           // "234 AUTH %s successful."
constexpr uint32_t kReplyAuthUnknown = 28401;      // "504 Security mechanism not understood."
constexpr uint32_t kReplyAuthTwice = 28402;        // "503 TLS is already active."
constexpr uint32_t kReplyAuthLoggedIn = 28403;     // "503 AUTH must come before login."
constexpr uint32_t kReplyPbszNoAuth = 28404;       // "503 PBSZ needs a protected control ..."
constexpr uint32_t kReplyPbszOk = 28405;           // "200 PBSZ=0"
constexpr uint32_t kReplySyntax = 28406;           // "501 Syntax error in parameters ..."
constexpr uint32_t kReplyProtNoPbsz = 28407;       // "503 PROT needs PBSZ first."
constexpr uint32_t kReplyProtClear = 28408;        // "200 Protection level set to Clear."
constexpr uint32_t kReplyProtPrivate = 28409;      // "200 Protection level set to Private."
constexpr uint32_t kReplyProtUnsupported = 28410;  // "536 Protection level not supported."
constexpr uint32_t kReplyProtUnknown = 28411;      // "504 Protection level not understood."
constexpr uint32_t kReplyCccRefused = 28412;       // "534 Clearing the control connection ..."
constexpr uint32_t kReplyNeedProtP = 28414;        // "521 This account requires ... PROT P."
constexpr uint32_t kReplyNoReuse = 28415;          // "522 Data connection must resume ..."
constexpr uint32_t kLogEstablished = 28416;        // "(%06u) TLS established: %s, %s"
constexpr uint32_t kLogFailed = 28417;             // "(%06u) TLS handshake failed: %s"
constexpr uint32_t kLogNoReuse = 28420;
constexpr int32_t kHandshakeSeconds = 30;

// Resumption is tied to the control connection: a data connection can
// resume its own session and no other.
std::string SessionId(const RFTPSComInterp& s) {
  return "vantor-" + std::to_string(s.Number());
}

bool TlsOffered(const RFTPSComInterp& s) {
  return s.Tls.control || s.Manager().TlsContext() != nullptr;
}

}  // namespace

void HandleAuth(RFTPSComInterp& s, std::string_view line) {
  if (!TlsOffered(s)) {
    s.ReplyStr(25009, UnknownVerbWord(line));
    return;
  }
  const std::string arg = FtpUpper(ArgumentOf(line, 4, 20));
  // "SSL" and the draft's "TLS-C" are the names older clients use.
  if (arg != "TLS" && arg != "SSL" && arg != "TLS-C") {
    s.ReplyStr(kReplyAuthUnknown);
    return;
  }
  if (s.Tls.control) {
    s.ReplyStr(kReplyAuthTwice);
    return;
  }
  if (s.LoggedIn()) {
    s.ReplyStr(kReplyAuthLoggedIn);
    return;
  }
  // A name given in clear text is forgotten: the login starts again
  // under protection.
  s.CommandState = CS_Connected;
  s.UserName.clear();
  s.Tls.context = s.Manager().TlsContext();
  s.Tls.startPending = true;
  if (s.Control() != nullptr) s.Control()->HoldInput();
  s.ReplyStr(kReplyAuthOk, arg);
}

void HandlePbsz(RFTPSComInterp& s, std::string_view line) {
  if (!s.Tls.control) {
    s.ReplyStr(kReplyPbszNoAuth);
    return;
  }
  const std::string arg = ArgumentOf(line, 4, 20);
  if (arg.empty() || arg.find_first_not_of("0123456789") != std::string::npos) {
    s.ReplyStr(kReplySyntax);
    return;
  }
  // TLS protects the stream itself: the only buffer size is 0.
  s.Tls.pbsz = true;
  s.ReplyStr(kReplyPbszOk);
}

void HandleProt(RFTPSComInterp& s, std::string_view line) {
  if (!s.Tls.pbsz) {
    s.ReplyStr(kReplyProtNoPbsz);
    return;
  }
  const std::string arg = FtpUpper(ArgumentOf(line, 4, 20));
  if (arg == "C") {
    s.Tls.protP = false;
    s.ReplyStr(kReplyProtClear);
  } else if (arg == "P") {
    s.Tls.protP = true;
    s.ReplyStr(kReplyProtPrivate);
  } else if (arg == "S" || arg == "E") {
    s.ReplyStr(kReplyProtUnsupported);
  } else {
    s.ReplyStr(kReplyProtUnknown);
  }
}

void HandleCcc(RFTPSComInterp& s, std::string_view) {
  // A control connection falling back to clear text would expose every
  // later command; nothing here needs it (no NAT helper reads our replies).
  s.ReplyStr(kReplyCccRefused);
}


void RFTPSComInterp::StartImplicitTls() {
  Tls.implicit = true;
  Tls.context = manager_.TlsContext();
  // The login time limit counts from the connection, handshake included.
  Start(kTickMs, false);
  if (!control_ ||
      control_->StartTls(Tls.context, SessionId(*this), false, kHandshakeSeconds) != WS_OK) {
    RequestRemoval();
  }
}

void RFTPSComInterp::StartPendingTls() {
  RSockStatusStr st;
  control_->GetStatus(st);
  if (st.sending != 0) return;  // the 234 is still going out
  Tls.startPending = false;
  if (control_->StartTls(Tls.context, SessionId(*this), false, kHandshakeSeconds) != WS_OK) {
    RequestRemoval();
  }
}

void RFTPSComInterp::OnControlTls(int status) {
  if (status != WS_OK) {
    LogStr(LOG_SECURITY, kLogFailed, control_->TlsFailure());
    RequestRemoval();
    return;
  }
  const RTlsStream* t = control_->Tls();
  LogStr(LOG_SYSTEM, kLogEstablished, t->Protocol(), t->Cipher());
  Tls.control = true;
  if (manager_.UserInfoOpen()) manager_.Notify(NC_SessionChanged, Number_);
  if (Tls.implicit) {
    // The implicit port's clients take PBSZ 0 and PROT P as given.
    Tls.pbsz = true;
    Tls.protP = true;
    Admit();
  }
}

bool RFTPSComInterp::RefusedClearData(std::string_view line) {
  if (!Tls.required || Tls.protP) return false;
  for (const char* verb : {"RETR", "STOR", "APPE", "STOU", "LIST", "NLST", "MLSD"}) {
    if (VerbIs(line, verb)) {
      ReplyStr(kReplyNeedProtP);
      return true;
    }
  }
  return false;
}

bool StartDataTls(RFTPSComInterp& s) {
  s.Tls.data = false;
  if (!s.Tls.protP || !s.Tls.control || !s.DataSocket) return false;
  const int32_t limit = std::max<int32_t>(s.Manager().Settings().packetTimeOut, kHandshakeSeconds);
  if (s.DataSocket->StartTls(s.Tls.context, SessionId(s), true, limit) != WS_OK) return false;
  s.Tls.dataPending = true;
  return true;
}

uint32_t DataTlsDone(RFTPSComInterp& s, int status) {
  s.Tls.dataPending = false;
  if (status != WS_OK || !s.DataSocket) {
    if (s.DataSocket) s.LogStr(LOG_SECURITY, kLogFailed, s.DataSocket->TlsFailure());
    return 0;
  }
  if (s.Manager().Settings().tlsDataSessionReuse && !s.DataSocket->Tls()->Resumed()) {
    s.LogStr(LOG_SECURITY, kLogNoReuse);
    return kReplyNoReuse;
  }
  s.Tls.data = true;
  return 0;
}

}  // namespace vantor
