// One account's access rules, taken on the loop thread for work that runs
// on a worker (a listing judges every entry it shows). Immutable once made,
// so the worker asks it without handing each entry back to the loop.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "accounts/RPathProbe.h"
#include "platform/RDriveMap.h"

namespace vantor {

class RListRules {
 public:
  using Entries = std::vector<std::pair<std::string, std::string>>;
  using Chain = std::array<std::shared_ptr<const Entries>, 3>;

  // `chain`: the user's, group's and default user's sections as the store
  // had them (null entries are skipped). `probe` (not owned, must outlive
  // this) answers the file-system questions; nullptr = the drive table's.
  RListRules(Chain chain, RDriveMap drives, const RPathProbe* probe, bool librariesDecide);
  RListRules(const RListRules&) = delete;
  RListRules& operator=(const RListRules&) = delete;

  // What the store's rules answer for a file-access query code (7 to 21):
  // true = permitted. Any thread.
  bool Allows(uint32_t code, std::string_view localPath) const;
  // A refusal is not final: client-check libraries may still permit it, and
  // they are asked on the loop thread only.
  bool RefusalsNeedLibraries() const { return librariesDecide_; }

 private:
  Chain chain_;
  RDriveMap drives_;
  RDrivePathProbe driveProbe_;
  const RPathProbe* probe_;
  bool librariesDecide_;
};

}  // namespace vantor
