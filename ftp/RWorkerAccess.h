// The list-directory question of a listing generated on a worker thread.
//
// The session cannot be asked from there (it may be gone by the time the
// question comes, and its fields belong to the loop thread), so the question
// carries copies of what the session's own query would, and is handed to
// the loop thread, which answers it while the worker waits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "accounts/AccessQuery.h"
#include "accounts/RListRules.h"
#include "fs/RFsAccess.h"
#include "fs/RFsSettings.h"

namespace vantor {

class RFTPSManager;
class RFTPSComInterp;

// What a worker job of a session needs besides its own arguments: the
// manager to ask (and whose directory cache listings go through), the
// session's number, user and IP home, and the file settings in force when
// the command came (kept for the job, whatever a reload does meanwhile).
struct RWorkerContextStr {
  RFTPSManager* manager = nullptr;
  uint32_t session = 0;
  std::string user;
  uint32_t address = 0;
  RFsSettingsPtr fs;
  // The account's file-access rules when the command came (null: every
  // question goes to the loop thread).
  std::shared_ptr<const RListRules> rules;
};
RWorkerContextStr WorkerContext(const RFTPSComInterp& s);

// The session's AskFlag(code, aux), asked from a worker. File-access codes
// are judged by the context's rules on the worker itself; the loop thread is
// asked only for what the rules cannot settle (other codes, or a refusal
// that client-check libraries may still overturn).
bool AskFlagOffLoop(const RWorkerContextStr& ctx, uint32_t code, std::string_view aux);

class RWorkerListAccess final : public RFsAccess {
 public:
  explicit RWorkerListAccess(const RWorkerContextStr& ctx) : ctx_(ctx) {}
  bool CanList(std::string_view, uint32_t, std::string_view localPath) override {
    return AskFlagOffLoop(ctx_, QC_LIST_DIR, localPath);
  }
  void CanListMany(std::string_view, uint32_t, const std::vector<std::string>& paths,
                   std::vector<char>& allowed) override;

 private:
  const RWorkerContextStr& ctx_;
};

}  // namespace vantor
