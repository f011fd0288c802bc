// Disk quota of one session.
//
// Space is reserved from the account's `QuotaMaxCurrent` in batches (250000
// bytes, halved when the store refuses) so an upload does not write the
// configuration file for every block; the running charge is kept here and
// served from the reservation. A reservation that comes less than
// kReserveSpacingMs after the previous one makes the batch larger in
// proportion (at most kMaxGrowth times per step, at most kBatchCeiling, never
// again after a refusal until the next Flush), so a fast upload writes the
// file a few times at its start and then about every two seconds. What was
// reserved and not used is handed back 3600 ms after the last change, at
// Flush() (the end of every upload) and at destruction. The store is never
// told less than what was written; its file may lag behind it, so a crash
// can leave the recorded usage too low by the reservations not yet on disk
// (docs/accounts.md says exactly how much).
//
// With a cluster store the usage lives in the database and the INI figure
// only seeds it. The reservation is then taken from the database ahead of
// the upload (kSharedBatch at a time, less near the maximum), one
// statement each: Charge() spends only what is reserved here, and an upload
// that needs more asks Reserve() and waits for the answer. What is left
// goes back with Flush(), as a release the store never gives up.
// Loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "accounts/AccessQuery.h"
#include "accounts/RPathProbe.h"
#include "platform/RMessageLoop.h"

namespace vantor {

class RClusterStore;

class RFTPQuota {
 public:
  static constexpr int64_t kMaxBatch = 250000;
  static constexpr int64_t kFlushMs = 3600;
  static constexpr int64_t kReserveSpacingMs = 2000;
  static constexpr int64_t kMaxGrowth = 16;
  static constexpr int64_t kBatchCeiling = int64_t{1} << 30;
  // The shared store's reservation (smaller near the maximum, down to
  // kSharedLeast, an upload's block), and the level below which the next
  // one is asked for while the upload goes on.
  static constexpr int64_t kSharedBatch = int64_t{8} << 20;
  static constexpr int64_t kSharedLeast = int64_t{1} << 20;
  static constexpr int64_t kSharedLowWater = int64_t{2} << 20;
  // How long a reservation may stay unanswered (a database restart) before
  // the upload is refused.
  static constexpr int64_t kSharedConfirmMs = 15000;

  RFTPQuota(RMessageLoop& loop, RWindowId mainWindow, const RPathProbe& probe);
  ~RFTPQuota();
  RFTPQuota(const RFTPQuota&) = delete;
  RFTPQuota& operator=(const RFTPQuota&) = delete;

  // At login (flushes first when already enabled). With `shared`, a cluster
  // store that outlives this object, the usage is kept there.
  void Start(std::string_view user, uint32_t address, uint32_t session,
             RClusterStore* shared = nullptr);
  bool Enabled() const { return enabled_; }

  // Negative = use space, positive = free it. False = not enough quota
  // ("452 Sorry, insufficient disk quota - receive file %s aborted.").
  [[nodiscard]] bool Charge(int64_t amount);
  // True when a use of `amount` bytes (> 0) must wait for the shared
  // store: the reservation here is short and the store may still have more.
  bool MustReserve(int64_t amount) const;
  // Asks the shared store for a reservation that covers `amount` and calls
  // `resume` once it answered, whatever the answer (Charge() then says
  // whether the bytes may be used). Flush() and destruction drop `resume`.
  void Reserve(int64_t amount, std::function<void()> resume);
  bool Shared() const { return shared_ != nullptr; }
  // Reverses the last charge.
  void UndoLast();
  // Frees the size of an existing file about to be overwritten or deleted.
  void CreditFile(std::string_view localPath);
  // Hands the unused reservation back to the store; the batch returns to
  // kMaxBatch at most. When the store refuses, the reservation stays
  // pending and the timer offers it again.
  void Flush();
  // Bytes in use (store's figure minus the unused reservation); -1 unknown.
  int64_t UsedNow();
  // Maximum bytes; -1 unknown.
  int64_t Maximum();

  int64_t Pending() const { return pending_; }
  int64_t BatchSize() const { return batch_; }
  bool TimerArmed() const { return timerArmed_; }

 private:
  bool Ask(uint32_t code, int64_t change);
  void DisarmTimer();
  void ArmTimer(int64_t ms);
  int64_t NowMs() const;
  // Makes the batch larger when the last batch went fast.
  void GrowBatch(int64_t now);

  RMessageLoop& loop_;
  RWindowId window_;
  const RPathProbe& probe_;
  bool enabled_ = false;
  int64_t last_ = 0;
  int64_t pending_ = 0;
  int64_t batch_ = kMaxBatch;
  bool timerArmed_ = false;
  RMessageLoop::TimerId timer_ = 0;
  int64_t lastChargeMs_ = 0;
  int64_t lastBatchMs_ = -1;  // when the last whole batch was reserved; -1: none
  bool refused_ = false;      // the store refused a batch since the last Flush
  AccessQuery q_{};

  // --- with a shared store ---
  // What an answer must reach: this object may be gone by then, and what
  // the store took must go back then.
  struct SharedLinkStr {
    RFTPQuota* owner = nullptr;
  };
  void AskShared(int64_t amount);
  void SharedAnswered(int64_t taken, int64_t used, bool confirmed);
  void ReleaseShared(int64_t amount);
  RClusterStore* shared_ = nullptr;
  std::shared_ptr<SharedLinkStr> link_;
  std::string account_;
  int64_t sharedUsed_ = 0;    // the store's last figure
  bool reserving_ = false;    // a take is in flight
  bool exhausted_ = false;    // the store had no more to give (until Flush)
  bool unavailable_ = false;  // a take went unanswered (until Flush)
  std::function<void()> resume_;
};

}  // namespace vantor
