#include "ftp/RFTPSComInterp.h"

#include <cstring>
#include <ctime>

#include "accounts/RFTPQuota.h"
#include "accounts/RFTPRatios.h"
#include "fs/RPath.h"
#include "ftp/RBusMessages.h"
#include "ftp/RFTPCommands.h"
#include "ftp/RFTPLine.h"
#include "ftp/RFTPMessages.h"
#include "ftp/RFTPSData.h"
#include "ftp/RFTPSHooks.h"
#include "ftp/RFTPSManager.h"
#include "ftp/RFTPSSiteArgs.h"
#include "ftp/RFTPSTls.h"
#include "ftp/RFTPSTransfer.h"
#include "ftp/RFTPStrings.h"
#include "ftp/RIPHomes.h"
#include "platform/RSocketOptions.h"
#include "util/RLog.h"
#include "util/RText.h"

namespace vantor {
namespace {

// The verb of a held command, for the log.
const char* DeferredVerb(int32_t command) {
  switch (command) {
    case DC_Retr:
      return "RETR";
    case DC_Stor:
      return "STOR";
    case DC_Appe:
      return "APPE";
    case DC_Stou:
      return "STOU";
    case DC_Rnto:
      return "RNTO";
    case DC_Dele:
      return "DELE";
    case DC_Rmd:
      return "RMD";
    case DC_Mkd:
      return "MKD";
    case DC_Cwd:
      return "CWD";
    case DC_Site:
      return "SITE";
    default:
      return "?";
  }
}

int LocalHour(int64_t now) {
  const time_t t = static_cast<time_t>(now);
  struct tm tmv {};
  localtime_r(&t, &tmv);
  return tmv.tm_hour;
}

}  // namespace

RFTPSComInterp::RFTPSComInterp(RFTPSManager& manager, std::unique_ptr<RWinSocket> control,
                               std::string clientAddress, uint32_t localAddress,
                               std::string localAddressText)
    : RTimer(manager.Layer()), manager_(manager), control_(std::move(control)) {
  Connection.clientAddress = std::move(clientAddress);
  Connection.localAddress = localAddress;
  Connection.localAddressText =
      localAddressText.empty() ? FormatDottedAddress(localAddress) : std::move(localAddressText);
  Transfer.address = Connection.clientAddress;
  Transfer.port = DefaultDataPort(*this);

  ServerStats& st = manager_.Stats();
  ++st.ConnectionsNow;
  Number_ = st.NextSessionNumber++;
  Transfer.link.socket.Bind(&manager_.Routes(), Number_, RSocketRole::Data);
  Transfer.passiveSocket.Bind(&manager_.Routes(), Number_, RSocketRole::Passive);
  Connection.connectTime = manager_.Now();
  notLoggedInSinceMs_ = manager_.Loop().Clock().NowMs();
  CountConnectionHour(st, LocalHour(Connection.connectTime));
  if (control_) {
    ApplyConfiguredSocketOptions(manager_.Settings(), control_->NativeHandle());
    // The "150" and the final reply of a transfer follow each other closely;
    // with Nagle's rule on the control connection the second waits for the
    // client's delayed acknowledgement of the first (about 40 ms per
    // transfer). Unless the administrator asked for Nagle explicitly, it is
    // off.
    if (manager_.Settings().socketNoNagle != 0) {
      (void)SetSocketOption(control_->NativeHandle(), RSockOption::NoDelay, 1);
    }
  }

  Hook = MakeHookRecord(*this);

  AccessQuery connect = NewQuery(QC_CONNECT, Connection.clientAddress);
  SetQueryUser(connect, "");
  Ask(connect);
  AccessQuery logQ = NewQuery(QC_LOG_CLIENT_IP);
  SetQueryAux2(logQ, Connection.clientAddress, "");
  Connection.logged = Ask(logQ);
  LogStr(LOG_SECURITY, kLogConnected, Connection.clientAddress, Connection.localAddressText);
  RaiseHook(HE_Created);
  if (manager_.UserInfoOpen()) {
    manager_.Loop().PostMessage(manager_.MainWindow(), MSG_NOTIFY, NC_SessionCreated, Number_);
  }
}

// Everything the end of a session says and counts runs here, while the
// session is still registered with the manager: a transfer's "426" made from
// the destructor would put a dying session back on the manager's flush list.
void RFTPSComInterp::EndSession() {
  if (ended_) return;
  // A handshake cut short by the end (a time-out, a kill, a newer handshake
  // taking its place) reports nothing by itself: it failed.
  if (control_ && control_->TlsHandshaking()) manager_.Metrics().CountTlsHandshake(false);
  CutDataTls(*this);
  afterTransfer_ = nullptr;
  if (workCancel_) workCancel_->Cancel();
  if (!Transfer.Idle()) AbortTransfer(*this, true);
  // Replies of the end are not sent: the client is gone or was killed.
  ended_ = true;
  if (Login.anonymous && manager_.Stats().AnonymousNow > 0) --manager_.Stats().AnonymousNow;
  if (LinesWanted(LOG_SECURITY)) {
    std::string line = FormatStr(kLogClosingConnection, Number_);
    // A closing session names its user even when it closes before PASS.
    if ((IsLoggedIn() || closing_) && !Login.userName.empty()) {
      const int64_t secs = SecondsConnected();
      line += FormatStr(kTextClosingForUser, Login.userName, static_cast<int>(secs / 3600),
                        static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
    }
    WriteLog(LOG_SECURITY, line);
  }
  RHookEventStr closed;
  closed.code = HE_Destroyed;
  closed.elapsed = static_cast<uint32_t>(SecondsConnected());
  RaiseHook(closed);
  AccessQuery closeQ = NewQuery(QC_CLOSE);
  Ask(closeQ);
  if (manager_.UserInfoOpen()) {
    manager_.Loop().PostMessage(manager_.MainWindow(), MSG_NOTIFY, NC_SessionDestroyed, Number_);
  }
}

// Only releases: the manager ran EndSession and unregistered the session.
RFTPSComInterp::~RFTPSComInterp() {
  if (workCancel_) workCancel_->Cancel();
  Transfer.link.socket.reset();
  control_.reset();
  Transfer.passiveSocket.reset();
  Ratio.reset();
  Quota.reset();
  Hook.reset();
  Stop();
}

int64_t RFTPSComInterp::SecondsConnected() const {
  const int64_t d = manager_.Now() - Connection.connectTime;
  return d < 0 ? 0 : d;
}

// --- admission -----------------------------------------------------------------

void RFTPSComInterp::Admit() {
  // Host names are looked up before the access check only when a rule has
  // asked for them; otherwise every connection would wait for DNS.
  if (control_ && manager_.IPNameMatchingOn() && !manager_.SecurityOff()) {
    lookupForAdmission_ = true;
    EnterResolving();
    SetTimeOuts({0, 0, 0, 0, 60}, true);
    StartLookup();
    if (lookupRunning_) return;
    lookupForAdmission_ = false;
    ResetLogin();
  }
  ContinueAdmission();
}

void RFTPSComInterp::ContinueAdmission() {
  if (!AccessDataCurrent([this] { ContinueAdmission(); })) return;
  AccessQuery q = NewQuery(QC_IP_ACCESS);
  SetQueryUser(q, "");
  SetQueryAux2(q, Connection.clientAddress,
               Connection.nameResolved ? Connection.hostName : std::string());
  if (!Ask(q)) {
    manager_.Metrics().CountRefusal(RRefusal::Rules);
    if (Connection.logged)
      WriteLog(LOG_SECURITY, FormatStr(kLogAddressDenied, Connection.clientAddress));
    RaiseHook(HE_IPRefused, Connection.nameResolved ? Connection.hostName : std::string());
    RequestRemoval();
    return;
  }
  const bool autoReset = !manager_.Settings().blockAntiTimeOut;
  SetTimeOuts({0, 0, 300, 180, 0}, autoReset);
  if (control_) {
    // Keep-alive unless the administrator switched it off for sockets.
    const int keepAlive = manager_.Settings().socketKeepAlive == 0 ? 0 : WS_REC_KEEPALIVE;
    if (control_->InitSendLine(kLineBufferSize) != WS_OK ||
        control_->InitRecLine(kLineBufferSize, keepAlive | WS_REC_DISCARD_OVERLONG) != WS_OK) {
      RequestRemoval();
      return;
    }
  }
  if (!manager_.OnlineSwitch()) {
    ReplyStr(kReplyServerUnavailable);
    CloseAfterReplies();
  } else if (manager_.ExitPending()) {
    ReplyStr(kReplyServerGoingDown);
    CloseAfterReplies();
  } else if (TooManyNotLoggedIn()) {
    manager_.Metrics().CountRefusal(RRefusal::Limits);
    ReplyStr(kReplyTooManyFromAddress);
    CloseAfterReplies();
    LogStr(LOG_SECURITY, kLogTooManyFromAddress, Connection.clientAddress);
  } else if (control_) {
    // Behind the events already waiting, like every other session event;
    // with the loop's queue full it goes out now rather than never.
    if (!manager_.Loop().PostMessage(manager_.MainWindow(), MSG_SESSION_SOCKET,
                                     WsEventParam(WS_Nothing, WS_Nothing), control_->Id())) {
      SendGreeting(*this);
    }
  } else {
    SendGreeting(*this);
  }
  if (!Connection.nameResolved && !lookupRunning_ && manager_.HostNameLogging()) StartLookup();
  Start(kTickMs, false);
}

bool RFTPSComInterp::IsLoggedIn() const {
  if (closing_) return false;
  return commandState_ == CS_LoggedIn || commandState_ == CS_RenamePending ||
         commandState_ == CS_RestartPending || commandState_ == CS_AwaitingHook;
}

void RFTPSComInterp::SetCommandState(int32_t state) {
  commandState_ = state;
  manager_.SessionChanged(*this);
}

void RFTPSComInterp::Recount() {
  manager_.SessionChanged(*this);
}

void RFTPSComInterp::HoldCommand(int32_t deferred) {
  SetCommandState(CS_AwaitingHook);
  deferredCommand_ = deferred;
}

int32_t RFTPSComInterp::ReleaseHold() {
  SetCommandState(CS_LoggedIn);
  const int32_t held = deferredCommand_;
  deferredCommand_ = DC_None;
  return held;
}

// A few addresses must not be able to fill the server with connections that
// never log in (they count towards MaxNrUsers).
bool RFTPSComInterp::TooManyNotLoggedIn() const {
  const int32_t limit = manager_.Settings().maxPreLoginPerIP;
  if (limit <= 0 || !control_) return false;
  return manager_.NotLoggedInFrom(Connection.clientAddress, this) >= limit;
}

// The login time is total time, not inactivity: a byte every few seconds
// must not keep a connection that never logs in open for good.
void RFTPSComInterp::CheckLoginTime() {
  const int32_t limit = manager_.Settings().loginTimeLimit;
  const int64_t now = manager_.Loop().Clock().NowMs();
  if (limit <= 0 || IsLoggedIn() || closing_) {
    notLoggedInSinceMs_ = -1;
    return;
  }
  if (notLoggedInSinceMs_ < 0) notLoggedInSinceMs_ = now;  // after REIN
  if (now - notLoggedInSinceMs_ < static_cast<int64_t>(limit) * 1000) return;
  if (control_ && (control_->TlsHandshaking() || Tls.startPending)) {
    // No reply can go out in the middle of a handshake.
    LogStr(LOG_SECURITY, kLogConnectionTimedOut);
    RaiseHook(HE_TimedOut);
    RequestRemoval();
    return;
  }
  ReplyStr(kReplyConnectionTimedOut);
  CloseAfterReplies();
  LogStr(LOG_SECURITY, kLogConnectionTimedOut);
  RaiseHook(HE_TimedOut);
}

void RFTPSComInterp::StartLookup() {
  if (!control_) return;
  std::memset(lookupBuffer_, 0, sizeof lookupBuffer_);
  std::memcpy(lookupBuffer_, Connection.clientAddress.data(),
              std::min(Connection.clientAddress.size(), sizeof lookupBuffer_ - 1));
  lookupRunning_ = control_->DNSLookup(lookupBuffer_, sizeof lookupBuffer_) == WS_OK;
}

void RFTPSComInterp::LookUpHostName() {
  if (!lookupRunning_) StartLookup();
}

void RFTPSComInterp::OnLookupDone(int status) {
  lookupRunning_ = false;
  const std::string answer(lookupBuffer_, strnlen(lookupBuffer_, sizeof lookupBuffer_));
  if (status == WS_OK && !answer.empty() && answer != Connection.clientAddress) {
    Connection.hostName = answer;
    Connection.nameResolved = true;
    if (manager_.HostNameLogging()) LogStr(LOG_HOSTNAMES, kLogHostName, Upper(Connection.hostName));
    RaiseHook(HE_HostResolved, Connection.hostName);
    if (manager_.UserInfoOpen()) manager_.Notify(NC_HostResolved, Number_);
  }
  if (lookupForAdmission_) {
    lookupForAdmission_ = false;
    ResetLogin();
    ContinueAdmission();
  }
}

// --- socket events --------------------------------------------------------------

bool RFTPSComInterp::AfterUploadStep(std::function<void()> then) {
  return Transfer.link.socket && Transfer.link.socket->AfterReceiveStep(std::move(then));
}

void RFTPSComInterp::OnSocketEvent(uint32_t socketId, int operation, int status) {
  // Nothing ends or changes a transfer while its upload step writes the
  // file on a data thread: the event comes again, through the loop's queue,
  // once the step has settled. A cut or a removal then never meets a write
  // still under way, replies keep their order, and the loop waits for no
  // thread. A step is one socket's worth of bytes, so this is short.
  if (AfterUploadStep(
          [&loop = manager_.Loop(), window = manager_.MainWindow(), socketId, operation, status] {
            (void)loop.PostMessage(window, MSG_SESSION_SOCKET, WsEventParam(operation, status),
                                   socketId);
          })) {
    return;
  }
  if (IsHoldingCommand() || workCancel_) {
    // A time-out does not wait behind a job or a hold that may never end:
    // the client gets its reply now, and the job's result is dropped.
    if (status == WS_Timeout && control_ && socketId == control_->Id()) EndWait();
    if (IsHoldingCommand() || workCancel_) {
      parked_.push_back({socketId, operation, status});
      return;
    }
  }
  if ((Transfer.State() == XS_Sending || Transfer.State() == XS_Receiving) && control_) {
    control_->ResetTimeOut();
  }
  if (Transfer.link.socket && socketId == Transfer.link.socket->Id()) {
    OnDataEvent(*this, *Transfer.link.socket, operation, status);
    return;
  }
  if (Transfer.passiveSocket && socketId == Transfer.passiveSocket->Id()) {
    OnDataEvent(*this, *Transfer.passiveSocket, operation, status);
    return;
  }
  if (control_ && socketId == control_->Id()) OnControlEvent(operation, status);
}

void RFTPSComInterp::OnControlEvent(int operation, int status) {
  if (operation == WS_Nothing && status == WS_Nothing) {
    SendGreeting(*this);
    return;
  }
  if (operation == WS_Service) {
    OnLookupDone(status);
    return;
  }
  if (operation == WS_Securing) {
    OnControlTls(status);
    return;
  }
  if (status == WS_OK && operation == WS_Receiving) {
    ReadLine();
    return;
  }
  if (status == WS_OK && operation == WS_Sending) {
    SendNext();
    return;
  }
  if (status == WS_Timeout && !closing_) {
    ReplyStr(kReplyConnectionTimedOut);
    CloseAfterReplies();
    LogStr(LOG_SECURITY, kLogConnectionTimedOut);
    RaiseHook(HE_TimedOut);
    return;
  }
  RequestRemoval();
}

void RFTPSComInterp::ReadLine() {
  if (afterTransfer_) {
    // The lines after a QUIT wait with it for the transfer's end.
    if (TransferUnderWay()) return;
    std::function<void(RFTPSComInterp&)> then = std::move(afterTransfer_);
    afterTransfer_ = nullptr;
    then(*this);
    if (!TakesFurtherLines()) {
      PostReadEvent();
      return;
    }
  }
  for (int n = 0; n < kLinesPerRead; ++n) {
    // Back-pressure: while the client does not take its replies, its further
    // commands stay unread (in the socket, then in the kernel) instead of
    // producing replies the bounded queue would have to drop.
    if (replies_.size() >= kReadPauseReplies) {
      readPaused_ = true;
      return;
    }
    // After AUTH nothing more is read in clear text.
    if (Tls.startPending) return;
    char buffer[kLineBufferSize];
    const WsStatus st = control_->ReceiveLine(buffer, sizeof buffer);
    if (st == WS_Nothing) return;
    if (st != WS_OK && st != WS_More) {
      RequestRemoval();
      return;
    }
    std::string_view line(buffer, strnlen(buffer, sizeof buffer));
    if (line.size() > kMaxCommandLine) line = line.substr(0, kMaxCommandLine);
    if (UntrustedProxySignature(line)) return;
    std::string command = StripTelnet(line);
    if (!AsksNoStore(command) && !AccessDataCurrent([this, command] { Dispatch(command); })) {
      break;
    }
    Dispatch(command);
    if (!TakesFurtherLines()) break;
  }
  PostReadEvent();
}

// A pipelined burst of simple commands is read in one go, so its replies
// leave in one send. A command that started something other events take
// part in (a transfer, a wait, a look-up, the end) lets those events come
// first, as they would between separately arriving lines.
// A closing session answers the lines it has already read before the close.
bool RFTPSComInterp::TakesFurtherLines() const {
  if (!control_ || removalPosted_ || workCancel_ || lookupRunning_ || afterTransfer_) return false;
  if (!Transfer.Idle() || Tls.startPending || Transfer.tlsPending) return false;
  return CommandState() != CS_Resolving && !IsHoldingCommand();
}

// The binary PROXY header begins CR LF CR LF NUL CR LF "QUIT" LF: three
// empty lines to a reader that ends lines at CR and drops LF and NUL, and
// then a line that never ends. No client starts a conversation that way.
// A text header is a "PROXY" line before login. Either way the sender could
// name any client it likes, so it is not served.
bool RFTPSComInterp::UntrustedProxySignature(std::string_view line) {
  if (IsLoggedIn()) return false;
  bool header = VerbIs(line, "PROXY");
  if (leadingEmptyLines_ >= 0) {
    leadingEmptyLines_ = line.empty() ? leadingEmptyLines_ + 1 : -1;
    header = header || leadingEmptyLines_ == 3;
  }
  if (!header) return false;
  LogStr(LOG_SECURITY, kLogUntrustedProxyHeader, Connection.clientAddress);
  RequestRemoval();
  return true;
}

void RFTPSComInterp::PostReadEvent() {
  // A further line already received is read after the events now waiting.
  if (!control_ || removalPosted_) return;
  // The socket announces a waiting line only once; when the loop's queue
  // refuses the post, the tick posts it again, or the session would stall.
  readPostFailed_ = !manager_.Loop().PostMessage(manager_.MainWindow(), MSG_SESSION_SOCKET,
                                                 WsEventParam(WS_Receiving, WS_OK), control_->Id());
}

// --- replies ------------------------------------------------------------------------

namespace {

// The last line of a final reply ("226 Done", not "150 ..." nor "211-...").
bool EndsCommand(std::string_view text) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  return text.size() >= 3 && text[0] >= '2' && text[0] <= '5' && digit(text[1]) && digit(text[2]) &&
         (text.size() == 3 || text[3] == ' ');
}

}  // namespace

void RFTPSComInterp::Reply(std::string_view text) {
  if (!currentCommand_.empty() && EndsCommand(text)) currentCommand_.clear();
  if (replies_.size() > kMaxQueuedReplies) return;
  if (LinesWanted(LOG_REPLIES)) LogSession(LOG_REPLIES, text);
  replies_.emplace_back(text);
  QueueFlush();
}

void RFTPSComInterp::QueueFlush() {
  if (!control_ || flushQueued_ || ended_) return;
  flushQueued_ = true;
  manager_.QueueReplyFlush(*this);
}

void RFTPSComInterp::SendNext() {
  if (!control_) return;
  while (!replies_.empty()) {
    // A batch still going out: its completion event comes back here.
    if (control_->Sending()) return;
    sendBuffer_.clear();
    while (!replies_.empty() && sendBuffer_.size() < kFlushBytes) {
      const std::string& r = replies_.front();
      // A line longer than the line buffer is cut, as a single line send would.
      sendBuffer_.append(r, 0, std::min(r.size(), static_cast<size_t>(kLineBufferSize)));
      sendBuffer_ += "\r\n";
      replies_.pop_front();
    }
    if (readPaused_ && replies_.size() < kReadResumeReplies) {
      readPaused_ = false;
      PostReadEvent();
    }
    const WsStatus st =
        control_->SendLines(sendBuffer_.data(), static_cast<int64_t>(sendBuffer_.size()));
    if (st == WS_Sending) return;
    if (st != WS_OK) {
      RequestRemoval();
      return;
    }
  }
  if (control_->Sending()) return;
  if (Tls.startPending) {
    StartPendingTls();
    return;
  }
  if (!closing_ || IsTransferActive()) return;
  // Close as soon as the last line is out: a client that reads to the end
  // (as libraries do after QUIT) would otherwise wait for the delayed close.
  (void)control_->DisconnectHost(0);
}

std::deque<std::string> RFTPSComInterp::TakeQueuedReplies() {
  std::deque<std::string> out;
  out.swap(replies_);
  return out;
}

void RFTPSComInterp::CloseAfterReplies() {
  afterTransfer_ = nullptr;
  if (!Transfer.Idle()) AbortTransfer(*this);
  closing_ = true;
  manager_.SessionChanged(*this);
  if (control_) (void)control_->DisconnectHost(10);
  // The sender closes once the queue is empty: it runs at the end of the
  // loop's pass, after the lines already read got their replies.
  QueueFlush();
}

bool RFTPSComInterp::TransferUnderWay() const {
  if (IsTransferActive()) return true;
  return Transfer.Waiting() && !Transfer.passive;
}

bool RFTPSComInterp::RunAfterTransfer(std::function<void(RFTPSComInterp&)> then) {
  if (!control_ || closing_ || !TransferUnderWay()) return false;
  afterTransfer_ = std::move(then);
  return true;
}

void RFTPSComInterp::TransferEnded() {
  // The waiting QUIT runs after the event that ended the transfer.
  if (afterTransfer_) PostReadEvent();
}

void RFTPSComInterp::RequestRemoval() {
  if (removalPosted_) return;
  removalPosted_ = true;
  manager_.SessionChanged(*this);
  manager_.HandshakeOver(*this);
  // What was answered before the end still goes out (at once: the removal
  // comes before the pass ends).
  if (!replies_.empty()) SendNext();
  // When the post is refused the manager's tick removes it.
  if (!manager_.Loop().PostMessage(manager_.MainWindow(), MSG_REMOVE_SESSION, Number_, 0)) {
    manager_.RemoveLater(Number_);
  }
}

// --- timer ----------------------------------------------------------------------------

void RFTPSComInterp::OnTimer() {
  while (replies_.size() > kTrimmedReplies) replies_.pop_front();
  if (readPostFailed_ && !readPaused_) PostReadEvent();
  // A QUIT waiting for a transfer that ended without telling is not left
  // waiting for ever.
  if (afterTransfer_ && !TransferUnderWay()) PostReadEvent();
  // What may end the session waits while an upload step is out (the next
  // tick comes soon enough); the rest only reads the counters.
  if (!Transfer.link.socket || !Transfer.link.socket->ReceiveStepOut()) {
    if (IsHoldingCommand()) EndOverdueHold();
    CheckLoginTime();
  }
  if (!IsTransferActive()) return;
  if (control_ && !(Transfer.State() == XS_Listing && manager_.Settings().blockAntiTimeOut)) {
    control_->ResetTimeOut();
  }
  TransferTick(*this);
  const auto moved = static_cast<uint64_t>(Transfer.Bytes());
  if (Transfer.progressOn && moved != Transfer.lastProgressCount) {
    Transfer.lastProgressCount = moved;
    ReplyStr(kReplyTransferredBytes, Transfer.lastProgressCount);
  }
}

void RFTPSComInterp::SetTimeOuts(const RTimeOuts& limits, bool autoReset) {
  if (control_) control_->SetTimeOut(limits, autoReset);
}

void RFTPSComInterp::SetLoginTimeOuts(int32_t idleSeconds) {
  SetTimeOuts({0, 0, 0, idleSeconds > 0 ? idleSeconds : -1, 0},
              !manager_.Settings().blockAntiTimeOut);
}

// --- hooks --------------------------------------------------------------------------------

int RFTPSComInterp::RaiseHook(const RHookEventStr& event) {
  if (!Hook) return HV_CarryOn;
  const int verdict = Hook->Raise(event);
  if (verdict == HV_Hold) holdStartMs_ = manager_.Loop().Clock().NowMs();
  return verdict;
}

int RFTPSComInterp::RaiseHook(uint32_t code, std::string_view text, std::string_view text2) {
  if (!Hook) return HV_CarryOn;
  RHookEventStr e;
  e.code = code;
  e.text = std::string(text);
  e.text2 = std::string(text2);
  return RaiseHook(e);
}

// A library that never releases (it lost track, or its release was refused)
// must not leave the client waiting for ever with everything parked: past
// the limit the command is refused as if the library had answered so.
void RFTPSComInterp::EndOverdueHold() {
  if (manager_.Loop().Clock().NowMs() - holdStartMs_ < kHoldLimitMs) return;
  LogStr(LOG_SYSTEM, kLogHookNoRelease, DeferredVerb(deferredCommand_),
         static_cast<int>(kHoldLimitMs / 1000));
  (void)ReleaseHold();
  ReplyStr(kReplyHookNoAnswer);
  ReplayParked();
}

void RFTPSComInterp::ResumeDeferred(uint32_t sessionNumber) {
  if (sessionNumber != Number_ || !IsHoldingCommand()) return;
  const int verdict = Hook ? Hook->Recall() : HV_CarryOn;
  const int32_t command = ReleaseHold();
  if (verdict == HV_Reply) {
    SendText(*this, Hook->VerdictText());
  } else if (RFTPResumeFn fn = ResumeOf(command)) {
    fn(*this);
  }
  ReplayParked();
}

bool RFTPSComInterp::RunOffLoop(const std::string& key, RWorkPool::Work work,
                                std::function<void(const RWorkPool::Result&)> done) {
  // Set before the hand-over: a pool that cannot deliver later calls back
  // at once.
  workCancel_ = std::make_shared<RWorkCancel>();
  // The session outlives every call of the completion: its destructor
  // cancels the token first.
  const RWorkSubmit r =
      manager_.Pool().Submit(key, workCancel_, std::move(work),
                             [this, done = std::move(done)](const RWorkPool::Result& res) {
                               workCancel_.reset();
                               done(res);
                               if (!workCancel_ && !IsHoldingCommand()) ReplayParked();
                             });
  if (r != RWorkSubmit::Full) return true;
  workCancel_.reset();
  return false;
}

void RFTPSComInterp::CheckPassword(const std::string& password, PasswordThen then) {
  AccessQuery q = NewQuery(QC_PASSWORD);
  SetQueryAux2(q, password, Login.userArgument);
  std::optional<RPasswordWorkStr> work = manager_.BeginPasswordCheck(q);
  if (!work) {
    then(*this, q.flag != 0);
    return;
  }
  workCancel_ = std::make_shared<RWorkCancel>();
  // The manager calls back only while the token stands, and the
  // destructor cancels it first.
  manager_.QueuePasswordCheck(Connection.clientAddress, workCancel_, std::move(*work), q,
                              [this, then = std::move(then)](AccessQuery& answered) {
                                workCancel_.reset();
                                then(*this, answered.flag != 0);
                                if (!workCancel_ && !IsHoldingCommand()) ReplayParked();
                              });
}

RFTPSComInterp::StoreResume RFTPSComInterp::WaitForStore() {
  auto cancel = std::make_shared<RWorkCancel>();
  workCancel_ = cancel;
  // The store outlives every session; the token says whether this one is
  // still there (its end cancels it).
  return [this, cancel](StoreStep step) {
    if (cancel->Cancelled()) return false;
    workCancel_.reset();
    step(*this);
    if (!workCancel_ && !IsHoldingCommand()) ReplayParked();
    return true;
  };
}

void RFTPSComInterp::RegisterInCluster(const RSessionLimitsStr& limits, ClusterThen then) {
  RClusterStore* store = manager_.Cluster();
  if (store == nullptr) {
    then(*this, RClusterAdmit::Admitted);
    return;
  }
  auto cancel = std::make_shared<RWorkCancel>();
  workCancel_ = cancel;
  // The store outlives every session; the token says whether this one is
  // still there (its end cancels it).
  store->RegisterSession(
      Number(), Login.userName, Connection.clientAddress, limits,
      [this, cancel, store, number = Number(), then = std::move(then)](RClusterAdmit admit) {
        if (cancel->Cancelled()) {
          if (admit == RClusterAdmit::Admitted) store->LeaveSession(number);
          return;
        }
        workCancel_.reset();
        then(*this, admit);
        if (!workCancel_ && !IsHoldingCommand()) ReplayParked();
      });
}

bool RFTPSComInterp::AccessDataCurrent(std::function<void()> then) {
  auto cancel = std::make_shared<RWorkCancel>();
  if (manager_.AwaitAccessData(cancel, [this, then = std::move(then)] {
        workCancel_.reset();
        then();
        if (!workCancel_ && !IsHoldingCommand()) ReplayParked();
      })) {
    return true;
  }
  // Waited for like a job: a time-out or the end cancels it.
  workCancel_ = std::move(cancel);
  return false;
}

void RFTPSComInterp::EndWait() {
  if (workCancel_) workCancel_->Cancel();
  workCancel_.reset();
  if (IsHoldingCommand()) (void)ReleaseHold();
  parked_.clear();
}

void RFTPSComInterp::ReplayParked() {
  std::deque<ParkedEvent> events;
  events.swap(parked_);
  while (!events.empty()) {
    const ParkedEvent e = events.front();
    events.pop_front();
    OnSocketEvent(e.socketId, e.operation, e.status);
    // Held again: the rest waits behind the new hold, in order.
    if (IsHoldingCommand() || workCancel_) {
      parked_.insert(parked_.end(), events.begin(), events.end());
      return;
    }
  }
}

// --- queries, paths, logging -------------------------------------------------------------

AccessQuery RFTPSComInterp::NewQuery(uint32_t code, std::string_view aux) const {
  return MakeAccessQuery(code, Login.userName, Connection.localAddress, Number_, aux);
}

bool RFTPSComInterp::Ask(AccessQuery& q) {
  manager_.AnswerAccessQuery(q);
  return q.flag != 0;
}

bool RFTPSComInterp::AskFlag(uint32_t code, std::string_view aux) {
  AccessQuery q = NewQuery(code, aux);
  return Ask(q);
}

bool RFTPSComInterp::AskText(uint32_t code, std::string* answer, std::string_view aux) {
  AccessQuery q = NewQuery(code, aux);
  if (!Ask(q)) return false;
  if (answer != nullptr) *answer = std::string(QueryAux(q));
  return true;
}

const RFsSettingsStr& RFTPSComInterp::FsSettings() const {
  return manager_.Fs().Settings();
}

std::string RFTPSComInterp::ResolveClientPath(std::string_view clientPath, bool device) const {
  std::string path(clientPath);
  ResolvePath(FsSettings(), path, Login.currentDir, Login.homeDir, device, false,
              Login.relativePaths);
  return path;
}

bool RFTPSComInterp::LinesWanted(int category) const {
  if (!Connection.logged) return false;
  if (LogWanted(category)) return true;
  // The user information window shows the dialogue whatever is logged.
  return (category == LOG_COMMANDS || category == LOG_REPLIES) && manager_.UserInfoOpen();
}

std::string RFTPSComInterp::ClientPathOf(std::string_view localPath) const {
  return ToClientPath(FsSettings(), localPath, Login.homeDir, Login.relativePaths);
}

void RFTPSComInterp::LogSession(int category, std::string_view text) {
  WriteSessionLog(category, FormatStr(kLogSessionLine, Number_, text));
}

void RFTPSComInterp::WriteSessionLog(int category, const std::string& line) {
  WriteLog(category, line);
  if (category == LOG_COMMANDS || category == LOG_REPLIES) {
    // The user information view shows the client's own bytes: escaped like
    // every other log sink.
    manager_.Notify(NC_Dialogue, Number_, EscapeLogText(line));
  }
}

}  // namespace vantor
