// RFTPSManager: the server object. It owns the listeners, the sessions, the
// IP homes, the anti-hammer sets and the message-file table; it brings the
// server on-line and off-line, accepts control connections and runs the
// admission sequence that ends with the greeting.
//
// It also owns "the main window" of the event bus: one window of the loop
// (MainWindow()) that receives the messages of ftp/RBusMessages.h: session
// and listener socket events, removal requests, access queries, session
// queries, the front end's messages and hook releases. Ratio and quota
// objects and the socket trace address it.
//
// Starting a server on a loaded configuration (see docs/ftp.md):
//
//   RFTPSManager server(loop, frontEnd, iniPath, securityOff, layer);
//   server.SetAccessHandler([&](AccessQuery& q) {
//     HandleAccessQueryMessage(store, !securityOff, q);
//   });
//   server.ApplySettings();   // reads [GLOBAL], IP homes, messages; listens
//   loop.Run();
//
// Thread: the loop thread only. Destroy the manager before the socket layer.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "accounts/AccessQuery.h"
#include "accounts/RClusterStore.h"
#include "accounts/RListRules.h"
#include "accounts/RPasswordHash.h"
#include "accounts/RPathProbe.h"
#include "accounts/RSKey.h"
#include "config/RGlobalSettings.h"
#include "fs/RFsPathProbe.h"
#include "fs/RFsServices.h"
#include "ftp/RAntiHammer.h"
#include "ftp/RFTPMessages.h"
#include "ftp/RFrontEnd.h"
#include "ftp/RIPHomes.h"
#include "ftp/RMetrics.h"
#include "ftp/RSocketRoutes.h"
#include "ftp/RUploadRecords.h"
#include "ftp/RXferLog.h"
#include "net/RProxyHeader.h"
#include "net/RTimer.h"
#include "net/RTlsContext.h"
#include "net/RWinSocket.h"
#include "platform/RMessageLoop.h"
#include "platform/RThreadChecker.h"
#include "platform/RWorkPool.h"

namespace vantor {

class RFTPEventHandler;
class RFTPSComInterp;
class RIniFile;

// Server-wide counters; the manager owns them.
struct ServerStats {
  uint32_t ConnectionsNow = 0;
  uint32_t AnonymousNow = 0;
  uint32_t LoginsTotal = 0;
  uint32_t NextSessionNumber = 1;
  std::array<uint32_t, 24> ConnectionsPerHour{};
  int32_t CurrentHourSlot = -1;
  int64_t StartTime = 0;
  // Kilobytes derived from the byte totals: files under 1 KiB count too.
  double KBytesUploaded = 0;
  double KBytesDownloaded = 0;
  uint64_t BytesUploaded = 0;
  uint64_t BytesDownloaded = 0;
  int32_t FilesUploaded = 0;
  int32_t FilesDownloaded = 0;
  int32_t UploadsActive = 0;
  int32_t DownloadsActive = 0;
};

// The clock as the engine reads it: below 1 it is 315550800 (1 January 1980,
// 05:00 UTC).
int64_t EngineNow(int64_t wallSeconds);

// Counts the hourly bucket of a connection made at hour `h` (0..23).
void CountConnectionHour(ServerStats& stats, int h);

// A listener: the socket and the address text it is bound to ("" = all).
struct RManSockStr {
  std::unique_ptr<RWinSocket> socket;
  std::string address;
  bool implicitTls = false;  // the TLS handshake comes first (TLSImplicitPortNr)
};

// Session information query records (MSG_SESSION_QUERY, and the typed
// RFTPSManager::Session... calls).
enum RSessionQueryCode : uint32_t {
  SQ_Count = 0,
  SQ_List = 1,
  SQ_Summary = 2,
  SQ_WindowOpen = 6,
  SQ_Timing = 12,
  SQ_HostName = 13,
  SQ_Traffic = 14,
};
struct RSessionListStr {
  uint32_t count = 0;  // in: capacity, out: entries filled
  uint32_t* numbers = nullptr;
};
struct RSessionSummaryStr {
  uint32_t session = 0;
  uint32_t found = 0;
  int32_t hour = 0, minute = 0, second = 0;
  int32_t percent = 0;
  char user[40] = {};
  char client[46] = {};  // room for the longest IPv6 text
  int32_t transferState = 0;
  int64_t transferBytes = 0;
  char file[512] = {};
  // The control connection's TLS protocol and cipher ("" while it is clear)
  // and whether its data connections are protected (PROT P).
  char tlsProtocol[16] = {};
  char tlsCipher[64] = {};
  uint32_t protP = 0;
};
struct RSessionTimingStr {
  uint32_t session = 0;
  uint32_t found = 0;
  int32_t hours = 0, minutes = 0, seconds = 0;
  int32_t idleHours = 0, idleMinutes = 0, idleSeconds = 0;
  int64_t rate = -1;
};
struct RSessionHostStr {
  uint32_t session = 0;
  uint32_t found = 0;
  uint32_t resolved = 0;
  char host[512] = {};
};
struct RSessionTrafficStr {
  uint32_t session = 0;
  uint32_t found = 0;
  uint64_t bytesSent = 0;
  uint64_t bytesReceived = 0;
  char text[512] = {};
};

struct RProxyIntakeStr;  // ftp/RFTPSProxyIntake.h

class RFTPSManager : public RTimer {
 public:
  using AccessHandler = std::function<void(AccessQuery&)>;

