// RFTPSComInterp: one FTP control connection from accept to close.
//
// The session reads command lines from its control socket, dispatches them
// through the command table (ftp/RFTPCommands.cpp), queues and sends reply
// lines, tracks the command state and reacts to time-outs. The server
// manager (ftp/RFTPSManager.h) creates sessions, routes their socket events
// to `OnSocketEvent` and destroys them when a session posts its removal.
//
// Contract for command handlers (this file's users in ftp/):
// - A handler gets the session and the whole command line, verb included.
// - It answers with `Reply` / `ReplyStr` (one line each; multi-line replies
//   are several calls) or with the message operations of RFTPMessages.h.
// - It asks the account store with `NewQuery` + `Ask` (or `AskFlag`,
//   `AskText`), never by reading account settings itself.
// - It turns client paths into local paths with `ResolveClientPath` and back
//   with `ClientPathOf`; both honour the user's relative-paths option.
// - It never deletes the session: `CloseAfterReplies` ends it gracefully,
//   `RequestRemoval` at once (no reply).
//
// Ownership: the manager owns sessions; a session owns its control socket,
// its transfer object (data and passive sockets, ftp/RTransfer.h), its reply
// queue, and its ratio, quota and hook objects.
//
// Thread: the event-loop thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "accounts/AccessQuery.h"
#include "accounts/RClusterStore.h"
#include "fs/RFsSettings.h"
#include "fs/RMlsxFacts.h"
#include "ftp/RSocketRoutes.h"
#include "ftp/RTransfer.h"
#include "net/RTimer.h"
#include "net/RWinSocket.h"
#include "platform/RWorkPool.h"
#include "util/RStringTable.h"

