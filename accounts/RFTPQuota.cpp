#include "accounts/RFTPQuota.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "accounts/RClusterStore.h"
#include "accounts/RFTPRatios.h"
#include "util/RText.h"

namespace vantor {
namespace {

int64_t ReadBytes(std::string_view s) {
  int64_t v = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || ptr == s.data()) return 0;
  return v;
}

}  // namespace

RFTPQuota::RFTPQuota(RMessageLoop& loop, RWindowId mainWindow, const RPathProbe& probe)
    : loop_(loop), window_(mainWindow), probe_(probe) {}

RFTPQuota::~RFTPQuota() {
  Flush();
  DisarmTimer();
  if (link_) link_->owner = nullptr;
}

bool RFTPQuota::Ask(uint32_t code, int64_t change) {
  q_.code = code;
  SetQueryAux(q_, std::to_string(change));
  return SendAccessQuery(loop_, window_, q_) != 0;
}

void RFTPQuota::DisarmTimer() {
  if (timerArmed_) loop_.CancelTimer(timer_);
  timerArmed_ = false;
  timer_ = 0;
}

int64_t RFTPQuota::NowMs() const {
  return loop_.Clock().NowMs();
}

void RFTPQuota::ArmTimer(int64_t ms) {
  timerArmed_ = true;
  timer_ = loop_.AddTimer(ms, false, [this]() {
    timerArmed_ = false;
    timer_ = 0;
    // A running upload keeps using its reservation: handing it back now
    // would only make the next block reserve it again.
    const int64_t idle = NowMs() - lastChargeMs_;
    // An upload waiting for the shared store (a database restart) is
    // running too, however long it waits.
    if (resume_ || (pending_ != 0 && idle < kFlushMs)) {
      ArmTimer(resume_ ? kFlushMs : kFlushMs - idle);
      return;
    }
    Flush();
  });
}

void RFTPQuota::GrowBatch(int64_t now) {
  if (refused_ || lastBatchMs_ < 0) return;
  const int64_t elapsed = now - lastBatchMs_;
  if (elapsed >= kReserveSpacingMs) return;
  // Sized so the next batch lasts about kReserveSpacingMs at this rate.
  int64_t factor = kReserveSpacingMs / (elapsed > 0 ? elapsed : 1);
  if (factor < 2) return;
  if (factor > kMaxGrowth) factor = kMaxGrowth;
  batch_ = batch_ > kBatchCeiling / factor ? kBatchCeiling : batch_ * factor;
}

void RFTPQuota::Start(std::string_view user, uint32_t address, uint32_t session,
                      RClusterStore* shared) {
  if (enabled_) Flush();
  ClearAccessQuery(q_);
  SetQueryUser(q_, user);
  q_.address = address;
  q_.session = session;
  last_ = 0;
  enabled_ = Ask(QC_QUOTA_ENABLED, 0) && QueryBool(q_);
  if (link_) link_->owner = nullptr;
  link_.reset();
  shared_ = enabled_ ? shared : nullptr;
  if (shared_ != nullptr) {
    link_ = std::make_shared<SharedLinkStr>();
    link_->owner = this;
    // Account names are not case-sensitive; the store's rows are.
    account_ = Upper(user);
    // The INI figure until the store has answered once.
    sharedUsed_ = Ask(QC_QUOTA_CHANGE, 0) ? ReadBytes(QueryAux(q_)) : 0;
  }
}

bool RFTPQuota::MustReserve(int64_t amount) const {
  return shared_ != nullptr && enabled_ && pending_ < amount && !exhausted_ && !unavailable_;
}

void RFTPQuota::Reserve(int64_t amount, std::function<void()> resume) {
  if (!MustReserve(amount)) {
    if (resume) loop_.AddTimer(0, false, std::move(resume));
    return;
  }
  resume_ = std::move(resume);
  if (!reserving_) AskShared(std::max(kSharedBatch, amount - pending_));
}

void RFTPQuota::AskShared(int64_t amount) {
  reserving_ = true;
  const int64_t maximum = Maximum();
  const int64_t seed = sharedUsed_;
  std::weak_ptr<SharedLinkStr> weak = link_;
  RClusterStore* store = shared_;
  const std::string account = account_;
  store->TakeQuota(account_, amount, kSharedLeast, maximum < 0 ? 0 : maximum, seed,
                   kSharedConfirmMs,
                   [weak, store, account](const RClusterStore::RChargeAnswerStr& a) {
                     auto link = weak.lock();
                     if (link && link->owner != nullptr) {
                       link->owner->SharedAnswered(
                           a.applied, a.used, a.outcome != RClusterStore::RCharge::Unconfirmed);
                       return;
                     }
                     // The session went while its take was out: what it
                     // took goes straight back.
                     if (a.applied > 0) {
                       store->ChargeQuota(account, -a.applied, 0, 0, 0, nullptr);
                     }
                   });
}