  // `loop`, `frontEnd` and `layer` (nullptr: the process-wide layer) are not
  // owned and must outlive the manager. Nothing listens until
  // ApplySettings() (or UpdateListeners()).
  RFTPSManager(RMessageLoop& loop, RFrontEnd& frontEnd, std::string iniPath, bool securityOff,
               RSocketLayer* layer = nullptr);
  ~RFTPSManager() override;
  RFTPSManager(const RFTPSManager&) = delete;
  RFTPSManager& operator=(const RFTPSManager&) = delete;

  // --- wiring ---------------------------------------------------------------------
  // Answers ACCESS_QUERY_MESSAGE. Without a handler every query is refused
  // (flag 0), or allowed when security is off.
  void SetAccessHandler(AccessHandler handler) { access_ = std::move(handler); }
  // Makes the data the access handler reads current without holding the
  // loop (RIniFile::RefreshOffLoop on `pool`): true when it is; false when
  // it is being read on a worker and `ready` runs once it has been taken in.
  using AccessDataWait = std::function<bool(RWorkPool& pool, const RWorkCancelPtr& cancel,
                                            std::function<void()> ready)>;
  void SetAccessDataWait(AccessDataWait wait) { accessWait_ = std::move(wait); }
  // What a session asks before a command and before admission (true at once
  // without a handler). Loop thread.
  [[nodiscard]] bool AwaitAccessData(const RWorkCancelPtr& cancel, std::function<void()> ready) {
    return !accessWait_ || accessWait_(Pool(), cancel, std::move(ready));
  }
  // The password query in two steps, so that its hash runs on the pool
  // (RFTPSSecurity::BeginPassword and FinishPassword). Without them a
  // password query is answered like any other.
  using PasswordBegin = std::function<std::optional<RPasswordWorkStr>(AccessQuery&)>;
  using PasswordFinish = std::function<void(AccessQuery&, const RPasswordWorkStr&, RPasswordCheck)>;
  void SetPasswordHandlers(PasswordBegin begin, PasswordFinish finish) {
    passwordBegin_ = std::move(begin);
    passwordFinish_ = std::move(finish);
  }
  // Whether an access rule of (user, IP home) names a directory or a path
  // inside it (renaming or removing it would change the rule's meaning).
  // Without a handler (security off) no rule does.
  using RuleScopeHandler =
      std::function<bool(std::string_view user, uint32_t address, std::string_view localDir)>;
  void SetRuleScopeHandler(RuleScopeHandler handler) { ruleScope_ = std::move(handler); }
  // The account store's S/KEY records, for the cluster store to keep
  // (RFTPSSecurity::SKeyRecordFor, SetSharedSKey, TakeSKeyUse). Without
  // them the records stay the INI file's.
  struct RSKeyShareStr {
    std::function<std::optional<RSKeyRecordStr>(AccessQuery&)> record;
    std::function<void(const std::string& account, const std::string& record)> install;
    std::function<std::optional<RSKeyUseStr>(uint32_t session)> takeUse;
  };
  void SetSKeyShare(RSKeyShareStr share) { skeyShare_ = std::move(share); }
  const RSKeyShareStr& SKeyShare() const { return skeyShare_; }
  // The account store's passwords, for the cluster store to keep
  // (RFTPSSecurity::PasswordAccountFor, SetSharedPassword,
  // PreparePasswordChange, CommitPasswordChange). Without them passwords
  // stay the INI file's.
  struct RPasswordShareStr {
    std::function<std::optional<std::string>(AccessQuery&)> account;
    std::function<void(const std::string& account, const std::optional<std::string>& stored)>
        install;
    std::function<std::optional<RPasswordChangeStr>(AccessQuery&)> prepare;
    std::function<bool(const RPasswordChangeStr&)> commit;
  };
  void SetPasswordShare(RPasswordShareStr share) { passwordShare_ = std::move(share); }
  const RPasswordShareStr& PasswordShare() const { return passwordShare_; }
  bool RulesNameInside(std::string_view user, uint32_t address, std::string_view localDir) const {
    return ruleScope_ && ruleScope_(user, address, localDir);
  }
  // The file-access rules of (user, IP home) for a worker to judge paths
  // with itself. Without a handler (or a null answer) a worker hands each
  // question to the loop thread instead.
  using ListRulesHandler =
      std::function<std::shared_ptr<const RListRules>(std::string_view user, uint32_t address)>;
  void SetListRulesHandler(ListRulesHandler handler) { listRules_ = std::move(handler); }
  std::shared_ptr<const RListRules> ListRules(std::string_view user, uint32_t address) const {
    return listRules_ ? listRules_(user, address) : nullptr;
  }
  // Whether the account store's name-matching switch is on, so that client
  // host names are looked up before admission. Without a handler (security
  // off) it never is.
  using NameMatchingHandler = std::function<bool()>;
  void SetNameMatchingHandler(NameMatchingHandler handler) { nameMatching_ = std::move(handler); }
  bool IPNameMatchingOn() const { return nameMatching_ && nameMatching_(); }
  // The event-hook handler new sessions get (nullptr: none). Sessions get a
  // hook record only while it has libraries, and keep a share of it for
  // their whole life, so replacing it never unloads a library in use.
  void SetEventHandler(std::shared_ptr<RFTPEventHandler> handler) { hooks_ = std::move(handler); }
  const std::shared_ptr<RFTPEventHandler>& EventHandler() const { return hooks_; }
  // File sizes and directories for ratio and quota objects (not owned).
  void SetPathProbe(const RPathProbe* probe) { probe_ = probe; }
  // The sign-on/sign-off lookup the account store answers codes 46 and 47 with.
  bool LookupMessageFile(bool signOn, uint32_t address, std::string& file) const;