namespace vantor {

class RFTPSManager;
class RFTPRatios;
class RFTPQuota;

// Command states (numbers as stored).
enum RCommandState : int32_t {
  CS_Connected = 0,
  CS_Resolving = 1,
  CS_UserGiven = 2,
  CS_LoggedIn = 3,
  CS_RenamePending = 4,
  CS_RestartPending = 12,
  CS_AwaitingHook = 13,
  CS_Closing = 24,
};

// Commands that can wait for an event-hook verdict.
enum RDeferredCommand : int32_t {
  DC_None = 0,
  DC_Retr = 14,
  DC_Stor = 15,
  DC_Appe = 16,
  DC_Stou = 17,
  DC_Rnto = 18,
  DC_Dele = 19,
  DC_Rmd = 20,
  DC_Mkd = 21,
  DC_Cwd = 22,
  DC_Site = 23,
};

// Event codes the session raises towards the event-hook libraries.
enum RHookEventCode : uint32_t {
  HE_HostResolved = 1,
  HE_Created = 2,
  HE_Destroyed = 3,
  HE_IPRefused = 4,
  HE_TooManyUsers = 5,
  HE_WrongPasswords = 6,
  HE_TimedOut = 7,
  HE_LoggedIn = 8,
  HE_UploadProgress = 20,
  HE_DownloadProgress = 21,
};

// Hook verdicts.
enum : int { HV_CarryOn = 0, HV_Reply = 2, HV_Hold = 3 };

// One event for the event-hook libraries (the fields the raiser fills).
struct RHookEventStr {
  uint32_t code = 0;
  uint32_t second = 0;   // failure reason of transfer-end events
  uint32_t elapsed = 0;  // seconds connected (3) or transfer milliseconds
  uint64_t bytes = 0;    // bytes transferred so far
  std::string text;      // text at offset 104
  std::string text2;     // text at offset 616
};

// The session's client hook record (ftp/RFTPSHooks.cpp implements it). A
// session has none while no hook library is loaded; every event then
// carries on.
class RFTPSessionHook {
 public:
  virtual ~RFTPSessionHook() = default;
  // Calls the libraries; returns HV_Reply, HV_Hold or anything else.
  virtual int Raise(const RHookEventStr& event) = 0;
  // At release of a held command: the same record once more.
  virtual int Recall() = 0;
  // The library's text of the last HV_Reply answer (lines separated by LF).
  virtual std::string VerdictText() const = 0;
  // The event text as the libraries left it after the last call: for the
  // transfer commands a changed text names the file to use instead.
  virtual std::string EventText() const = 0;
  // The user name (and, for anonymous logins, the password) of the record.
  virtual void SetUser(std::string_view user) = 0;
  virtual void SetPassword(std::string_view password) = 0;
};

// A session's choices made with OPTS, CLNT and HOST.
struct RClientChoicesStr {
  uint32_t mlstFacts = kMlsxDefaultFacts;  // facts of MLSD and MLST (OPTS MLST)
  bool utf8 = true;                        // OPTS UTF8; names are sent as stored either way
  std::string clientName;                  // CLNT, cut to 100 characters
  bool hostChosen = false;                 // HOST picked an IP home
  uint32_t arrivalAddress = 0;             // LocalAddress(Text) before HOST picked one
  std::string arrivalAddressText;
};

// A session's TLS state (ftp/RFTPSTls.cpp).
struct RTlsSessionStr {
  // The context the control connection started with; its data connections
  // use the same one, across reloads.
  std::shared_ptr<RTlsContext> context;
  bool implicit = false;      // arrived on the implicit TLS listener
  bool startPending = false;  // AUTH answered; the handshake starts when the reply is out
  bool control = false;       // the control connection is protected
  bool pbsz = false;          // PBSZ given
  bool protP = false;         // PROT P: data connections are protected
  bool required = false;      // the account's RequireTLS
  // Loop clock: when the control connection's handshake was admitted.
  int64_t handshakeSinceMs = 0;
};

// The control connection's two ends and how the session talks and logs.
struct RSessionConnectionStr {
  int64_t connectTime = 0;
  std::string clientAddress;
  std::string hostName;  // from the reverse look-up
  bool nameResolved = false;
  uint32_t localAddress = 0;  // first octet high
  std::string localAddressText;
  bool logged = true;          // the session's lines go to the log
  bool verboseReplies = true;  // off with a password that begins with "-"
};

// Files and bytes moved by this session (finished transfers).
struct RSessionCountersStr {
  uint32_t filesUp = 0;
  uint32_t filesDown = 0;
  uint64_t bytesDown = 0;
  uint64_t bytesUp = 0;
};

// Who is logged in and what the account allows; REIN and a refused login
// start it again.
struct RSessionLoginStr {
  std::string userName;  // upper case, cut at the first at-sign; "" = none
  std::string userArgument;
  bool anonymous = false;
  int32_t wrongPasswords = 0;
  bool hideHidden = false;
  bool relativePaths = false;
  int64_t speedLimit = 0;
  std::string currentDir = "C:\\";
  std::string homeDir = "C:\\";
};

class RFTPSComInterp : public RTimer {
 public:
  static constexpr int kLineBufferSize = 512;  // line send and receive buffers
  static constexpr size_t kMaxQueuedReplies = 6000;
  static constexpr size_t kTrimmedReplies = 3000;
  // Command lines are not read while this many replies wait to be sent,
  // and reading resumes when fewer than kReadResumeReplies are left.
  static constexpr size_t kReadPauseReplies = 1000;
  static constexpr size_t kReadResumeReplies = 500;
  static constexpr int32_t kTickMs = 3000;
  // Command lines taken from one read event while nothing else waits on
  // them (fairness towards other sessions).
  static constexpr int kLinesPerRead = 64;
  // One send carries at most about this many bytes of replies.
  static constexpr size_t kFlushBytes = 64 * 1024;

  // `control` may be null: the session then keeps its replies queued (tests,
  // fuzzing). The constructor does the bookkeeping of a new connection
  // (counters, number, connect log line, hook events); admission continues
  // in `Admit`. `localAddressText` (either family) is shown for the local
  // end; empty: the dotted form of `localAddress`.
  RFTPSComInterp(RFTPSManager& manager, std::unique_ptr<RWinSocket> control,
                 std::string clientAddress, uint32_t localAddress,
                 std::string localAddressText = {});
  // Only the manager destroys sessions (RemoveSession), after EndSession.
  // The destructor only releases what the session owns.
  ~RFTPSComInterp() override;
  RFTPSComInterp(const RFTPSComInterp&) = delete;
  RFTPSComInterp& operator=(const RFTPSComInterp&) = delete;

