// The list-directory question of a listing generated on a worker thread.
//
// The session cannot be asked from there (it may be gone by the time the
// question comes, and its fields belong to the loop thread), so the question
// carries copies of what the session's own query would, and is put to the
// manager under the loop's pass lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "accounts/AccessQuery.h"
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
};
RWorkerContextStr WorkerContext(const RFTPSComInterp& s);

// The session's AskFlag(code, aux), asked from a worker.
bool AskFlagOffLoop(const RWorkerContextStr& ctx, uint32_t code, std::string_view aux);

class RWorkerListAccess final : public RFsAccess {
 public:
  explicit RWorkerListAccess(const RWorkerContextStr& ctx) : ctx_(ctx) {}
  bool CanList(std::string_view, uint32_t, std::string_view localPath) override {
    return AskFlagOffLoop(ctx_, QC_LIST_DIR, localPath);
  }

 private:
  const RWorkerContextStr& ctx_;
};

}  // namespace vantor