  // --- settings and listeners ---------------------------------------------------------
  // Re-reads [GLOBAL], the IP homes and [SIGNONOFF], then UpdateListeners().
  void ApplySettings();
  void UpdateListeners();
  // Stores the on-line switch; returns whether the server is now on-line
  // (a listener exists and the switch is on) and reports it (status 7).
  bool SetOnline(bool on);
  // The "On-line" command of the front end.
  void ToggleOnline();
  bool Online() const;
  // The switch alone (a session that was accepted had a listener).
  bool OnlineSwitch() const { return online_; }
  void SetExitPending(bool pending);
  bool ExitPending() const { return exitPending_; }

  // --- events ----------------------------------------------------------------------------
  void OnListenerEvent(uint32_t socketId, int operation, int status);
  // One look-up in the routes finds the session (or intake) of the socket;
  // an event of a socket that is gone finds nothing and is dropped.
  void RouteSocketEvent(uintptr_t wParam, intptr_t lParam);
  void RemoveSession(uint32_t sessionNumber);
  // After a reload of the account data: every logged-in session whose
  // account is disabled or gone (no home directory to log in to) or whose
  // address the rules now refuse is killed, as from the administration
  // window (its removal is posted; nothing more is sent to the client).
  void EndSessionsNoLongerAdmitted();
  void ResumeDeferred(uint32_t sessionNumber);