  // --- protocol entry points -------------------------------------------------
  // Admission after the anti-hammer check: look-up when names are needed, IP
  // access, availability, greeting.
  void Admit();
  // Every socket event routed by the manager (operation and status are WS_
  // codes). `socketId` identifies the control, data or passive socket.
  void OnSocketEvent(uint32_t socketId, int operation, int status);
  // Runs `then` once the upload step on a data thread has settled; false
  // (and `then` dropped) when none is out.
  bool AfterUploadStep(std::function<void()> then);
  // Interprets one command line (Telnet commands already removed).
  void Dispatch(std::string_view line);
  // Queues one reply line. The replies of one loop pass go out together at
  // its end (FlushReplies sends them earlier where order demands it).
  void Reply(std::string_view text);
  template <typename... A>
  void ReplyStr(uint32_t id, const A&... args) {
    Reply(FormatStr(id, args...));
  }
  // Sends the queued replies now, in one send: before data-connection
  // work that must follow them on the wire.
  void FlushReplies() { SendNext(); }
  // Ends the session once the queued replies are sent. Lines already read
  // from the client are answered first ("221 Service closing ...").
  void CloseAfterReplies();
  // QUIT while a transfer is under way (RFC 959): the transfer goes on to
  // its end and reply, then `then` runs; no further line is read meanwhile.
  // False, and nothing kept, when no transfer is under way.
  bool RunAfterTransfer(std::function<void(RFTPSComInterp&)> then);
  // The transfer code's notice that a transfer ended (its reply is queued).
  void TransferEnded();
  // Data moves, or the "150" went out and the data connection is being
  // made. A passive transfer still waiting for its client has not begun.
  bool TransferUnderWay() const;
  // Posts this session's removal to the manager (at most once). No reply.
  void RequestRemoval();
  // The periodic tick (every 3000 ms): trims the reply queue, keeps the
  // control connection alive during transfers, sends progress notices.
  void OnTimer();
  // A held command released by a hook library.
  void ResumeDeferred(uint32_t sessionNumber);
  // Runs `work` on the manager's worker pool (sharing the run of a queued
  // job with the same non-empty `key`). Until `done` has run on the loop
  // thread the session waits: its socket events queue up as while a hook
  // holds a command, and are handled in order afterwards. False when the
  // pool's queue is full: nothing runs and the caller replies. A session
  // that ends meanwhile never hears of the result.
  bool RunOffLoop(const std::string& key, RWorkPool::Work work,
                  std::function<void(const RWorkPool::Result&)> done);
  bool AwaitingWork() const { return workCancel_ != nullptr; }
  // The password query for `password` (USER's and PASS's): its hash runs
  // on the pool in the manager's per-address turn, and the session waits as
  // for a job. `then` gets whether the password was accepted, on the loop
  // thread: at once when no hash was needed, never when the session ends
  // or gives up the wait first.
  using PasswordThen = std::function<void(RFTPSComInterp&, bool accepted)>;
  void CheckPassword(const std::string& password, PasswordThen then);
  // Registers the login with the cluster store (the manager's), checking
  // `limits` across every machine; the session waits as for a job. `then`
  // runs on the loop thread with the store's answer, never when the session
  // ends first (a registration that still succeeds is then taken back).
  using ClusterThen = std::function<void(RFTPSComInterp&, RClusterAdmit)>;
  void RegisterInCluster(const RSessionLimitsStr& limits, ClusterThen then);
  // Holds the session (its commands wait) for an answer of the cluster
  // store: the step given to the returned resumer runs on the loop thread,
  // unless the session ended first (the resumer then returns false). Call
  // the resumer once.
  using StoreStep = std::function<void(RFTPSComInterp&)>;
  using StoreResume = std::function<bool(StoreStep)>;
  StoreResume WaitForStore();
  // How long a library may hold a command before the session refuses it.
  static constexpr int64_t kHoldLimitMs = 120000;
  // Starts a reverse look-up of the client address unless one runs (the
  // session query for the host name).
  void LookUpHostName();
  // Implicit TLS: the handshake runs first, admission follows it.
  void StartImplicitTls();
  // True (after the 521 reply) when `line` would open a clear-text data
  // connection for an account that requires TLS.
  bool RefusedClearData(std::string_view line);
  // Sets the control connection's time-outs for the login phase: `idle`
  // seconds of receive limit (<= 0: none).
  void SetLoginTimeOuts(int32_t idleSeconds);

