// How the file services ask the account store whether an entry may be listed.
//
// Listings filter every entry by the list-directory question (query code 21
// of the access rules). The account store answers it; the ftp layer hands an
// implementation to the listing. Keeping this to one small interface lets the
// file services be built and tested without the account store.
#pragma once

#include <cstdint>
#include <string_view>

namespace vantor {

class RFsAccess {
 public:
  virtual ~RFsAccess() = default;
  // True when `user`, connected to the IP home `address` (first octet high),
  // may see `localPath` (drive form) in a listing. Loop thread only.
  virtual bool CanList(std::string_view user, uint32_t address, std::string_view localPath) = 0;
};

}  // namespace vantor