  // --- session information (the user information window) ----------------------------
  // The same answers as the bus query MSG_SESSION_QUERY, typed. A record is
  // empty (nullopt) when no session has that number.
  uint32_t SessionCount() const;
  std::vector<uint32_t> SessionNumbers() const;  // in the order sessions were admitted
  std::optional<RSessionSummaryStr> SessionSummary(uint32_t session) const;
  std::optional<RSessionTimingStr> SessionTiming(uint32_t session) const;
  // Starts a look-up of the host name when it is not known yet (resolved 0);
  // a later query shows it.
  std::optional<RSessionHostStr> SessionHost(uint32_t session);
  std::optional<RSessionTrafficStr> SessionTraffic(uint32_t session) const;
  // The same records of a session at hand (a whole list without a search
  // per session).
  RSessionSummaryStr SessionSummary(const RFTPSComInterp& session) const;
  RSessionTimingStr SessionTiming(const RFTPSComInterp& session) const;
  RSessionTrafficStr SessionTraffic(const RFTPSComInterp& session) const;
  // Whether the user information window is open (SQ_WindowOpen).
  void SetSessionWindowOpen(bool open);

  // --- for sessions -------------------------------------------------------------------------
  // Sessions whose user name equals `name` (any case; "" = all) on local
  // address `address` (0 = all). Kept as counts, not counted on asking.
  int CountSessions(std::string_view name, uint32_t address) const;
  // Sessions with this client address (exact text) and user name (any case).
  int CountLoginsFrom(std::string_view clientAddress, std::string_view name) const;
  // A session's user name, local address, command state, closing or removal
  // changed: its counts move from what they were to what they are now.
  void SessionChanged(RFTPSComInterp& s);
  // The routes of every session socket and intake (loop thread).
  RSocketRoutes& Routes() { return routes_; }
  const RSocketRoutes& Routes() const { return routes_; }
  // A control connection's TLS handshake was admitted (AUTH answered, or
  // the implicit port's handshake began) / is over (done, failed, or the
  // session goes). Only these sessions are looked at for the cap.
  void HandshakeAdmitted(RFTPSComInterp& s) { handshakes_.insert(&s); }
  void HandshakeOver(RFTPSComInterp& s) { handshakes_.erase(&s); }
  // A session whose removal message the full queue refused: the tick
  // removes it.
  void RemoveLater(uint32_t sessionNumber) { removeLater_.push_back(sessionNumber); }
  void AnswerAccessQuery(AccessQuery& q);
  // A session's password query (QC_PASSWORD): answered in `q` at once
  // (nullopt), or the hash that decides it.
  std::optional<RPasswordWorkStr> BeginPasswordCheck(AccessQuery& q);
  // Computes `work` on the pool and completes `q` with it; `done` then gets
  // the answered record on the loop thread, unless `cancel` was cancelled
  // first. At most kPasswordChecksPerAddress checks of one client address
  // are out at a time; the others wait in the order they came, so a flood
  // of wrong passwords from one address costs at most that many workers
  // and a busy office behind one address is served in turn, not refused.
  void QueuePasswordCheck(const std::string& client, RWorkCancelPtr cancel, RPasswordWorkStr work,
                          const AccessQuery& q, std::function<void(AccessQuery&)> done);
  static constexpr int kPasswordChecksPerAddress = 2;
  // The same from a worker thread: the question is handed to the loop
  // thread, which answers it in its next pass, and the worker waits. The
  // loop never waits for a worker, so a worker descheduled on a busy
  // machine cannot stall every session.
  void AnswerAccessQueryOffLoop(AccessQuery& q);
  // Many questions in one hand-over (a listing's block of entries). The loop
  // answers a bounded number per turn, so a big block never holds it long.
  void AnswerAccessQueriesOffLoop(AccessQuery* queries, size_t count);
  // Whether a worker waits for an answer to a question (any thread).
  bool WorkerQuestionsWaiting() const;
  // The pool for blocking file work (`WorkerThreads`, `WorkerQueue`),
  // made at first use. Loop thread.
  RWorkPool& Pool();
  // The pool if one was made and not retired since (nullptr otherwise): where
  // the account store's deferred counter writes go, so that they never make
  // a pool of their own.
  RWorkPool* PoolIfMade() const { return pool_.get(); }
  void Notify(uint32_t code, uint32_t session, std::string_view text = {});
  bool UserInfoOpen() const { return userInfoOpen_; }
  void SessionDestroyed();  // after a session was freed
  // `s` has replies waiting: they go out at the end of the loop's pass, in
  // one send per session. `DropReplyFlush` forgets a session that goes.
  void QueueReplyFlush(RFTPSComInterp& s) { flushWaiting_.push_back(&s); }
  void DropReplyFlush(RFTPSComInterp& s);