  // --- access queries ---------------------------------------------------------
  // A query record with code, user name, local address and session number.
  AccessQuery NewQuery(uint32_t code, std::string_view aux = {}) const;
  // Sends the query to the main window; true when answered (flag != 0).
  bool Ask(AccessQuery& q);
  bool AskFlag(uint32_t code, std::string_view aux = {});
  // True and `answer` = aux when answered.
  bool AskText(uint32_t code, std::string* answer, std::string_view aux = {});

  // --- paths ------------------------------------------------------------------
  // Client path to local path against the current and home directories.
  std::string ResolveClientPath(std::string_view clientPath, bool device = false) const;
  // Local path as the client sees it.
  std::string ClientPathOf(std::string_view localPath) const;

  // --- logging ------------------------------------------------------------------
  // "(%06u) " + text in `category`, when this session is logged.
  void LogSession(int category, std::string_view text);
  // String `id` (which begins "(%06u) ") with the session number and `args`,
  // when this session is logged.
  template <typename... A>
  void LogStr(int category, uint32_t id, const A&... args) {
    if (LinesWanted(category)) WriteSessionLog(category, FormatStr(id, Number_, args...));
  }
  // The session's lines are logged and someone takes lines of `category`
  // (no formatting for lines that would go nowhere).
  bool LinesWanted(int category) const;
  // A complete line; commands and replies also go to the front end.
  void WriteSessionLog(int category, const std::string& line);
  // Raises a hook event (HV_CarryOn without hook libraries).
  int RaiseHook(const RHookEventStr& event);
  int RaiseHook(uint32_t code, std::string_view text = {}, std::string_view text2 = {});

  // --- observers ------------------------------------------------------------------
  RFTPSManager& Manager() const { return manager_; }
  // The file settings in force (the manager's file services). Loop thread.
  const RFsSettingsStr& FsSettings() const;
  RWinSocket* Control() const { return control_.get(); }
  uint32_t Number() const { return Number_; }
  // Replies waiting to be sent, oldest first.
  const std::deque<std::string>& QueuedReplies() const { return replies_; }
  std::deque<std::string> TakeQueuedReplies();
  bool RemovalRequested() const { return removalPosted_; }
  bool IsTransferActive() const { return Transfer.Moving(); }
  // Seconds since the connect time.
  int64_t SecondsConnected() const;
  // The command line the session is running now, as it may be shown
  // (passwords of PASS, ACCT and SITE PSWD masked, at most 159 characters);
  // "" between commands. Set when the line is dispatched, cleared when its
  // final reply is queued: a transfer's command stays until its 226 or 4xx.
  const std::string& CurrentCommand() const { return currentCommand_; }
  // --- command state ---------------------------------------------------------------
  // The state is changed only through these transitions. Closing is a flag
  // of its own: the state the session had when it began to close is kept
  // (the closing log line asks whether it was logged in).
  //
  // The state as reported: CS_Closing once the session is closing.
  int32_t CommandState() const { return closing_ ? CS_Closing : commandState_; }
  // Logged in and not closing (also with a rename, restart or held command
  // pending). The one place that decides what "logged in" means.
  bool IsLoggedIn() const;
  bool IsClosing() const { return closing_; }
  // A hook library holds a command (not while closing: the session must be
  // able to send its last replies and go).
  bool IsHoldingCommand() const { return !closing_ && commandState_ == CS_AwaitingHook; }
  // The held command (RDeferredCommand), DC_None when nothing is held.
  int32_t HeldCommand() const { return deferredCommand_; }
  // Back to "no user": after a refused USER or PASS, REIN, or AUTH.
  void ResetLogin() { SetCommandState(CS_Connected); }
  // USER accepted, PASS expected.
  void EnterUserGiven() { SetCommandState(CS_UserGiven); }
  // Logged in; also the way back from a pending rename, restart or hold.
  void EnterLoggedIn() { SetCommandState(CS_LoggedIn); }
  // RNFR and REST accepted: the next command may complete them.
  void ExpectRename() { SetCommandState(CS_RenamePending); }
  void ExpectRestart() { SetCommandState(CS_RestartPending); }
  // A hook library holds `deferred` (RDeferredCommand) until it releases it.
  void HoldCommand(int32_t deferred);
  // After a change of the user name or the local address: the manager's
  // per-account and per-address counts follow (the command state, closing
  // and removal tell it themselves).
  void Recount();

