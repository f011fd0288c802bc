#include "ftp/RAntiHammer.h"

#include "ftp/RFTPStrings.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

namespace vantor {

void RAntiHammer::Configure(int32_t windowSeconds, int32_t tries, int32_t blockSeconds) {
  window_ = windowSeconds < 1 ? 30 : windowSeconds;
  tries_ = tries < 1 ? 4 : tries;
  block_ = blockSeconds < 1 ? 300 : blockSeconds;
}

bool RAntiHammer::Admit(std::string_view address, int64_t now) {
  RClientCon key{std::string(address), now};
  if (blocks_.count(key) != 0) return false;
  if (attempts_.count(key) < static_cast<size_t>(tries_)) {
    attempts_.insert(std::move(key));
    return true;
  }
  attempts_.erase(key);
  // Once per block: the refusals that follow are silent resets, and without
  // this line nobody could tell why a client cannot connect.
  WriteLog(LOG_SECURITY, FormatStr(kLogHammerBlocked, key.address, block_, tries_, window_));
  blocks_.insert(std::move(key));
  return false;
}

void RAntiHammer::Purge(int64_t now) {
  for (auto it = blocks_.begin(); it != blocks_.end();) {
    it = it->time >= now - block_ ? std::next(it) : blocks_.erase(it);
  }
  for (auto it = attempts_.begin(); it != attempts_.end();) {
    it = it->time > now - window_ ? std::next(it) : attempts_.erase(it);
  }
}

std::vector<RAntiHammer::RBlockStr> RAntiHammer::Blocks() const {
  std::vector<RBlockStr> out;
  out.reserve(blocks_.size());
  for (const RClientCon& b : blocks_) out.push_back({b.address, b.time + block_});
  return out;
}

void RAntiHammer::Block(std::string_view address, int64_t now, int64_t seconds) {
  // A block is kept while its start lies within the block time, so one of
  // another length starts at the moment that makes it end when asked.
  RClientCon key{std::string(address), now + seconds - block_};
  blocks_.erase(key);
  blocks_.insert(std::move(key));
}

bool RAntiHammer::Unblock(std::string_view address) {
  return blocks_.erase(RClientCon{std::string(address), 0}) != 0;
}

void RAntiHammer::Clear() {
  attempts_.clear();
  blocks_.clear();
}

}  // namespace vantor