  RMessageLoop& Loop() const { return loop_; }
  RSocketLayer* Layer() const { return layer_; }
  RWindowId MainWindow() const { return window_; }
  RFrontEnd& FrontEnd() const { return frontEnd_; }
  const std::string& IniPath() const { return iniPath_; }
  // The transfer log, configured from the file at start and on reload.
  const RXferLog& XferLog() const { return xferLog_; }
  void SetXferLogGate(std::function<bool(const std::string&)> gate) {
    xferLog_.SetPathGate(std::move(gate));
  }
  RIniFile& Ini() { return *ini_; }
  bool SecurityOff() const { return securityOff_; }
  // The shared store of a cluster (`[CLUSTER]`), null without one. It lives
  // as long as the manager.
  RClusterStore* Cluster() const { return cluster_.get(); }
  const RGlobalSettings& Settings() const { return settings_; }
  // The TLS context of new sessions; nullptr while TLS is off (no
  // certificate configured, or it did not load).
  const std::shared_ptr<RTlsContext>& TlsContext() const { return tls_; }
  // Whether one more control connection may start a TLS handshake: fewer
  // than `TLSMaxHandshakes` are in progress (AUTH answered or handshaking),
  // or the oldest of those that have run kSilentHandshakeMs without
  // finishing was ended to make room. A refusal is logged once until the
  // count has dropped below the cap.
  bool AdmitTlsHandshake();
  int32_t TlsHandshakesNow() const;
  static constexpr int64_t kSilentHandshakeMs = 1000;
  // Connections from `client` not logged in (handshakes in progress
  // included), `except` not counted: what `MaxPreLoginPerIP` bounds. A count
  // kept per address.
  int NotLoggedInFrom(std::string_view client, const RFTPSComInterp* except = nullptr) const;
  // Host names are looked up after admission for the log (LogIPNames or
  // LogFileIPNames); the front end sets it from the logger.
  void SetHostNameLogging(bool on) { hostNameLogging_ = on; }
  bool HostNameLogging() const { return hostNameLogging_; }
  // The next tick re-reads the settings.
  void RequestSettingsReload() { reloadRequested_ = true; }
  const std::vector<RIPHomeStr>& IPHomes() const { return homes_; }
  // Whether connections from this address must begin with a PROXY header.
  bool IsProxySource(std::string_view peer) const { return ProxySourceListed(proxySources_, peer); }
  // Where the next passive port search in `PassivePortRange` starts: every
  // session continues from where the last one stopped, so ports are handed
  // out in turn and a freed port is not taken again at once.
  uint32_t& PassivePortCursor() { return passiveCursor_; }
  RFTPMessages& Messages() { return messages_; }
  RAntiHammer& AntiHammer() { return hammer_; }
  // An administrator's unblock: lifted here and, with the cluster store, on
  // every machine. False when this machine had no block for it.
  bool LiftBlock(const std::string& address);
  // An administrator's block of `seconds`: made here and, with the cluster
  // store, on every machine (a longer one already in force stands).
  void AddBlock(const std::string& address, int64_t seconds);
  // The server's counters (connections, logins, transfers). Loop thread.
  ServerStats& Stats() { return stats_; }
  const ServerStats& Stats() const { return stats_; }
  // The counters of /metrics (ftp/RMetrics.h). Loop thread.
  RMetrics& Metrics() { return metrics_; }
  const RMetrics& Metrics() const { return metrics_; }
  // The uploads clients may resume (the hourly purges due run first).
  RUploadRecords& UploadRecords() {
    uploads_.PurgeDue(Now());
    return uploads_;
  }
  // The file services: settings, path resolution's drive table, the
  // directory cache. Loop thread (the cache and a settings snapshot may be
  // used from a worker).
  RFsServices& Fs() { return fs_; }
  const RFsServices& Fs() const { return fs_; }
  const RPathProbe* PathProbe() const { return probe_; }
  // The installed probe, else one on the file services' drive table.
  const RPathProbe& ProbeOrDefault() const;
  int64_t Now() const;
  // In the order they were admitted.
  using SessionList = std::list<std::unique_ptr<RFTPSComInterp>>;
  const SessionList& Sessions() const {
    VANTOR_CHECK_THREAD(thread_, "the session registry (RFTPSManager)");
    return sessions_;
  }
  // By number, one look-up.
  RFTPSComInterp* FindSession(uint32_t number) const;
  const std::vector<RManSockStr>& Listeners() const { return listeners_; }
  // The port actually listened on (PortNr, or the one picked for port 0).
  uint16_t ListeningPort() const;
  // A session without a socket (tests and fuzzing): created, counted and
  // admitted like an accepted one, replies stay queued.
  RFTPSComInterp* CreateDetachedSession(std::string clientAddress, uint32_t localAddress);
  // Runs the 1000 ms tick now.
  void Tick();