  // --- fields (the engine's shared record of one session) --------------------------
  RSessionConnectionStr Connection;
  RSessionLoginStr Login;
  RSessionCountersStr Counters;
  // The data connection, its transfer and the client's data choices.
  RTransfer Transfer;
  std::string SiteArgument;
  std::unique_ptr<RFTPRatios> Ratio;
  std::unique_ptr<RFTPQuota> Quota;
  std::unique_ptr<RFTPSessionHook> Hook;
  // What the client chose with OPTS, CLNT and HOST (ftp/RFTPSFeat.cpp).
  RClientChoicesStr Choices;
  RTlsSessionStr Tls;

 protected:
  void Expired() override { OnTimer(); }

 private:
  friend class RFTPSManager;

  // The end of the session while it is still registered (RemoveSession):
  // ends a transfer with its reply and log line (the reply is not sent),
  // counts the session down, logs the closing line, tells the hook
  // libraries and the account store. Nothing is queued for sending after it.
  void EndSession();
  // While the admission's host look-up runs.
  void EnterResolving() { SetCommandState(CS_Resolving); }
  // Ends a hold: logged in again; returns the command that was held.
  int32_t ReleaseHold();

  void OnControlEvent(int operation, int status);
  void ReadLine();
  // Ends a session not yet logged in that receives a PROXY header (a
  // "PROXY" line, or the three empty lines the binary form reads as).
  bool UntrustedProxySignature(std::string_view line);
  void PostReadEvent();
  bool TakesFurtherLines() const;
  void SendNext();
  // Puts the session on the manager's list for the pass-end send.
  void QueueFlush();
  void ContinueAdmission();
  void StartLookup();
  void OnLookupDone(int status);
  void OnControlTls(int status);
  void StartPendingTls();
  void ReplayParked();
  // Before a command (and admission): true when the account data is current.
  // Otherwise another program changed the configuration file and it is read
  // on a worker; the session waits as for a job, and `then` runs (followed
  // by what was parked meanwhile) once the new content is in.
  bool AccessDataCurrent(std::function<void()> then);
  // Gives up a job's or a hold's wait (its result is dropped) and what was
  // parked behind it: the session ends next.
  void EndWait();
  void EndOverdueHold();
  bool TooManyNotLoggedIn() const;
  void CheckLoginTime();
  bool DispatchLoggedIn(std::string_view line);
  void SetTimeOuts(const RTimeOuts& limits, bool autoReset);
  void SetCommandState(int32_t state);

  // What the manager's counters count this session under, so that a change
  // takes away exactly what was added (RFTPSManager::SessionChanged).
  struct RCountedStr {
    bool registered = false;
    bool preLogin = false;  // not logged in, not closing, no removal asked
    std::string name;       // the user name in lower case
    uint32_t local = 0;     // Connection.localAddress
  };
  RCountedStr counted_;

  RFTPSManager& manager_;
  std::unique_ptr<RWinSocket> control_;
  int32_t commandState_ = CS_Connected;
  std::string currentCommand_;
  int32_t deferredCommand_ = DC_None;
  bool closing_ = false;  // CloseAfterReplies ran; never cleared
  std::deque<std::string> replies_;
  std::string sendBuffer_;    // the replies going out now (SendLines' buffer)
  bool flushQueued_ = false;  // on the manager's list for the pass-end flush
  uint32_t Number_ = 0;
  bool removalPosted_ = false;
  bool ended_ = false;  // EndSession ran
  // A QUIT waiting for the transfer under way (RunAfterTransfer).
  std::function<void(RFTPSComInterp&)> afterTransfer_;
  bool readPaused_ = false;      // back-pressure: reply queue full
  bool readPostFailed_ = false;  // the next line's event is still to be posted
  // Empty lines before the first other one (-1 once a line had text): a
  // binary PROXY header reads as three of them.
  int32_t leadingEmptyLines_ = 0;
  int64_t notLoggedInSinceMs_ = -1;  // loop clock; -1 while logged in
  bool lookupForAdmission_ = false;
  bool lookupRunning_ = false;
  char lookupBuffer_[160] = {};
  struct ParkedEvent {
    uint32_t socketId;
    int operation;
    int status;
  };
  std::deque<ParkedEvent> parked_;
  int64_t holdStartMs_ = 0;    // monotonic time of the last hold verdict
  RWorkCancelPtr workCancel_;  // set while a job of this session runs
};

}  // namespace vantor
