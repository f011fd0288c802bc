// The anti-hammer block: clients that connect too often within a window are
// refused for a while. Two ordered sets of `RClientCon`: recent admitted
// attempts (duplicates allowed) and blocked addresses.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

struct RClientCon {
  std::string address;  // dotted client address
  int64_t time = 0;     // seconds since 1970
};

struct RClientConLess {
  bool operator()(const RClientCon& a, const RClientCon& b) const { return a.address < b.address; }
};

class RAntiHammer {
 public:
  // Values below 1 give the defaults 30, 4 and 300.
  void Configure(int32_t windowSeconds, int32_t tries, int32_t blockSeconds);

  // True when the client may connect; records the attempt or the block.
  // The start of a block is logged (security message), once per block.
  // The fifth connection within the window (with 4 tries) is the first one
  // refused.
  [[nodiscard]] bool Admit(std::string_view address, int64_t now);

  // Keeps blocks younger than the block time and attempts younger than the
  // window.
  void Purge(int64_t now);
  void Clear();

  // The blocked addresses with the time each block ends (administration).
  struct RBlockStr {
    std::string address;
    int64_t until = 0;
  };
  std::vector<RBlockStr> Blocks() const;
  // Blocks `address` until `now` + `seconds` (a block already there is
  // replaced); logged by the caller.
  void Block(std::string_view address, int64_t now, int64_t seconds);
  // False when the address was not blocked.
  bool Unblock(std::string_view address);

  size_t AttemptCount() const { return attempts_.size(); }
  size_t BlockCount() const { return blocks_.size(); }
  int32_t WindowSeconds() const { return window_; }
  int32_t Tries() const { return tries_; }
  int32_t BlockSeconds() const { return block_; }

 private:
  int32_t window_ = 30;
  int32_t tries_ = 4;
  int32_t block_ = 300;
  std::multiset<RClientCon, RClientConLess> attempts_;
  std::set<RClientCon, RClientConLess> blocks_;
};

}  // namespace vantor