 protected:
  void Expired() override { Tick(); }

 private:
  intptr_t HandleMessage(const RMsg& m);
  // MSG_SESSION_QUERY: decodes the code and record address into the typed
  // calls above; returns 1 when answered.
  intptr_t AnswerSessionQuery(uint32_t code, intptr_t record);
  void Accept(RManSockStr& listener);
  // Anti-hammering, then a session for `client` (the peer, or the client a
  // PROXY header named); on the implicit TLS port the handshake comes first.
  void AdmitConnection(std::unique_ptr<RWinSocket> socket, std::string client, bool implicitTls);
  // A connection from a `ProxyProtocolFrom` address: its PROXY header is
  // read (ftp/RFTPSProxyIntake.*) before anything is sent to it.
  void StartProxyIntake(std::unique_ptr<RWinSocket> socket, std::string peer, bool implicitTls);
  void OnProxyIntakeEvent(uint32_t socketId, int operation, int status);
  void ReadProxyHeader(RProxyIntakeStr& intake);
  void EndProxyIntake(uint32_t socketId, uint32_t logId);
  [[nodiscard]] WsStatus CreateListener(const std::string& address, bool reuse, uint16_t port,
                                        std::unique_ptr<RWinSocket>& out);
  void LoadTls();
  // A listener that could not be created yet: retried every few seconds
  // until it binds (the port may be held by another program for a while).
  struct RPendingListenStr {
    std::string address;
    int64_t nextTryMs = 0;  // loop clock
    int64_t lastLogMs = 0;  // when its failure was last logged
    int32_t failures = 0;
    WsStatus last = WS_OK;
    bool recovery = false;  // re-creating a listener that failed while running
    bool implicitTls = false;
  };
  void TryListen(RPendingListenStr pending);
  void RetryPending();
  void LogListenFailure(const RPendingListenStr& p);
  void FinishListenerUpdate();
  void ReportWaiting();
  void ReportListener(const RManSockStr& listener);
  void ReportListeners();
  void ListenerFailed(size_t index);
  void SendStatus(uint32_t kind, int32_t value, int32_t value2 = 0);
  void ApplyHammerSettings();
  void RetirePool();
  void ForgetDataPool();
  void FlushReplies();  // the loop's pass-end callback
  bool EndSilentHandshake();
  // Password checks of one client address: how many are on the pool, and
  // the ones waiting for their turn.
  struct RPasswordJobStr {
    RWorkCancelPtr cancel;
    RPasswordWorkStr work;
    AccessQuery query;
    std::function<void(AccessQuery&)> done;
  };
  struct RPasswordLaneStr {
    int out = 0;
    std::deque<RPasswordJobStr> waiting;
  };
  void StartPasswordChecks(const std::string& client);
  // Puts a new session on the list, in the number index and in the counts.
  RFTPSComInterp* Register(std::unique_ptr<RFTPSComInterp> session);
  void AddCounts(const RFTPSComInterp& s, int delta);
  void PasswordChecked(const std::string& client, RPasswordJobStr& job, RPasswordCheck result);

  RMessageLoop& loop_;
  RFrontEnd& frontEnd_;
  RSocketLayer* layer_;
  std::string iniPath_;
  RXferLog xferLog_;
  std::unique_ptr<RIniFile> ini_;
  bool securityOff_;
  RWindowId window_ = 0;
  AccessHandler access_;
  AccessDataWait accessWait_;
  RuleScopeHandler ruleScope_;
  ListRulesHandler listRules_;
  NameMatchingHandler nameMatching_;
  PasswordBegin passwordBegin_;
  PasswordFinish passwordFinish_;
  std::unordered_map<std::string, RPasswordLaneStr> passwordLanes_;
  // The pool's token for password checks: never cancelled, so that every
  // check that ran gives its slot back even when its session has gone.
  RWorkCancelPtr passwordCancel_ = std::make_shared<RWorkCancel>();
  const RPathProbe* probe_ = nullptr;
  // Declared before the pools: a listing still running on a worker uses the
  // cache until the pool is gone.
  RFsServices fs_;
  RFsPathProbe defaultProbe_{fs_};

