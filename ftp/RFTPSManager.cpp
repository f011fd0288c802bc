#include "ftp/RFTPSManager.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "accounts/RAccountsStrings.h"
#include "accounts/RFTPEventHandler.h"
#include "config/RClusterSettings.h"
#include "config/RConfigStrings.h"
#include "config/RDriveConfig.h"
#include "config/RIniFile.h"
#include "fs/RFsSettings.h"
#include "ftp/RBusMessages.h"
#include "ftp/RFTPLine.h"
#include "ftp/RFTPSComInterp.h"
#include "ftp/RFTPSProxyIntake.h"
#include "ftp/RFTPStrings.h"
#include "platform/RProcess.h"
#include "util/RLog.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {
namespace {

// A listener that cannot be created is tried again every few seconds until
// it binds; its failure is logged at once and then once a minute.
constexpr int64_t kListenRetryMs = 5000;
constexpr int64_t kListenLogEveryMs = 60000;
constexpr size_t kMaxListedAddresses = 20;
constexpr int32_t kPurgeEvery = 11;

template <size_t N>
void CopyText(char (&dst)[N], std::string_view src) {
  const size_t n = std::min(src.size(), N - 1);
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

// User names match in any case (EqualNoCaseAscii): the counts key them so.
std::string NameKey(std::string_view name) {
  std::string k(name);
  for (char& c : k) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return k;
}

std::string PairKey(std::string_view a, std::string_view name) {
  std::string k(a);
  k += '\n';
  k += NameKey(name);
  return k;
}

template <class Map, class Key>
void Bump(Map& map, const Key& key, int delta) {
  auto it = map.try_emplace(key, 0).first;
  it->second += delta;
  if (it->second <= 0) map.erase(it);
}

template <class Map, class Key>
int CountOf(const Map& map, const Key& key) {
  auto it = map.find(key);
  return it == map.end() ? 0 : it->second;
}

void SplitSeconds(int64_t secs, int32_t& h, int32_t& m, int32_t& s) {
  if (secs < 0) secs = 0;
  h = static_cast<int32_t>(secs / 3600);
  m = static_cast<int32_t>(secs / 60 % 60);
  s = static_cast<int32_t>(secs % 60);
}

}  // namespace

int64_t EngineNow(int64_t wallSeconds) {
  return wallSeconds < 1 ? 315550800 : wallSeconds;
}

void CountConnectionHour(ServerStats& st, int h) {
  if (h < 0 || h > 23) return;
  if (h == st.CurrentHourSlot) {
    ++st.ConnectionsPerHour[h];
    return;
  }
  st.ConnectionsPerHour[h] = 1;
  if (st.CurrentHourSlot >= 0) {
    // The hours between the last connection and now saw none.
    for (int i = (st.CurrentHourSlot + 1) % 24; i != h; i = (i + 1) % 24) {
      st.ConnectionsPerHour[i] = 0;
    }
  }
  st.CurrentHourSlot = h;
}

RFTPSManager::RFTPSManager(RMessageLoop& loop, RFrontEnd& frontEnd, std::string iniPath,
                           bool securityOff, RSocketLayer* layer)
    : RTimer(layer),
      loop_(loop),
      frontEnd_(frontEnd),
      layer_(layer != nullptr ? layer : RSocketLayer::Process()),
      iniPath_(std::move(iniPath)),
      ini_(std::make_unique<RIniFile>(iniPath_)),
      securityOff_(securityOff) {
  window_ = loop_.CreateWindow([this](const RMsg& m) { return HandleMessage(m); });
  // Socket events come straight from the layer's dispatch, not queued again.
  if (layer_ != nullptr) layer_->SetDirectOwner(window_, true);
  passEnd_ = loop_.AddPassEnd([this] { FlushReplies(); });
  loop_.SetPassObserver([this](int64_t busyNs) { metrics_.ObservePass(busyNs); });
  fs_.Cache().SetNoticeLoop(loop_);
  // An upload past the file-size limit must fail alone (EFBIG, the disk-full
  // reply), not take the process and every session with it.
  IgnoreFileSizeSignal();
  if (stats_.StartTime == 0) stats_.StartTime = Now();
  Start(1000, false);
}

RFTPSManager::~RFTPSManager() {
  Stop();
  loop_.RemovePassEnd(passEnd_);
  loop_.SetPassObserver(nullptr);
  WriteLog(LOG_SCREEN, LoadStr(kLogGoingOffline));
  // No upload step may still write when the sessions below cut their files
  // back or remove them: the lane stops first (within one call a step).
  if (pool_) pool_->StopData();
  for (const std::unique_ptr<RWorkPool>& p : retiredPools_) p->StopData();
  // Sessions first: their ends still talk to the manager.
  while (!sessions_.empty()) RemoveSession(sessions_.back()->Number());
  intakes_.clear();
  // Workers may wait for an answer from this thread, which will not come
  // now (the manager can go inside a pass): they get a refusal instead.
  {
    std::lock_guard<std::mutex> lock(questionsMu_);
    closing_ = true;
    questions_.clear();
  }
  questionsCv_.notify_all();
  ForgetDataPool();
  retiredPools_.clear();
  pool_.reset();
  // Quota and ratio counters whose write the pool dropped unrun.
  RIniFile::DrainWrites();
  listeners_.clear();
  if (layer_ != nullptr) layer_->SetDirectOwner(window_, false);
  loop_.DestroyWindow(window_);
}

const RPathProbe& RFTPSManager::ProbeOrDefault() const {
  return probe_ != nullptr ? *probe_ : defaultProbe_;
}

int64_t RFTPSManager::Now() const {
  return EngineNow(loop_.Clock().WallSeconds());
}

// --- the bus window ------------------------------------------------------------------

intptr_t RFTPSManager::HandleMessage(const RMsg& m) {
  switch (m.message) {
    case MSG_SESSION_SOCKET:
      RouteSocketEvent(m.wParam, m.lParam);
      return 0;
    case MSG_LISTENER_SOCKET:
      OnListenerEvent(static_cast<uint32_t>(m.lParam), WsEventOp(m.wParam),
                      WsEventStatus(m.wParam));
      return 0;
    case MSG_REMOVE_SESSION: {
      const auto number = static_cast<uint32_t>(m.wParam);
      // An upload step still writing the session's file: the end (and its
      // clean-up of the file) comes once the step has settled.
      RFTPSComInterp* s = FindSession(number);
      if (s != nullptr && s->AfterUploadStep([this, number] {
            (void)loop_.PostMessage(MainWindow(), MSG_REMOVE_SESSION, number, 0);
          })) {
        return 0;
      }
      RemoveSession(number);
      return 0;
    }
    case MSG_WORKER_QUESTIONS:
      AnswerWorkerQuestions();
      return 0;
    case ACCESS_QUERY_MESSAGE:
      if (m.lParam != 0) AnswerAccessQuery(*reinterpret_cast<AccessQuery*>(m.lParam));
      return 0;
    case MSG_SESSION_QUERY:
      return AnswerSessionQuery(static_cast<uint32_t>(m.wParam), m.lParam);
    case MSG_NOTIFY:
      frontEnd_.OnNotify(static_cast<uint32_t>(m.wParam), static_cast<uint32_t>(m.lParam), {});
      return 0;
    case MSG_TRACE_LINE:
      if (m.lParam != 0) {
        frontEnd_.OnTraceLine(static_cast<intptr_t>(m.wParam),
                              reinterpret_cast<const char*>(m.lParam));
      }
      return 0;
    case MSG_LOG_LINE:
      if (m.lParam != 0) {
        frontEnd_.OnLogLine(static_cast<int>(m.wParam), reinterpret_cast<const char*>(m.lParam));
      }
      return 0;
    case MSG_STATUS_RECORD:
      if (m.lParam != 0) {
        frontEnd_.OnStatusRecord(*reinterpret_cast<const RStatusRecordStr*>(m.lParam));
      }
      return 0;
    case MSG_RELOAD_SETTINGS:
      frontEnd_.OnReloadRequest();
      return 0;
    case MSG_HOOK_RELEASE:
      ResumeDeferred(static_cast<uint32_t>(m.wParam));
      return 0;
    default:
      return 0;
  }
}

void RFTPSManager::AnswerAccessQuery(AccessQuery& q) {
  if (access_) {
    access_(q);
    return;
  }
  q.flag = securityOff_ ? 1 : 0;
}

std::optional<RPasswordWorkStr> RFTPSManager::BeginPasswordCheck(AccessQuery& q) {
  if (passwordBegin_ && passwordFinish_) return passwordBegin_(q);
  AnswerAccessQuery(q);
  return std::nullopt;
}

void RFTPSManager::QueuePasswordCheck(const std::string& client, RWorkCancelPtr cancel,
                                      RPasswordWorkStr work, const AccessQuery& q,
                                      std::function<void(AccessQuery&)> done) {
  passwordLanes_[client].waiting.push_back(
      {std::move(cancel), std::move(work), q, std::move(done)});
  StartPasswordChecks(client);
}

void RFTPSManager::StartPasswordChecks(const std::string& client) {
  // The lane is looked up afresh for every check: a pool that cannot
  // deliver later runs the completion inside Submit, and that starts checks
  // (or drops the lane) itself.
  for (;;) {
    auto it = passwordLanes_.find(client);
    if (it == passwordLanes_.end()) return;
    RPasswordLaneStr& lane = it->second;
    while (!lane.waiting.empty() && lane.waiting.front().cancel->Cancelled())
      lane.waiting.pop_front();
    if (lane.waiting.empty() && lane.out == 0) {
      passwordLanes_.erase(it);
      return;
    }
    if (lane.waiting.empty() || lane.out >= kPasswordChecksPerAddress) return;
    auto job = std::make_shared<RPasswordJobStr>(std::move(lane.waiting.front()));
    lane.waiting.pop_front();
    ++lane.out;
    RWorkPool::Work hash = [given = job->work.given, stored = job->work.stored] {
      return RWorkPool::Result(std::make_shared<RPasswordCheck>(CheckPasswordHash(given, stored)));
    };
    RWorkPool::Done checked = [this, client, job](const RWorkPool::Result& r) {
      PasswordChecked(client, *job,
                      r ? *static_cast<const RPasswordCheck*>(r.get()) : RPasswordCheck::Unchecked);
    };
    if (Pool().Submit({}, passwordCancel_, std::move(hash), std::move(checked)) ==
        RWorkSubmit::Full) {
      // Back in front of the line (nothing ran meanwhile): the tick tries again.
      --lane.out;
      lane.waiting.push_front(std::move(*job));
      return;
    }
  }
}

void RFTPSManager::PasswordChecked(const std::string& client, RPasswordJobStr& job,
                                   RPasswordCheck result) {
  auto it = passwordLanes_.find(client);
  if (it != passwordLanes_.end() && it->second.out > 0) --it->second.out;
  // A session that went (or gave up waiting) hears nothing.
  if (!job.cancel->Cancelled()) {
    passwordFinish_(job.query, job.work, result);
    job.done(job.query);
  }
  StartPasswordChecks(client);
}

void RFTPSManager::AnswerAccessQueryOffLoop(AccessQuery& q) {
  AnswerAccessQueriesOffLoop(&q, 1);
}

void RFTPSManager::AnswerAccessQueriesOffLoop(AccessQuery* queries, size_t count) {
  if (count == 0) return;
  if (loop_.OnLoopThread()) {
    for (size_t i = 0; i < count; ++i) AnswerAccessQuery(queries[i]);
    return;
  }
  WorkerQuestion question{queries, count};
  std::unique_lock<std::mutex> lock(questionsMu_);
  if (!closing_) {
    // One message wakes the loop for every question asked before it runs.
    if (questions_.empty()) loop_.PostMessage(window_, MSG_WORKER_QUESTIONS);
    questions_.push_back(&question);
    questionsCv_.wait(lock, [&] { return question.answered || closing_; });
  }
  if (!question.answered) {
    for (size_t i = 0; i < count; ++i) queries[i].flag = 0;
  }
}

bool RFTPSManager::WorkerQuestionsWaiting() const {
  std::lock_guard<std::mutex> lock(questionsMu_);
  return !questions_.empty();
}

void RFTPSManager::AnswerWorkerQuestions() {
  // Only this thread removes questions, so the front ones stay put while
  // they are answered without the lock; the askers sleep until `answered`.
  std::vector<WorkerQuestion*> front;
  {
    std::lock_guard<std::mutex> lock(questionsMu_);
    front = questions_;
  }
  size_t budget = kQuestionsPerTurn;
  size_t finished = 0;
  for (WorkerQuestion* w : front) {
    while (w->done < w->count && budget > 0) {
      AnswerAccessQuery(w->queries[w->done++]);
      --budget;
    }
    if (w->done < w->count) break;
    ++finished;
  }
  bool more = false;
  {
    std::lock_guard<std::mutex> lock(questionsMu_);
    for (size_t i = 0; i < finished; ++i) questions_[i]->answered = true;
    questions_.erase(questions_.begin(), questions_.begin() + static_cast<ptrdiff_t>(finished));
    more = !questions_.empty();
  }
  if (finished > 0) questionsCv_.notify_all();
  // The rest waits behind what came meanwhile, like any other message.
  if (more) loop_.PostMessage(window_, MSG_WORKER_QUESTIONS);
}

RWorkPool& RFTPSManager::Pool() {
  if (!pool_) {
    pool_ = std::make_unique<RWorkPool>(loop_, settings_.workerThreads,
                                        static_cast<size_t>(settings_.workerQueue),
                                        settings_.dataThreads);
    if (layer_ != nullptr) layer_->SetDataPool(pool_.get());
  }
  return *pool_;
}

// Transfers in progress keep the steps they have out (a retired pool runs
// them to the end); their next steps go to the new pool.
void RFTPSManager::ForgetDataPool() {
  if (layer_ != nullptr && pool_ && layer_->DataPool() == pool_.get()) layer_->SetDataPool(nullptr);
}

void RFTPSManager::RetirePool() {
  if (!pool_) return;
  const RWorkPoolStatsStr s = pool_->Stats();
  if (static_cast<int32_t>(s.threads) == settings_.workerThreads &&
      static_cast<int32_t>(pool_->QueueBound()) == settings_.workerQueue &&
      pool_->DataThreads() == settings_.dataThreads) {
    return;
  }
  ForgetDataPool();
  retiredPools_.push_back(std::move(pool_));
}

void RFTPSManager::Notify(uint32_t code, uint32_t session, std::string_view text) {
  frontEnd_.OnNotify(code, session, text);
}

void RFTPSManager::SendStatus(uint32_t kind, int32_t value, int32_t value2) {
  RStatusRecordStr r;
  r.kind = kind;
  r.value = value;
  r.value2 = value2;
  frontEnd_.OnStatusRecord(r);
}

// --- settings ---------------------------------------------------------------------------

void RFTPSManager::ApplySettings() {
  const int32_t oldPort = settings_.portNr;
  const int32_t oldImplicitPort = settings_.tlsImplicitPortNr;
  const bool first = !settingsRead_;
  settings_.Load(*ini_);
  LoadTls();
  settingsRead_ = true;
  homes_ = LoadIPHomes(*ini_);
  messages_.Load(*ini_, homes_);
  xferLog_.Configure(*ini_, iniPath_);
  metrics_.SetPerUser(settings_.metricsPerUser);
  RetirePool();
  // The INI writes of quota and ratio counters go to the pool too.
  (void)Pool();
  ApplyHammerSettings();
  StartCluster();
  std::vector<std::string> rejected;
  proxySources_ = ParseProxySources(settings_.proxyProtocolFrom, &rejected);
  for (const std::string& entry : rejected)
    WriteLog(LOG_SYSTEM, FormatStr(kLogProxySourceIgnored, entry));
  SendStatus(SK_MaxUsers, settings_.maxNrUsers);
  if (!first && oldPort != settings_.portNr) {
    std::erase_if(listeners_, [](const RManSockStr& l) { return !l.implicitTls; });
    std::erase_if(pending_, [](const RPendingListenStr& p) { return !p.implicitTls; });
  }
  if (!first && oldImplicitPort != settings_.tlsImplicitPortNr) {
    std::erase_if(listeners_, [](const RManSockStr& l) { return l.implicitTls; });
    std::erase_if(pending_, [](const RPendingListenStr& p) { return p.implicitTls; });
  }
  UpdateListeners();
}

// A certificate that cannot be used leaves the server running without TLS
// (said in the log) rather than not running at all; on a reload the context
// in force stays instead (a key the run-as user cannot read, a file being
// replaced), so FTPS does not go away with a bad edit. Sessions keep the
// context they started with, so a renewed certificate serves new sessions
// while the old ones carry on.
void RFTPSManager::LoadTls() {
  if (settings_.tlsCertificateFile.empty() && settings_.tlsPrivateKeyFile.empty()) {
    tls_.reset();
    return;
  }
  RTlsSettingsStr t;
  t.certificateFile = ServerFilePath(*ini_, settings_.tlsCertificateFile);
  t.privateKeyFile = ServerFilePath(*ini_, settings_.tlsPrivateKeyFile);
  t.tls13Only = settings_.tlsMin13;
  t.cipherList = settings_.tlsCipherList;
  t.cipherSuites = settings_.tlsCipherSuites;
  std::string why;
  std::shared_ptr<RTlsContext> loaded = RTlsContext::Create(t, &why);
  if (!loaded) {
    WriteLog(LOG_SCREEN, FormatStr(tls_ ? kLogTlsKept : kLogTlsOff, why));
    return;
  }
  tls_ = std::move(loaded);
  WriteLog(LOG_SYSTEM, FormatStr(kLogTlsOn, t.certificateFile));
  if (tls_->SecondsToExpiry() < 0)
    WriteLog(LOG_SCREEN, FormatStr(kLogTlsExpired, t.certificateFile));
}

void RFTPSManager::ApplyHammerSettings() {
  hammer_.Configure(settings_.antiHammerWindow, settings_.antiHammerTries,
                    settings_.antiHammerBlock);
  if (!settings_.antiHammer) hammer_.Clear();
}

bool RFTPSManager::LookupMessageFile(bool signOn, uint32_t address, std::string& file) const {
  return messages_.Lookup(signOn ? RSignKind::SignOn : RSignKind::SignOff, address, file);
}

// --- listeners ------------------------------------------------------------------------------

uint16_t RFTPSManager::ListeningPort() const {
  for (const RManSockStr& l : listeners_) {
    if (l.socket && !l.implicitTls) return l.socket->GetLocalPort();
  }
  return static_cast<uint16_t>(settings_.portNr);
}

bool RFTPSManager::Online() const {
  return online_ && !listeners_.empty();
}

bool RFTPSManager::SetOnline(bool on) {
  online_ = on;
  const bool now = Online();
  SendStatus(SK_Online, now ? 1 : 0);
  return now;
}

void RFTPSManager::ToggleOnline() {
  if (Online()) {
    SetOnline(false);
    WriteLog(LOG_SCREEN, LoadStr(kLogGoingOffline));
    return;
  }
  if (SetOnline(true)) {
    WriteLog(LOG_SCREEN, LoadStr(kLogOnline));
  } else {
    WriteLog(LOG_SCREEN, LoadStr(kLogCannotListen));
  }
}

void RFTPSManager::SetExitPending(bool pending) {
  if (pending == exitPending_) return;
  exitPending_ = pending;
  WriteLog(LOG_SYSTEM, LoadStr(pending ? kLogExitPending : kLogExitCanceled));
}

WsStatus RFTPSManager::CreateListener(const std::string& address, bool reuse, uint16_t port,
                                      std::unique_ptr<RWinSocket>& out) {
  auto socket = std::make_unique<RWinSocket>(layer_, window_, MSG_LISTENER_SOCKET, WS_STREAM);
  const WsStatus st = socket->Listen(port, reuse, address.empty() ? nullptr : address.c_str());
  if (st == WS_OK) {
    (void)socket->KeepAliveForAccepted();
    // Replies leave at once: with Nagle's rule the reply after the TLS
    // handshake's last flight waited for the client's delayed
    // acknowledgement (about 40 ms per command of a login). An
    // administrator's SocketNoNagle=0 is applied per session afterwards.
    (void)socket->NoDelayForAccepted();
    out = std::move(socket);
  }
  return st;
}

void RFTPSManager::UpdateListeners() {
  const bool homesOnly = settings_.listenToIPHomesOnly;
  const size_t before = listeners_.size();
  auto isHome = [this](const std::string& a) {
    return std::any_of(homes_.begin(), homes_.end(),
                       [&](const RIPHomeStr& h) { return h.addressText == a; });
  };
  // The implicit TLS listeners live only while TLS is on.
  const bool implicitOn = settings_.tlsImplicitPortNr > 0 && tls_ != nullptr;
  std::erase_if(listeners_, [&](const RManSockStr& l) {
    return (homesOnly ? !isHome(l.address) : !l.address.empty()) || (l.implicitTls && !implicitOn);
  });
  std::erase_if(pending_, [&](const RPendingListenStr& p) {
    return (homesOnly ? !isHome(p.address) : !p.address.empty()) || (p.implicitTls && !implicitOn);
  });
  listenersChanged_ = listenersChanged_ || listeners_.size() != before;
  if (homesOnly && homes_.empty()) {
    WriteLog(LOG_SCREEN, LoadStr(kLogNoHomeAddresses));
    frontEnd_.Beep();
    SetOnline(!listeners_.empty());
    return;
  }
  std::vector<std::string> targets;
  if (homesOnly) {
    for (const RIPHomeStr& h : homes_) targets.push_back(h.addressText);
  } else {
    targets.emplace_back();
  }
  for (const bool implicitTls : {false, true}) {
    if (implicitTls && !implicitOn) break;
    for (const std::string& address : targets) {
      auto same = [&](const auto& l) {
        return l.address == address && l.implicitTls == implicitTls;
      };
      const bool have = std::any_of(listeners_.begin(), listeners_.end(), same) ||
                        std::any_of(pending_.begin(), pending_.end(), same);
      if (have) continue;
      listenersChanged_ = true;
      RPendingListenStr p;
      p.address = address;
      p.implicitTls = implicitTls;
      TryListen(std::move(p));
    }
  }
  FinishListenerUpdate();
}

void RFTPSManager::TryListen(RPendingListenStr p) {
  std::unique_ptr<RWinSocket> socket;
  // With the reuse flag on, Linux lets the listener bind over connections of
  // the port's previous life in TIME_WAIT (every session closed after QUIT
  // leaves one); it never lets two listeners share the port.
  const auto port =
      static_cast<uint16_t>(p.implicitTls ? settings_.tlsImplicitPortNr : settings_.portNr);
  p.last = CreateListener(p.address, true, port, socket);
  if (p.last == WS_OK) {
    listeners_.push_back({std::move(socket), p.address, p.implicitTls});
    return;
  }
  const int64_t now = loop_.Clock().NowMs();
  if (p.failures == 0 || now - p.lastLogMs >= kListenLogEveryMs) {
    LogListenFailure(p);
    p.lastLogMs = now;
  }
  ++p.failures;
  // Without a socket library nothing will ever bind.
  if (p.last == WS_NoSockLib) return;
  p.nextTryMs = now + kListenRetryMs;
  pending_.push_back(std::move(p));
}

void RFTPSManager::RetryPending() {
  if (pending_.empty()) return;
  const int64_t now = loop_.Clock().NowMs();
  const size_t before = listeners_.size();
  std::vector<RPendingListenStr> work;
  work.swap(pending_);
  for (RPendingListenStr& p : work) {
    if (now < p.nextTryMs) {
      pending_.push_back(std::move(p));
    } else {
      TryListen(std::move(p));
    }
  }
  ReportWaiting();
  if (listeners_.size() == before) return;
  // A listener that bound late: reported like the first ones, and the
  // server may be on-line again.
  for (size_t i = before; i < listeners_.size(); ++i) ReportListener(listeners_[i]);
  SetOnline(!listeners_.empty());
}

void RFTPSManager::LogListenFailure(const RPendingListenStr& p) {
  const unsigned port =
      static_cast<unsigned>(p.implicitTls ? settings_.tlsImplicitPortNr : settings_.portNr);
  if (p.recovery) {
    WriteLog(LOG_SYSTEM, FormatStr(kLogCannotCreateListener, p.address, port));
    return;
  }
  if (p.last == WS_PortUsed) {
    WriteLog(LOG_SCREEN, p.address.empty() ? FormatStr(kLogPortInUse, port)
                                           : FormatStr(kLogPortInUseOnAddress, p.address, port));
  } else if (p.last == WS_UnknownIP && !p.address.empty()) {
    WriteLog(LOG_SCREEN, FormatStr(kLogNoSuchLocalAddress, p.address));
  } else {
    WriteLog(LOG_SCREEN, LoadStr(kLogListenUnknownProblem));
  }
  frontEnd_.Beep();
}

void RFTPSManager::FinishListenerUpdate() {
  // Listeners still being retried are reported when they bind.
  if (listenersChanged_) ReportListeners();
  listenersChanged_ = false;
  SetOnline(!listeners_.empty());
  ReportWaiting();
}

void RFTPSManager::ReportWaiting() {
  std::string text;
  if (!pending_.empty()) {
    const RPendingListenStr& p = pending_.front();
    const unsigned port = static_cast<unsigned>(settings_.portNr);
    // The reasons a service manager's status line can say in a few words.
    const uint32_t why = p.last == WS_PortUsed    ? uint32_t{kTextAddressInUse}
                         : p.last == WS_UnknownIP ? uint32_t{kTextCannotAssignAddress}
                                                  : uint32_t{kTextCannotCreateListener};
    text = p.address.empty() ? FormatStr(kTextWaitingForPort, port, LoadStr(why))
                             : FormatStr(kTextWaitingForPortOn, port, p.address, LoadStr(why));
  }
  if (text == waitText_) return;
  waitText_ = std::move(text);
  frontEnd_.OnListenWait(waitText_);
}

void RFTPSManager::ReportListeners() {
  for (const RManSockStr& l : listeners_) ReportListener(l);
}

void RFTPSManager::ReportListener(const RManSockStr& l) {
  const unsigned port = l.socket->GetLocalPort();
  if (!l.address.empty()) {
    WriteLog(LOG_SCREEN, FormatStr(kLogListeningOn, port, l.address));
    return;
  }
  std::vector<std::string> list = l.socket->GetLocalIPAddressList(kMaxListedAddresses);
  std::string text;
  for (const std::string& a : list) {
    if (!text.empty()) text += ", ";
    text += a;
  }
  if (list.size() >= kMaxListedAddresses) text += "...";
  if (text.empty() || text == "0.0.0.0") text = "?????";
  WriteLog(LOG_SCREEN, FormatStr(kLogOnlineAddresses, text, port));
}

void RFTPSManager::ListenerFailed(size_t index) {
  RPendingListenStr p;
  p.address = listeners_[index].address;
  p.implicitTls = listeners_[index].implicitTls;
  p.recovery = true;
  if (settings_.listenToIPHomesOnly) {
    WriteLog(LOG_SYSTEM, FormatStr(kLogListenerTrashedAt, p.address));
  } else {
    WriteLog(LOG_SYSTEM, LoadStr(kLogListenerTrashed));
  }
  listeners_.erase(listeners_.begin() + static_cast<ptrdiff_t>(index));
  // Created again at once; when that fails, retried like any listener.
  TryListen(std::move(p));
  SetOnline(online_);
  ReportWaiting();
}

void RFTPSManager::OnListenerEvent(uint32_t socketId, int operation, int status) {
  for (size_t i = 0; i < listeners_.size(); ++i) {
    if (!listeners_[i].socket || listeners_[i].socket->Id() != socketId) continue;
    if (operation == WS_Listening && status == WS_OK) {
      Accept(listeners_[i]);
    } else if (status != WS_OK) {
      ListenerFailed(i);
    }
    return;
  }
}

// --- admission -----------------------------------------------------------------------------

void RFTPSManager::Accept(RManSockStr& listener) {
  VANTOR_CHECK_THREAD(thread_, "the session registry (RFTPSManager)");
  auto socket = std::make_unique<RWinSocket>(layer_, window_, MSG_SESSION_SOCKET, WS_STREAM);
  const WsStatus st = socket->AcceptHost(*listener.socket);
  if (st == WS_NoSocket) {
    // The listener rests a moment by itself; said once until one succeeds.
    if (!outOfDescriptors_) WriteLog(LOG_SYSTEM, LoadStr(kLogOutOfDescriptors));
    outOfDescriptors_ = true;
    return;
  }
  if (st != WS_OK) return;
  outOfDescriptors_ = false;
  std::string client = socket->GetRemoteIPAddress();
  if (IsProxySource(client)) {
    StartProxyIntake(std::move(socket), std::move(client), listener.implicitTls);
    return;
  }
  AdmitConnection(std::move(socket), std::move(client), listener.implicitTls);
}

void RFTPSManager::AdmitConnection(std::unique_ptr<RWinSocket> socket, std::string client,
                                   bool implicitTls) {
  metrics_.CountConnection();
  // Refused clients cost nothing but the accept and the close.
  if (settings_.antiHammer) {
    const size_t blocks = hammer_.BlockCount();
    if (!hammer_.Admit(client, Now())) {
      // A block this one started holds on the other machines too.
      if (cluster_ && hammer_.BlockCount() > blocks)
        cluster_->ShareBlock(client, hammer_.BlockSeconds());
      metrics_.CountRefusal(RRefusal::AntiHammering);
      return;
    }
  }
  // Every handshake holds an OpenSSL connection and costs a key exchange:
  // past the cap an implicit-port connection is closed before it costs more.
  // A handshake is a connection still logging in, bounded per address as
  // the others are (they are counted at admission, after it).
  if (implicitTls) {
    const int32_t perAddress = settings_.maxPreLoginPerIP;
    if ((perAddress > 0 && NotLoggedInFrom(client) >= perAddress) || !AdmitTlsHandshake()) {
      metrics_.CountRefusal(RRefusal::Limits);
      return;
    }
  }
  // An IPv6 local address selects the IPv6 home on it by its stand-in id;
  // on no home it is 0 but still shows and listens on its real address.
  std::string localText = socket->GetLocalIPAddress();
  const uint32_t local = HomeIdOfLocal(homes_, localText);
  const uint32_t id = socket->Id();
  RFTPSComInterp* s = Register(std::make_unique<RFTPSComInterp>(
      *this, std::move(socket), std::move(client), local, std::move(localText)));
  routes_.Add(id, s->Number(), RSocketRole::Control);
  if (implicitTls) {
    s->StartImplicitTls();
  } else {
    s->Admit();
  }
}

RFTPSComInterp* RFTPSManager::CreateDetachedSession(std::string clientAddress,
                                                    uint32_t localAddress) {
  RFTPSComInterp* s = Register(
      std::make_unique<RFTPSComInterp>(*this, nullptr, std::move(clientAddress), localAddress));
  s->Admit();
  return s;
}

RFTPSComInterp* RFTPSManager::Register(std::unique_ptr<RFTPSComInterp> session) {
  RFTPSComInterp* s = session.get();
  sessions_.push_back(std::move(session));
  byNumber_[s->Number()] = std::prev(sessions_.end());
  s->counted_ = {};
  s->counted_.registered = true;
  s->counted_.preLogin = !s->IsLoggedIn() && !s->IsClosing() && !s->RemovalRequested();
  s->counted_.name = NameKey(s->Login.userName);
  s->counted_.local = s->Connection.localAddress;
  AddCounts(*s, 1);
  return s;
}

void RFTPSManager::AddCounts(const RFTPSComInterp& s, int delta) {
  const RFTPSComInterp::RCountedStr& c = s.counted_;
  const std::string& client = s.Connection.clientAddress;
  if (c.preLogin) Bump(preLoginFrom_, client, delta);
  Bump(loginsFrom_, PairKey(client, c.name), delta);
  Bump(byName_, c.name, delta);
  Bump(byLocalName_, PairKey(std::to_string(c.local), c.name), delta);
  Bump(byLocal_, c.local, delta);
}

void RFTPSManager::SessionChanged(RFTPSComInterp& s) {
  RFTPSComInterp::RCountedStr& c = s.counted_;
  if (!c.registered) return;  // still being made, or already taken off
  const bool preLogin = !s.IsLoggedIn() && !s.IsClosing() && !s.RemovalRequested();
  const uint32_t local = s.Connection.localAddress;
  if (preLogin == c.preLogin && local == c.local && c.name.size() == s.Login.userName.size() &&
      c.name == NameKey(s.Login.userName)) {
    return;
  }
  AddCounts(s, -1);
  c.preLogin = preLogin;
  c.name = NameKey(s.Login.userName);
  c.local = local;
  AddCounts(s, 1);
}

// --- sessions --------------------------------------------------------------------------------

void RFTPSManager::RouteSocketEvent(uintptr_t wParam, intptr_t lParam) {
  VANTOR_CHECK_THREAD(thread_, "the session registry (RFTPSManager)");
  const auto id = static_cast<uint32_t>(lParam);
  const RSocketRouteStr* route = routes_.Find(id);
  if (route == nullptr) return;
  const int op = WsEventOp(wParam);
  const int status = WsEventStatus(wParam);
  if (route->role == RSocketRole::Intake) {
    OnProxyIntakeEvent(id, op, status);
    return;
  }
  if (RFTPSComInterp* s = FindSession(route->session)) s->OnSocketEvent(id, op, status);
}

RFTPSComInterp* RFTPSManager::FindSession(uint32_t number) const {
  VANTOR_CHECK_THREAD(thread_, "the session registry (RFTPSManager)");
  auto it = byNumber_.find(number);
  return it == byNumber_.end() ? nullptr : it->second->get();
}

void RFTPSManager::RemoveSession(uint32_t number) {
  VANTOR_CHECK_THREAD(thread_, "the session registry (RFTPSManager)");
  RFTPSComInterp* found = FindSession(number);
  if (found == nullptr) return;
  // The end's replies, log lines, hooks and counters happen while the
  // session is registered; only then is it taken off every list and freed.
  found->EndSession();
  if (cluster_) cluster_->LeaveSession(number);
  auto at = byNumber_.find(number);  // a hook or a query may have removed it meanwhile
  if (at == byNumber_.end()) return;
  std::unique_ptr<RFTPSComInterp> s = std::move(*at->second);
  sessions_.erase(at->second);
  byNumber_.erase(at);
  if (s->Control() != nullptr) routes_.Remove(s->Control()->Id());
  if (s->counted_.registered) AddCounts(*s, -1);
  s->counted_.registered = false;
  handshakes_.erase(s.get());
  DropReplyFlush(*s);
  s.reset();
  SessionDestroyed();
}

namespace {

// The questions a login answers, asked again of a logged-in session.
bool StillAdmitted(RFTPSComInterp& s) {
  const std::string host = s.Connection.nameResolved ? s.Connection.hostName : std::string();
  AccessQuery server = s.NewQuery(QC_IP_ACCESS);
  SetQueryUser(server, "");
  SetQueryAux2(server, s.Connection.clientAddress, host);
  AccessQuery own = s.NewQuery(QC_IP_ACCESS);
  SetQueryAux2(own, s.Connection.clientAddress, host);
  return s.Ask(server) && s.Ask(own) && s.AskFlag(QC_ACCOUNT_ENABLED) &&
         s.AskText(QC_HOME_DIR, nullptr, "C:\\");
}

}  // namespace

void RFTPSManager::EndSessionsNoLongerAdmitted() {
  VANTOR_CHECK_THREAD(thread_, "the session registry (RFTPSManager)");
  if (securityOff_) return;
  for (const std::unique_ptr<RFTPSComInterp>& s : sessions_) {
    if (!s->IsLoggedIn() || s->RemovalRequested() || StillAdmitted(*s)) continue;
    s->LogStr(LOG_SECURITY, kLogNoLongerAdmitted, s->Login.userName);
    s->RequestRemoval();
  }
}

void RFTPSManager::StartCluster() {
  // Read once: a store that changes machines mid-run would strand the
  // sessions registered with the old one. Changes take effect at restart.
  if (cluster_ || securityOff_) return;
  RClusterSettings c = RClusterSettings::Load(*ini_, HostName());
  for (const std::string& p : c.problems) WriteLog(LOG_SYSTEM, FormatStr(kLogClusterProblem, p));
  if (!c.enabled) return;
  std::string password;
  if (!c.passwordFile.empty()) {
    std::string why;
    if (!ReadClusterPassword(c.passwordFile, &password, &why))
      WriteLog(LOG_SYSTEM, FormatStr(kLogClusterPasswordFile, c.passwordFile, why));
  }
  cluster_ = std::make_unique<RClusterStore>(loop_, std::move(c), std::move(password));
  cluster_->Start([](const std::string& line) { WriteLog(LOG_SYSTEM, line); });
}

void RFTPSManager::FlushReplies() {
  // A flush may queue a session again (a reply made while sending); the
  // loop must not go to sleep on it, so a few rounds run.
  for (int round = 0; round < 4 && !flushWaiting_.empty(); ++round) {
    std::vector<RFTPSComInterp*> waiting;
    waiting.swap(flushWaiting_);
    for (RFTPSComInterp* s : waiting) {
      s->flushQueued_ = false;
      s->SendNext();
    }
  }
}

void RFTPSManager::DropReplyFlush(RFTPSComInterp& s) {
  std::erase(flushWaiting_, &s);
}

void RFTPSManager::SessionDestroyed() {
  if (stats_.ConnectionsNow > 0) --stats_.ConnectionsNow;
  if (stats_.ConnectionsNow == 0 && exitPending_) frontEnd_.OnCloseRequest();
}

void RFTPSManager::ResumeDeferred(uint32_t number) {
  if (RFTPSComInterp* s = FindSession(number)) s->ResumeDeferred(number);
}

int RFTPSManager::CountSessions(std::string_view name, uint32_t address) const {
  VANTOR_CHECK_THREAD(thread_, "the session registry (RFTPSManager)");
  if (name.empty()) {
    return address == 0 ? static_cast<int>(sessions_.size()) : CountOf(byLocal_, address);
  }
  if (address == 0) return CountOf(byName_, NameKey(name));
  return CountOf(byLocalName_, PairKey(std::to_string(address), name));
}

int RFTPSManager::CountLoginsFrom(std::string_view clientAddress, std::string_view name) const {
  VANTOR_CHECK_THREAD(thread_, "the session registry (RFTPSManager)");
  return CountOf(loginsFrom_, PairKey(clientAddress, name));
}

namespace {

bool Handshaking(const RFTPSComInterp& s) {
  const RWinSocket* c = s.Control();
  return !s.RemovalRequested() && (s.Tls.startPending || (c != nullptr && c->TlsHandshaking()));
}

}  // namespace

// Only sessions whose handshake was admitted and is not over are looked at;
// the test itself stays the one above.
int32_t RFTPSManager::TlsHandshakesNow() const {
  VANTOR_CHECK_THREAD(thread_, "the session registry (RFTPSManager)");
  int32_t n = 0;
  for (const RFTPSComInterp* s : handshakes_) {
    if (Handshaking(*s)) ++n;
  }
  return n;
}

int RFTPSManager::NotLoggedInFrom(std::string_view client, const RFTPSComInterp* except) const {
  VANTOR_CHECK_THREAD(thread_, "the session registry (RFTPSManager)");
  int n = 0;
  auto it = preLoginFrom_.find(std::string(client));
  if (it != preLoginFrom_.end()) n = it->second;
  if (except != nullptr && except->counted_.registered && except->counted_.preLogin &&
      except->Connection.clientAddress == client) {
    --n;
  }
  return n;
}

// Connections that open a handshake and never go on must not hold the cap
// for their whole login time: a handshake still running after a second is
// a stalled one (a real client finishes in a few round trips), and the
// oldest of them gives way to the newcomer.
bool RFTPSManager::EndSilentHandshake() {
  VANTOR_CHECK_THREAD(thread_, "the session registry (RFTPSManager)");
  const int64_t now = loop_.Clock().NowMs();
  RFTPSComInterp* oldest = nullptr;
  for (RFTPSComInterp* s : handshakes_) {
    if (!Handshaking(*s) || now - s->Tls.handshakeSinceMs < kSilentHandshakeMs) continue;
    // The same age: the one admitted first (lower number) goes.
    if (oldest == nullptr || s->Tls.handshakeSinceMs < oldest->Tls.handshakeSinceMs ||
        (s->Tls.handshakeSinceMs == oldest->Tls.handshakeSinceMs &&
         s->Number() < oldest->Number())) {
      oldest = s;
    }
  }
  if (oldest == nullptr) return false;
  oldest->LogStr(LOG_SECURITY, kLogTlsHandshakeEvicted,
                 static_cast<int>(now - oldest->Tls.handshakeSinceMs));
  oldest->RequestRemoval();
  return true;
}

bool RFTPSManager::AdmitTlsHandshake() {
  if (TlsHandshakesNow() < settings_.tlsMaxHandshakes) return true;
  if (EndSilentHandshake()) return true;
  if (!tlsBusyLogged_) {
    WriteLog(LOG_SYSTEM, FormatStr(kLogTlsBusy, settings_.tlsMaxHandshakes));
    tlsBusyLogged_ = true;
  }
  return false;
}

// --- the tick ----------------------------------------------------------------------------------

void RFTPSManager::Tick() {
  VANTOR_CHECK_THREAD(thread_, "the session registry (RFTPSManager)");
  if (!settingsRead_ || reloadRequested_) {
    reloadRequested_ = false;
    ApplySettings();
  }
  RetryPending();
  // Workers' questions whose wake-up found the queue full: nothing else
  // would post it again, and every later question would wait behind them.
  if (WorkerQuestionsWaiting()) AnswerWorkerQuestions();
  if (tlsBusyLogged_ && TlsHandshakesNow() < settings_.tlsMaxHandshakes) tlsBusyLogged_ = false;
  // Sessions whose removal message could not be posted.
  std::vector<uint32_t> stale;
  stale.swap(removeLater_);
  for (uint32_t n : stale) RemoveSession(n);
  // Hook releases that found the message queue full.
  for (uint32_t n : TakeLostReleases()) ResumeDeferred(n);
  std::erase_if(retiredPools_, [](const std::unique_ptr<RWorkPool>& p) { return p->Idle(); });
  // Password checks the pool's full queue turned back.
  std::vector<std::string> lanes;
  for (const auto& [client, lane] : passwordLanes_) lanes.push_back(client);
  for (const std::string& client : lanes) StartPasswordChecks(client);

  const ServerStats& st = stats_;
  SendStatus(SK_Users, static_cast<int32_t>(st.ConnectionsNow),
             static_cast<int32_t>(st.AnonymousNow));
  SendStatus(SK_Transfers, st.UploadsActive + st.DownloadsActive);
  SendStatus(SK_Throughput, layer_ != nullptr ? static_cast<int32_t>(layer_->GetServerRate()) : 0);
  SendStatus(SK_Sockets, layer_ != nullptr ? static_cast<int32_t>(layer_->SocketCount()) : 0);
  if (settings_.antiHammer && --purgeCountdown_ <= 0) {
    purgeCountdown_ = kPurgeEvery;
    hammer_.Purge(Now());
  }
  if (settings_.antiHammer && cluster_ && cluster_->Ready() && !blockFetchOut_) FetchSharedBlocks();
}

void RFTPSManager::FetchSharedBlocks() {
  blockFetchOut_ = true;
  const uint64_t fetch = ++blockFetches_;
  cluster_->FetchBlocks([this, fetch](bool ok, std::vector<RClusterStore::RSharedBlockStr> blocks) {
    blockFetchOut_ = false;
    if (!ok || !settings_.antiHammer) return;
    std::unordered_map<std::string, int64_t> local;
    for (const RAntiHammer::RBlockStr& b : hammer_.Blocks()) local[b.address] = b.until;
    const int64_t now = Now();
    std::unordered_set<std::string> seen;
    for (const RClusterStore::RSharedBlockStr& b : blocks) {
      auto lift = lifted_.find(b.address);
      if (lift != lifted_.end() && lift->second >= fetch) continue;  // read before the lift
      seen.insert(b.address);
      auto it = local.find(b.address);
      // Ours already, or one that ends later: left as it is.
      if (it != local.end() && it->second >= now + b.secondsLeft - 1) continue;
      hammer_.Block(b.address, now, b.secondsLeft);
    }
    // Blocked in the store at the last read and gone now, while the block
    // here still runs: an administrator lifted it on another machine.
    for (const std::string& address : storeBlocks_) {
      auto it = local.find(address);
      if (seen.count(address) == 0 && it != local.end() && it->second > now + 1)
        hammer_.Unblock(address);
    }
    storeBlocks_ = std::move(seen);
    std::erase_if(lifted_, [fetch](const auto& l) { return l.second < fetch; });
  });
}

void RFTPSManager::AddBlock(const std::string& address, int64_t seconds) {
  hammer_.Block(address, Now(), seconds);
  if (cluster_) {
    cluster_->ShareBlock(address, seconds);
    lifted_.erase(address);
  }
}

bool RFTPSManager::LiftBlock(const std::string& address) {
  const bool here = hammer_.Unblock(address);
  if (cluster_) {
    cluster_->LiftBlock(address);
    lifted_[address] = blockFetches_;
    storeBlocks_.erase(address);
  }
  return here;
}

// --- session information queries ----------------------------------------------------------------

uint32_t RFTPSManager::SessionCount() const {
  VANTOR_CHECK_THREAD(thread_, "the session registry (RFTPSManager)");
  return static_cast<uint32_t>(sessions_.size());
}

std::vector<uint32_t> RFTPSManager::SessionNumbers() const {
  VANTOR_CHECK_THREAD(thread_, "the session registry (RFTPSManager)");
  std::vector<uint32_t> numbers;
  numbers.reserve(sessions_.size());
  for (const auto& s : sessions_) numbers.push_back(s->Number());
  return numbers;
}

std::optional<RSessionSummaryStr> RFTPSManager::SessionSummary(uint32_t session) const {
  const RFTPSComInterp* s = FindSession(session);
  if (s == nullptr) return std::nullopt;
  return SessionSummary(*s);
}

RSessionSummaryStr RFTPSManager::SessionSummary(const RFTPSComInterp& session) const {
  const RFTPSComInterp* s = &session;
  RSessionSummaryStr r;
  r.session = s->Number();
  r.found = 1;
  const time_t t = static_cast<time_t>(s->Connection.connectTime);
  struct tm tmv {};
  localtime_r(&t, &tmv);
  r.hour = tmv.tm_hour;
  r.minute = tmv.tm_min;
  r.second = tmv.tm_sec;
  CopyText(r.user, s->Login.userName);
  CopyText(r.client, s->Connection.clientAddress);
  r.transferState = s->Transfer.State();
  r.transferBytes = s->IsTransferActive() ? s->Transfer.Bytes() : 0;
  r.percent = 0;
  if (s->Transfer.State() == XS_Sending && s->Transfer.fileSize != 0) {
    r.percent = static_cast<int32_t>((r.transferBytes + s->Transfer.startOffset) /
                                     (s->Transfer.fileSize / 100 + 1));
  }
  CopyText(r.file, s->Transfer.State() != XS_Idle ? Lower(s->Transfer.fileName) : std::string());
  const RTlsStream* tls = s->Control() != nullptr ? s->Control()->Tls() : nullptr;
  CopyText(r.tlsProtocol, tls != nullptr ? tls->Protocol() : std::string());
  CopyText(r.tlsCipher, tls != nullptr ? tls->Cipher() : std::string());
  r.protP = tls != nullptr && s->Tls.protP ? 1 : 0;
  return r;
}

std::optional<RSessionTimingStr> RFTPSManager::SessionTiming(uint32_t session) const {
  const RFTPSComInterp* s = FindSession(session);
  if (s == nullptr) return std::nullopt;
  return SessionTiming(*s);
}

RSessionTimingStr RFTPSManager::SessionTiming(const RFTPSComInterp& session) const {
  const RFTPSComInterp* s = &session;
  RSessionTimingStr r;
  r.session = s->Number();
  r.found = 1;
  SplitSeconds(s->SecondsConnected(), r.hours, r.minutes, r.seconds);
  const bool moving = s->IsTransferActive();
  const RWinSocket* idle =
      moving && s->Transfer.link.socket ? s->Transfer.link.socket.get() : s->Control();
  SplitSeconds(idle != nullptr ? idle->IdleSeconds() : 0, r.idleHours, r.idleMinutes,
               r.idleSeconds);
  r.rate =
      !moving ? -1 : (s->Transfer.link.socket ? s->Transfer.link.socket->BytesLastSecond() : 0);
  return r;
}

std::optional<RSessionHostStr> RFTPSManager::SessionHost(uint32_t session) {
  RFTPSComInterp* s = FindSession(session);
  if (s == nullptr) return std::nullopt;
  RSessionHostStr r;
  r.session = session;
  r.found = 1;
  r.resolved = s->Connection.nameResolved && !s->Connection.hostName.empty() ? 1 : 0;
  if (r.resolved != 0) {
    CopyText(r.host, s->Connection.hostName);
  } else {
    s->LookUpHostName();
  }
  return r;
}

std::optional<RSessionTrafficStr> RFTPSManager::SessionTraffic(uint32_t session) const {
  const RFTPSComInterp* s = FindSession(session);
  if (s == nullptr) return std::nullopt;
  return SessionTraffic(*s);
}

RSessionTrafficStr RFTPSManager::SessionTraffic(const RFTPSComInterp& session) const {
  const RFTPSComInterp* s = &session;
  RSessionTrafficStr r;
  r.session = s->Number();
  r.found = 1;
  r.bytesSent = s->Counters.bytesDown;
  r.bytesReceived = s->Counters.bytesUp;
  if (s->Transfer.State() == XS_Sending) r.bytesSent += static_cast<uint64_t>(s->Transfer.Bytes());
  if (s->Transfer.State() == XS_Receiving)
    r.bytesReceived += static_cast<uint64_t>(s->Transfer.Bytes());
  std::string text;
  if (s->IsLoggedIn() || s->IsClosing()) {
    text = Lower(s->Transfer.State() != XS_Idle ? s->Transfer.fileName : s->Login.currentDir);
  }
  CopyText(r.text, text);
  return r;
}

void RFTPSManager::SetSessionWindowOpen(bool open) {
  userInfoOpen_ = open;
}

namespace {

// A record of the bus query: filled when the session exists; otherwise only
// its "found" becomes 0 and nothing else is touched.
template <class Record, class Ask>
intptr_t AnswerRecord(intptr_t address, Ask ask) {
  auto* r = reinterpret_cast<Record*>(address);
  if (std::optional<Record> answer = ask(r->session)) {
    *r = *answer;
  } else {
    r->found = 0;
  }
  return 1;
}

}  // namespace

// The bus form: the first parameter is the code, the second the record's
// address (for SQ_WindowOpen the value itself). The only place records
// travel as integers.
intptr_t RFTPSManager::AnswerSessionQuery(uint32_t code, intptr_t record) {
  if (code == SQ_WindowOpen) {
    SetSessionWindowOpen(record != 0);
    return 1;
  }
  if (record == 0) return 0;
  switch (code) {
    case SQ_Count:
      *reinterpret_cast<uint32_t*>(record) = SessionCount();
      return 1;
    case SQ_List: {
      auto* r = reinterpret_cast<RSessionListStr*>(record);
      const std::vector<uint32_t> numbers = SessionNumbers();
      const uint32_t n = std::min<uint32_t>(r->count, static_cast<uint32_t>(numbers.size()));
      for (uint32_t i = 0; i < n && r->numbers != nullptr; ++i) r->numbers[i] = numbers[i];
      r->count = n;
      return 1;
    }
    case SQ_Summary:
      return AnswerRecord<RSessionSummaryStr>(record,
                                              [this](uint32_t n) { return SessionSummary(n); });
    case SQ_Timing:
      return AnswerRecord<RSessionTimingStr>(record,
                                             [this](uint32_t n) { return SessionTiming(n); });
    case SQ_HostName:
      return AnswerRecord<RSessionHostStr>(record, [this](uint32_t n) { return SessionHost(n); });
    case SQ_Traffic:
      return AnswerRecord<RSessionTrafficStr>(record,
                                              [this](uint32_t n) { return SessionTraffic(n); });
    default:
      return 0;
  }
}

}  // namespace vantor