void RFTPQuota::SharedAnswered(int64_t taken, int64_t used, bool confirmed) {
  reserving_ = false;
  if (!confirmed) {
    unavailable_ = true;
  } else {
    if (used >= 0) sharedUsed_ = used;
    pending_ += taken;
    // Less than a block: the quota is at its end.
    if (taken < kSharedLeast) exhausted_ = true;
    lastChargeMs_ = NowMs();
    if (pending_ != 0 && !timerArmed_) ArmTimer(kFlushMs);
  }
  // Resumed from a pass of its own, not inside the store's answer.
  if (!resume_) return;
  std::weak_ptr<SharedLinkStr> weak = link_;
  loop_.AddTimer(0, false, [weak] {
    auto link = weak.lock();
    if (!link || link->owner == nullptr) return;
    if (std::function<void()> resume = std::move(link->owner->resume_)) {
      link->owner->resume_ = nullptr;
      resume();
    }
  });
}

void RFTPQuota::ReleaseShared(int64_t amount) {
  if (amount <= 0) return;
  // Never given up: retried under its id until the store has it.
  shared_->ChargeQuota(account_, -amount, 0, 0, 0, nullptr);
  sharedUsed_ = std::max<int64_t>(sharedUsed_ - amount, 0);
}

bool RFTPQuota::Charge(int64_t amount) {
  if (!enabled_) return true;
  last_ = 0;
  if (amount == 0) return true;
  const int64_t now = NowMs();
  if (shared_ != nullptr) {
    // Only what is reserved here can be spent; a release waits for Flush.
    const int64_t left = pending_ + amount;
    if (left < 0) return false;
    pending_ = left;
    lastChargeMs_ = now;
    last_ = amount;
    if (pending_ != 0 && !timerArmed_) ArmTimer(kFlushMs);
    // Ahead of need, so a steady upload never waits for the store.
    if (amount < 0 && pending_ < kSharedLowWater && !reserving_ && !exhausted_ && !unavailable_)
      AskShared(kSharedBatch);
    return true;
  }
  const int64_t net = pending_ + amount;
  if (net < 0) {
    // Reserve a whole batch at once so that a running upload does not
    // rewrite the configuration file for every block.
    GrowBatch(now);
    const bool whole = amount < -batch_;
    int64_t r = whole ? amount : -batch_;
    bool ok = Ask(QC_QUOTA_CHANGE, r);
    // A grown batch may simply be more than is left: smaller ones first (a
    // refusal writes nothing), then exactly what is missing.
    while (!ok && !whole && batch_ > kMaxBatch && batch_ / 2 >= -net) {
      batch_ /= 2;
      refused_ = true;
      r = -batch_;
      ok = Ask(QC_QUOTA_CHANGE, r);
    }
    if (!ok) {
      batch_ /= 2;
      refused_ = true;
      r = net;
      if (!Ask(QC_QUOTA_CHANGE, r)) return false;
    } else if (!whole) {
      lastBatchMs_ = now;
    }
    pending_ = net - r;
  } else {
    pending_ = net;
    if (amount > 0 && batch_ < kMaxBatch) {
      batch_ = batch_ + amount > kMaxBatch ? kMaxBatch : batch_ + amount;
    }
  }
  lastChargeMs_ = now;
  if (pending_ != 0 && !timerArmed_) ArmTimer(kFlushMs);
  last_ = amount;
  return true;
}

void RFTPQuota::UndoLast() {
  if (!enabled_ || last_ == 0) return;
  // Reversing a use frees space, and reversing a release takes back exactly
  // what was just given up, so the store accepts it in practice.
  (void)Charge(-last_);
  last_ = 0;
}

void RFTPQuota::CreditFile(std::string_view localPath) {
  if (!enabled_) return;
  int64_t size = probe_.FileSize(localPath);
  if (size < 0) return;
  (void)Charge(size);
}

void RFTPQuota::Flush() {
  DisarmTimer();
  if (shared_ != nullptr) {
    // A take still out is settled by its answer (kept, then handed back by
    // the timer); the upload that waited for it is over.
    resume_ = nullptr;
    ReleaseShared(pending_);
    pending_ = 0;
    exhausted_ = false;
    unavailable_ = false;
    return;
  }
  // A hand-back the store refused (its file could not be written) stays
  // here and is offered again: dropped, the recorded usage would stay too
  // high for good.
  if (pending_ != 0 && enabled_ && !Ask(QC_QUOTA_CHANGE, pending_)) {
    ArmTimer(kFlushMs);
  } else {
    pending_ = 0;
  }
  // The next upload starts with the ordinary batch again.
  if (batch_ > kMaxBatch) batch_ = kMaxBatch;
  lastBatchMs_ = -1;
  refused_ = false;
}

int64_t RFTPQuota::UsedNow() {
  if (shared_ != nullptr) return std::max<int64_t>(sharedUsed_ - pending_, 0);
  if (!Ask(QC_QUOTA_CHANGE, 0)) return -1;
  // A credit still pending may be larger than what the store has in use (a
  // file that was never charged): the store will stop at 0, so does this.
  const int64_t used = ReadBytes(QueryAux(q_)) - pending_;
  return used < 0 ? 0 : used;
}

int64_t RFTPQuota::Maximum() {
  if (!Ask(QC_QUOTA_MAXIMUM, 0)) return -1;
  return ReadBytes(QueryAux(q_));
}

}  // namespace vantor