  RGlobalSettings settings_;
  std::shared_ptr<RTlsContext> tls_;
  bool hostNameLogging_ = true;
  bool reloadRequested_ = false;
  std::vector<RIPHomeStr> homes_;
  uint32_t passiveCursor_ = 0;
  std::vector<RManSockStr> listeners_;
  std::vector<RPendingListenStr> pending_;
  std::string waitText_;  // what the front end was last told by OnListenWait
  bool listenersChanged_ = false;
  bool outOfDescriptors_ = false;  // an accept failed for want of descriptors
  bool tlsBusyLogged_ = false;     // handshakes were refused at TLSMaxHandshakes
  // Declared before the sessions: their data sockets unroute themselves.
  RSocketRoutes routes_;
  SessionList sessions_;
  std::unordered_map<uint32_t, SessionList::iterator> byNumber_;
  // The counts CountSessions, CountLoginsFrom and NotLoggedInFrom answer
  // from; keys hold user names in lower case. An entry at 0 is erased.
  std::unordered_map<std::string, int> preLoginFrom_;  // client address
  std::unordered_map<std::string, int> loginsFrom_;    // client '\n' name
  std::unordered_map<std::string, int> byName_;        // name
  std::unordered_map<std::string, int> byLocalName_;   // local '\n' name
  std::unordered_map<uint32_t, int> byLocal_;          // local address
  std::unordered_set<RFTPSComInterp*> handshakes_;
  std::vector<uint32_t> removeLater_;
  // The session list and maps are the loop's: every entry point to them
  // asserts on this.
  [[no_unique_address]] RThreadChecker thread_;
  // A reload that changes the pool's size retires the pool: it finishes
  // and delivers what it was given, and goes once idle.
  std::unique_ptr<RWorkPool> pool_;
  std::vector<std::unique_ptr<RWorkPool>> retiredPools_;
  // Workers' questions waiting for the loop thread (MSG_WORKER_QUESTIONS).
  // Set while the manager goes (under questionsMu_): a waiting worker gets
  // a refusal, and no new question is taken.
  struct WorkerQuestion {
    AccessQuery* queries;
    size_t count;
    size_t done = 0;  // answered so far (loop thread only)
    bool answered = false;
  };
  static constexpr size_t kQuestionsPerTurn = 64;
  void AnswerWorkerQuestions();
  mutable std::mutex questionsMu_;
  std::condition_variable questionsCv_;
  std::vector<WorkerQuestion*> questions_;
  bool closing_ = false;
  std::vector<RFTPSComInterp*> flushWaiting_;
  uint64_t passEnd_ = 0;
  std::vector<RProxySourceStr> proxySources_;
  std::unordered_map<uint32_t, std::unique_ptr<RProxyIntakeStr>> intakes_;
  RAntiHammer hammer_;
  // Blocks made by the other machines, read from the cluster store every
  // tick (one read at a time).
  bool blockFetchOut_ = false;
  void FetchSharedBlocks();
  // The addresses the last read found blocked in the store: one gone from
  // it while its block here still runs was lifted on another machine.
  std::unordered_set<std::string> storeBlocks_;
  // Addresses lifted here, with the number of reads sent by then: a read
  // sent before the lift still finds the block and must not bring it back.
  std::unordered_map<std::string, uint64_t> lifted_;
  uint64_t blockFetches_ = 0;
  std::unique_ptr<RClusterStore> cluster_;
  RSKeyShareStr skeyShare_;
  RPasswordShareStr passwordShare_;
  void StartCluster();
  ServerStats stats_;
  RMetrics metrics_;
  RUploadRecords uploads_;
  std::shared_ptr<RFTPEventHandler> hooks_;
  RFTPMessages messages_;
  bool online_ = true;
  bool exitPending_ = false;
  bool userInfoOpen_ = false;
  bool settingsRead_ = false;
  int32_t purgeCountdown_ = 11;
};

}  // namespace vantor
