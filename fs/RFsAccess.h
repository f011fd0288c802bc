// How the file services ask the account store whether an entry may be listed.
//
// Listings filter every entry by the list-directory question (query code 21
// of the access rules). The account store answers it; the ftp layer hands an
// implementation to the listing. Keeping this to one small interface lets the
// file services be built and tested without the account store.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

class RFsAccess {
 public:
  virtual ~RFsAccess() = default;
  // True when `user`, connected to the IP home `address` (first octet high),
  // may see `localPath` (drive form) in a listing. Called on the thread
  // that generates the listing.
  virtual bool CanList(std::string_view user, uint32_t address, std::string_view localPath) = 0;
  // The same for many paths at once: `allowed[i]` answers `paths[i]`. A
  // listing asks a block of entries together, so an implementation that must
  // hand its questions to another thread pays one hand-over per block.
  virtual void CanListMany(std::string_view user, uint32_t address,
                           const std::vector<std::string>& paths, std::vector<char>& allowed) {
    allowed.resize(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) allowed[i] = CanList(user, address, paths[i]) ? 1 : 0;
  }
};

}  // namespace vantor
