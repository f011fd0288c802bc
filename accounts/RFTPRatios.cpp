#include "accounts/RFTPRatios.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

#include "accounts/RClusterStore.h"
#include "util/RFormat.h"
#include "util/RText.h"

namespace vantor {
namespace {

// "%lu" with the ratio's rule: missing, unreadable or zero is 1.
uint32_t ReadPart(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  uint32_t v = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || ptr == s.data() || v == 0) return 1;
  return v;
}

double ReadCredit(std::string_view s) {
  std::string tmp(s);
  char* end = nullptr;
  double v = std::strtod(tmp.c_str(), &end);
  if (end == tmp.c_str() || !std::isfinite(v)) return 0.0;
  return v;
}

}  // namespace

uint32_t SendAccessQuery(RMessageLoop& loop, RWindowId mainWindow, AccessQuery& q) {
  q.flag = 0;
  loop.SendMessage(mainWindow, ACCESS_QUERY_MESSAGE, 0, reinterpret_cast<intptr_t>(&q));
  return q.flag;
}

RFTPRatios::RFTPRatios(RMessageLoop& loop, RWindowId mainWindow, const RPathProbe& probe)
    : loop_(loop), window_(mainWindow), probe_(probe) {}

RFTPRatios::~RFTPRatios() {
  if (link_) link_->owner = nullptr;
}

bool RFTPRatios::Ask(uint32_t code, std::string_view aux) {
  q_.code = code;
  SetQueryAux(q_, aux);
  return SendAccessQuery(loop_, window_, q_) != 0;
}

double RFTPRatios::StoredCredit() {
  return Ask(QC_RATIO_CREDIT, "0") ? ReadCredit(QueryAux(q_)) : 0.0;
}

void RFTPRatios::ChangeStored(double change) {
  Ask(QC_RATIO_CREDIT, RFormat("%lf", change));
}

void RFTPRatios::Start(std::string_view user, uint32_t address, uint32_t session,
                       RClusterStore* shared) {
  ClearAccessQuery(q_);
  SetQueryUser(q_, user);
  q_.address = address;
  q_.session = session;
  enabled_ = false;
  type_ = RATIO_FILES_PER_SESSION;
  up_ = down_ = 1;
  factor_ = 1.0;
  credit_ = 0.0;
  charge_ = 0;
  shared_ = nullptr;
  if (!Ask(QC_RATIO_TYPE, "")) return;
  enabled_ = true;
  std::string_view t = QueryAux(q_);
  if (EqualNoCaseAscii(t, "BytesPerSession")) type_ = RATIO_BYTES_PER_SESSION;
  if (EqualNoCaseAscii(t, "FilesOverall")) type_ = RATIO_FILES_OVERALL;
  if (EqualNoCaseAscii(t, "BytesOverall")) type_ = RATIO_BYTES_OVERALL;
  up_ = Ask(QC_RATIO_UP, "") ? ReadPart(QueryAux(q_)) : 1;
  down_ = Ask(QC_RATIO_DOWN, "") ? ReadPart(QueryAux(q_)) : 1;
  factor_ = static_cast<double>(down_) / static_cast<double>(up_);
  if (type_ == RATIO_FILES_PER_SESSION || type_ == RATIO_BYTES_PER_SESSION) {
    credit_ = StoredCredit();
    return;
  }
  if (shared == nullptr) return;
  // Per-session credit never leaves the session: only the over-all types
  // share theirs.
  if (link_) link_->owner = nullptr;
  link_ = std::make_shared<SharedLinkStr>();
  link_->owner = this;
  shared_ = shared;
  // Account names are not case-sensitive; the store's rows are.
  account_ = Upper(user);
  seed_ = StoredCredit();
  credit_ = seed_;
  ChangeShared(0);  // the store's figure, for display
}

void RFTPRatios::ChangeShared(double change) {
  std::weak_ptr<SharedLinkStr> weak = link_;
  // A credit is never given up: it is asked again until it applies.
  shared_->ChargeRatio(
      account_, change, 0, seed_, kSharedConfirmMs,
      [weak](const RClusterStore::RChargeAnswerStr& a) {
        auto link = weak.lock();
        if (link && link->owner != nullptr && a.outcome != RClusterStore::RCharge::Unconfirmed)
          link->owner->credit_ = a.credit;
      });
}

