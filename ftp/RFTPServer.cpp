#include "ftp/RFTPServer.h"

#include "config/RConfigStrings.h"
#include "config/RDriveConfig.h"
#include "config/RProfile.h"
#include "fs/RFsServices.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

namespace vantor {

RFTPServer::RFTPServer(RMessageLoop& loop, RSocketLayer& layer, RFrontEnd& frontEnd,
                       std::string iniPath)
    : loop_(loop),
      layer_(layer),
      frontEnd_(frontEnd),
      iniPath_(std::move(iniPath)),
      ini_(iniPath_) {}

RFTPServer::~RFTPServer() {
  // Sessions ask the store while they close.
  manager_.reset();
  store_.reset();
}

void RFTPServer::Start() {
  settings_.Load(ini_);
  securityOn_ = settings_.security;
  manager_ = std::make_unique<RFTPSManager>(loop_, frontEnd_, iniPath_, !securityOn_, &layer_);
  manager_->SetAccessHandler([this](AccessQuery& q) { AnswerQuery(q); });
  if (securityOn_) {
    store_ = std::make_unique<RFTPSSecurity>(iniPath_, &loop_.Clock());
    // Quota and ratio counters reach the disk on the manager's pool; while
    // the manager goes (and after) they are written at once.
    store_->Ini().SetWritePool([this] { return manager_ ? manager_->PoolIfMade() : nullptr; });
    store_->SetMessageFileLookup([this](bool signOn, uint32_t address, std::string& file) {
      return manager_->LookupMessageFile(signOn, address, file);
    });
    manager_->SetRuleScopeHandler(
        [this](std::string_view user, uint32_t address, std::string_view dir) {
          return store_ && store_->RulesNameInside(user, address, dir);
        });
    manager_->SetListRulesHandler([this](std::string_view user, uint32_t address) {
      return store_ ? store_->ListRules(user, address) : nullptr;
    });
    // A password's hash costs tens of milliseconds: it runs on the pool.
    manager_->SetPasswordHandlers(
        [this](AccessQuery& q) -> std::optional<RPasswordWorkStr> {
          if (store_) return store_->BeginPassword(q);
          q.flag = 0;
          return std::nullopt;
        },
        [this](AccessQuery& q, const RPasswordWorkStr& work, RPasswordCheck result) {
          if (store_) store_->FinishPassword(q, work, result);
        });
    manager_->SetSKeyShare({[this](AccessQuery& q) -> std::optional<RSKeyRecordStr> {
                              return store_ ? store_->SKeyRecordFor(q) : std::nullopt;
                            },
                            [this](const std::string& account, const std::string& record) {
                              if (store_) store_->SetSharedSKey(account, record);
                            },
                            [this](uint32_t session) -> std::optional<RSKeyUseStr> {
                              return store_ ? store_->TakeSKeyUse(session) : std::nullopt;
                            }});
    manager_->SetPasswordShare(
        {[this](AccessQuery& q) -> std::optional<std::string> {
           return store_ ? store_->PasswordAccountFor(q) : std::nullopt;
         },
         [this](const std::string& account, const std::optional<std::string>& stored) {
           if (store_) store_->SetSharedPassword(account, stored);
         },
         [this](AccessQuery& q) -> std::optional<RPasswordChangeStr> {
           return store_ ? store_->PreparePasswordChange(q) : std::nullopt;
         },
         [this](const RPasswordChangeStr& change) {
           return store_ && store_->CommitPasswordChange(change);
         }});
    manager_->SetNameMatchingHandler([this] { return store_ && store_->IPNameMatchingOn(); });
    // Another program's change to a big file is parsed on a worker while
    // the sessions that would ask about it wait.
    manager_->SetAccessDataWait(
        [this](RWorkPool& pool, const RWorkCancelPtr& cancel, std::function<void()> ready) {
          return !store_ || store_->Ini().RefreshOffLoop(&pool, cancel, std::move(ready));
        });
  } else {
    WriteLog(LOG_SCREEN, LoadStr(kLogSecurityOff));
  }
  ApplySwitches();
  manager_->ApplySettings();
}

void RFTPServer::Reload() {
  if (!manager_) return;
  settings_.Load(ini_);
  if (store_) store_->Reload();
  ApplySwitches();
  manager_->ApplySettings();
  manager_->EndSessionsNoLongerAdmitted();
}

void RFTPServer::ApplySwitches() {
  layer_.SetSpeedLimit(settings_.speedLimit);
  // Names are looked up after admission only when some log shows them.
  manager_->SetHostNameLogging(ProfileBool(ini_, kGlobalSection, "LogIPNames", true) ||
                               ProfileBool(ini_, kGlobalSection, "LogFileIPNames", true));
  RFsSettingsStr fs;
  fs.drives = GatedDrives(DriveMapFromIni(ini_));
  drives_ = fs.drives;
  fs.linkFile = settings_.linkFile;
  fs.linkFile2 = settings_.linkFile2;
  fs.lowerCase = settings_.lowerCaseFileDir;
  fs.dirListMask = settings_.dirListMask;
  fs.maxListEntries = settings_.maxListEntries;
  fs.dirCacheMaxMB = settings_.dirCacheMaxMB;
  manager_->Fs().SetSettings(std::move(fs));
}

RDriveMap RFTPServer::GatedDrives(const RDriveMap& wanted) const {
  if (!driveGate_) return wanted;
  std::vector<std::pair<std::string, std::string>> entries;
  bool refused = false;
  for (char d = 'A'; d <= 'Z'; ++d) {
    std::string root = wanted.Root(d);
    if (!root.empty() && root != drives_.Root(d) && !driveGate_(d, root)) {
      root = drives_.Root(d);
      refused = true;
    }
    if (!root.empty()) entries.emplace_back(std::string(1, d), root);
  }
  if (!refused) return wanted;
  // An empty list would mean the default table (C: = "/").
  return entries.empty() ? drives_ : RDriveMap::FromEntries(entries);
}

void RFTPServer::AnswerQuery(AccessQuery& q) {
  HandleAccessQueryMessage(store_.get(), securityOn_, q);
}

}  // namespace vantor
