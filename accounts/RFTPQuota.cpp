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
  const int64_t net = pending_ + amount;
  if (net < 0) {
    // Reserve a whole batch at once so that a running upload does not
    // rewrite the configuration file for every block.
    int64_t r = (amount < -batch_) ? amount : -batch_;
    if (!Ask(QC_QUOTA_CHANGE, r)) {
      batch_ /= 2;
      r = net;
      if (!Ask(QC_QUOTA_CHANGE, r)) return false;
    }
    pending_ = net - r;
  } else {
    pending_ = net;
    if (amount > 0) batch_ = batch_ + amount > kMaxBatch ? kMaxBatch : batch_ + amount;
  }
  if (pending_ != 0 && !timerArmed_) {
    timerArmed_ = true;
    timer_ = loop_.AddTimer(kFlushMs, false, [this]() {
      timerArmed_ = false;
      timer_ = 0;
      Flush();
    });
  }
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
  if (pending_ != 0 && enabled_) Ask(QC_QUOTA_CHANGE, pending_);
  pending_ = 0;
  DisarmTimer();
}

int64_t RFTPQuota::UsedNow() {
  if (!Ask(QC_QUOTA_CHANGE, 0)) return -1;
  return ReadBytes(QueryAux(q_)) - pending_;
}

int64_t RFTPQuota::Maximum() {
  if (!Ask(QC_QUOTA_MAXIMUM, 0)) return -1;
  return ReadBytes(QueryAux(q_));
}

}  // namespace vantor
