#include "ftp/RUploadRecords.h"

namespace vantor {

void RUploadRecords::Insert(const std::string& address, const std::string& path, int64_t now) {
  RClientUpload rec{address, path, now};
  auto it = records_.find(rec);
  if (it != records_.end()) records_.erase(it);
  records_.insert(std::move(rec));
}

bool RUploadRecords::Contains(const std::string& address, const std::string& path) const {
  return records_.find(RClientUpload{address, path, 0}) != records_.end();
}

void RUploadRecords::Purge(int64_t now) {
  for (auto it = records_.begin(); it != records_.end();) {
    if (now - it->time >= kMaxAgeSeconds) {
      it = records_.erase(it);
    } else {
      ++it;
    }
  }
}

void RUploadRecords::PurgeDue(int64_t now) {
  // Purged as a timer would, but only when someone looks: an idle server
  // keeps no timer for them.
  if (lastPurge_ == 0) lastPurge_ = now;
  while (now - lastPurge_ >= kPurgePeriodMs / 1000) {
    lastPurge_ += kPurgePeriodMs / 1000;
    Purge(lastPurge_);
  }
}

}  // namespace vantor
