// FTPS (RFC 4217): AUTH TLS, PBSZ, PROT, CCC, the control connection's
// handshake and the protected data connections.
#include "ftp/RFTPSTls.h"

#include <charconv>
#include <limits>

#include "ftp/RFTPLine.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPSTransfer.h"
#include "ftp/RFTPStrings.h"
#include "util/RLog.h"

namespace vantor {
namespace {

constexpr int32_t kHandshakeSeconds = 30;

// Every connection may resume every session, so that a client's next
// login resumes its last one; what binds a data connection to its control
// connection is the session's lineage (see DataTlsDone).
constexpr std::string_view kSessionId = "vantor-ftp";

WsStatus StartControlTls(RFTPSComInterp& s, RWinSocket& control) {
  // Never repeated while the process runs (session numbers may be), and
  // tickets of an earlier process do not decrypt: a lineage names one
  // handshake only. Loop thread only.
  static uint64_t lineages = 0;
  const std::string lineage = "vantor-" + std::to_string(++lineages);
  return control.StartTls(s.Tls.context, kSessionId, false, kHandshakeSeconds, lineage);
}

bool TlsOffered(const RFTPSComInterp& s) {
  return s.Tls.control || s.Manager().TlsContext() != nullptr;
}

}  // namespace

void HandleAuth(RFTPSComInterp& s, std::string_view line) {
  if (!TlsOffered(s)) {
    s.ReplyStr(kReplyCommandNotUnderstood, UnknownVerbWord(line));
    return;
  }
  const std::string arg = Upper(ArgumentOf(line, 4, 20));
  if (arg.empty()) {
    s.ReplyStr(kReplyTlsSyntax);
    return;
  }
  // "SSL" and the draft's "TLS-C" are the names older clients use.
  if (arg != "TLS" && arg != "SSL" && arg != "TLS-C") {
    s.ReplyStr(kReplyAuthUnknown);
    return;
  }
  if (s.Tls.control) {
    s.ReplyStr(kReplyAuthTwice);
    return;
  }
  if (s.IsLoggedIn()) {
    s.ReplyStr(kReplyAuthLoggedIn);
    return;
  }
  if (!s.Manager().AdmitTlsHandshake()) {
    s.ReplyStr(kReplyTlsBusy);
    return;
  }
  // A name given in clear text is forgotten: the login starts again
  // under protection.
  s.ResetLogin();
  s.Login.userName.clear();
  s.Recount();
  s.Tls.context = s.Manager().TlsContext();
  s.Tls.startPending = true;
  s.Tls.handshakeSinceMs = s.Manager().Loop().Clock().NowMs();
  s.Manager().HandshakeAdmitted(s);
  if (s.Control() != nullptr) s.Control()->HoldInput();
  s.ReplyStr(kReplyAuthOk, arg);
}

void HandlePbsz(RFTPSComInterp& s, std::string_view line) {
  if (!s.Tls.control) {
    s.ReplyStr(kReplyPbszNoAuth);
    return;
  }
  // RFC 2228: a decimal number of at most 32 bits.
  const std::string arg = ArgumentOf(line, 4, line.size());
  uint32_t size = 0;
  const auto [end, err] = std::from_chars(arg.data(), arg.data() + arg.size(), size);
  if (arg.empty() || err != std::errc() || end != arg.data() + arg.size()) {
    s.ReplyStr(kReplyTlsSyntax);
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
  const std::string arg = Upper(ArgumentOf(line, 4, 20));
  if (arg == "C") {
    s.Tls.protP = false;
    s.ReplyStr(kReplyProtClear);
  } else if (arg == "P") {
    s.Tls.protP = true;
    s.ReplyStr(kReplyProtPrivate);
  } else if (arg == "S" || arg == "E") {
    s.ReplyStr(kReplyProtUnsupported);
  } else if (arg.empty()) {
    s.ReplyStr(kReplyTlsSyntax);
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
  Tls.handshakeSinceMs = manager_.Loop().Clock().NowMs();
  manager_.HandshakeAdmitted(*this);
  // The login time limit counts from the connection, handshake included.
  Start(kTickMs, false);
  if (!control_ || StartControlTls(*this, *control_) != WS_OK) {
    RequestRemoval();
  }
}

void RFTPSComInterp::StartPendingTls() {
  RSockStatusStr st;
  control_->GetStatus(st);
  if (st.sending != 0) return;  // the 234 is still going out
  Tls.startPending = false;
  if (StartControlTls(*this, *control_) != WS_OK) {
    RequestRemoval();
  }
}

void RFTPSComInterp::OnControlTls(int status) {
  manager_.HandshakeOver(*this);
  manager_.Metrics().CountTlsHandshake(status == WS_OK);
  if (status != WS_OK) {
    LogStr(LOG_SECURITY, kLogTlsFailed, control_->TlsFailure());
    RequestRemoval();
    return;
  }
  const RTlsStream* t = control_->Tls();
  LogStr(LOG_SYSTEM, kLogTlsEstablished, t->Protocol(), t->Cipher());
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

namespace {

int32_t DataTlsLimit(RFTPSComInterp& s) {
  return std::max<int32_t>(s.Manager().Settings().packetTimeOut, kHandshakeSeconds);
}

}  // namespace

bool StartDataTls(RFTPSComInterp& s, bool early) {
  s.Transfer.tlsActive = false;
  if (!s.Tls.protP || !s.Tls.control || !s.Transfer.link.socket) return false;
  // An early connection may wait for its command as long as the listener
  // would have: the limit is set when the command comes.
  const int32_t limit = early ? std::numeric_limits<int32_t>::max() : DataTlsLimit(s);
  if (s.Transfer.link.socket->StartTls(s.Tls.context, kSessionId, true, limit) != WS_OK)
    return false;
  s.Transfer.tlsPending = true;
  return true;
}

void RestartDataTlsClock(RFTPSComInterp& s) {
  if (s.Transfer.tlsPending && s.Transfer.link.socket)
    s.Transfer.link.socket->RestartHandshakeClock(DataTlsLimit(s));
}

void CutDataTls(RFTPSComInterp& s) {
  if (!s.Transfer.tlsPending) return;
  s.Transfer.tlsPending = false;
  s.Manager().Metrics().CountTlsHandshake(false);
}

uint32_t DataTlsDone(RFTPSComInterp& s, int status) {
  s.Transfer.tlsPending = false;
  s.Manager().Metrics().CountTlsHandshake(status == WS_OK && s.Transfer.link.socket);
  if (status != WS_OK || !s.Transfer.link.socket) {
    if (s.Transfer.link.socket)
      s.LogStr(LOG_SECURITY, kLogTlsFailed, s.Transfer.link.socket->TlsFailure());
    return 0;
  }
  // Resuming is not enough: the session must be the control connection's
  // (or one it resumed itself), never another client's.
  const RTlsStream* data = s.Transfer.link.socket->Tls();
  const RTlsStream* control = s.Control() != nullptr ? s.Control()->Tls() : nullptr;
  if (s.Manager().Settings().tlsDataSessionReuse &&
      (!data->Resumed() || control == nullptr || data->Lineage().empty() ||
       data->Lineage() != control->Lineage())) {
    s.LogStr(LOG_SECURITY, kLogTlsNoReuse);
    return kReplyNoSessionReuse;
  }
  // A TLS 1.3 client uses each ticket once (RFC 8446, appendix C.4): the
  // one this connection used is replaced on the control connection, where
  // the client reads it with the transfer's reply. Data connections issue
  // none, as an uploading client never reads them and its close would
  // then reset the connection under the upload.
  if (data->Resumed() && s.Control() != nullptr) (void)s.Control()->IssueTlsTicket();
  s.Transfer.tlsActive = true;
  return 0;
}

}  // namespace vantor