void RFTPRatios::MayDownloadShared(std::string_view localPath, std::function<bool(bool)> done) {
  charge_ = 0;
  auto answerNow = [this](std::function<bool(bool)> d, bool allowed) {
    loop_.AddTimer(0, false, [d = std::move(d), allowed] { d(allowed); });
  };
  if (!enabled_ || shared_ == nullptr || Ask(QC_RATIO_FREE, localPath)) {
    answerNow(std::move(done), true);
    return;
  }
  uint64_t amount = 1;
  if (type_ == RATIO_BYTES_OVERALL) {
    const int64_t size = probe_.FileSize(localPath);
    if (size < 0) {
      answerNow(std::move(done), false);
      return;
    }
    amount = static_cast<uint64_t>(size);
  }
  const double need = static_cast<double>(amount);
  std::weak_ptr<SharedLinkStr> weak = link_;
  RClusterStore* store = shared_;
  shared_->ChargeRatio(account_, -need, need, seed_, kSharedConfirmMs,
                       [weak, store, account = account_, amount, need,
                        done = std::move(done)](const RClusterStore::RChargeAnswerStr& a) {
                         const bool allowed = a.outcome == RClusterStore::RCharge::Done;
                         auto link = weak.lock();
                         RFTPRatios* owner = link ? link->owner : nullptr;
                         if (owner != nullptr) {
                           if (a.outcome != RClusterStore::RCharge::Unconfirmed)
                             owner->credit_ = a.credit;
                           if (allowed) owner->charge_ = amount;
                         }
                         if (owner != nullptr && done(allowed)) return;
                         // The session went while its charge was out: the download never
                         // happens, the credit goes back.
                         if (owner != nullptr) owner->charge_ = 0;
                         if (allowed && amount > 0)
                           store->ChargeRatio(account, need, 0, 0, 0, nullptr);
                       });
}

bool RFTPRatios::MayDownload(std::string_view localPath) {
  charge_ = 0;
  if (!enabled_) return true;
  if (Ask(QC_RATIO_FREE, localPath)) return true;
  switch (type_) {
    case RATIO_FILES_PER_SESSION:
      if (credit_ < 0.99) return false;
      credit_ -= 1;
      charge_ = 1;
      return true;
    case RATIO_BYTES_PER_SESSION: {
      int64_t size = probe_.FileSize(localPath);
      if (size < 0) return false;
      if (static_cast<double>(size) - 1 > credit_) return false;
      credit_ -= static_cast<double>(size);
      charge_ = static_cast<uint64_t>(size);
      return true;
    }
    default: {
      uint64_t amount = 1;
      if (type_ == RATIO_BYTES_OVERALL) {
        int64_t size = probe_.FileSize(localPath);
        if (size < 0) return false;
        amount = static_cast<uint64_t>(size);
      }
      if (static_cast<double>(amount) > StoredCredit() + 0.01) return false;
      // The charge must reach the file: a download that was not paid for is
      // not allowed.
      if (!Ask(QC_RATIO_CREDIT, RFormat("%lf", -static_cast<double>(amount)))) return false;
      charge_ = amount;
      return true;
    }
  }
}

void RFTPRatios::DownloadFailed() {
  if (!enabled_ || charge_ == 0) return;
  if (type_ == RATIO_FILES_PER_SESSION || type_ == RATIO_BYTES_PER_SESSION) {
    credit_ += static_cast<double>(charge_);
  } else if (shared_ != nullptr) {
    ChangeShared(static_cast<double>(charge_));
  } else {
    ChangeStored(static_cast<double>(charge_));
  }
  charge_ = 0;
}

void RFTPRatios::Uploaded(uint64_t bytes) {
  if (!enabled_ || bytes < 1) return;
  bool countBytes = type_ == RATIO_BYTES_PER_SESSION || type_ == RATIO_BYTES_OVERALL;
  double gain = factor_ * (countBytes ? static_cast<double>(bytes) : 1.0);
  if (type_ == RATIO_FILES_PER_SESSION || type_ == RATIO_BYTES_PER_SESSION) {
    credit_ += gain;
  } else if (shared_ != nullptr) {
    ChangeShared(gain);
  } else {
    ChangeStored(gain);
  }
}

double RFTPRatios::Credit() {
  if (type_ == RATIO_FILES_PER_SESSION || type_ == RATIO_BYTES_PER_SESSION) return credit_;
  if (shared_ != nullptr) return credit_;
  return StoredCredit();
}

}  // namespace vantor
