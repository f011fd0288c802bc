#include "accounts/RFTPQuota.h"

#include <charconv>
#include <string>

#include "accounts/RFTPRatios.h"

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
    if (pending_ != 0 && idle < kFlushMs) {
      ArmTimer(kFlushMs - idle);
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

void RFTPQuota::Start(std::string_view user, uint32_t address, uint32_t session) {
  if (enabled_) Flush();
  ClearAccessQuery(q_);
  SetQueryUser(q_, user);
  q_.address = address;
  q_.session = session;
  last_ = 0;
  enabled_ = Ask(QC_QUOTA_ENABLED, 0) && QueryBool(q_);
}

bool RFTPQuota::Charge(int64_t amount) {
  if (!enabled_) return true;
  last_ = 0;
  if (amount == 0) return true;
  const int64_t now = NowMs();
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
