// The seam between the account store and the client-check libraries.
//
// The store answers a query from the configuration file, then hands the
// record to the installed RClientCheck (when one is set and it has libraries
// loaded) if the answer is 0, or for codes 11 and 37 when the no-rule marker
// is set. The implementation (the hook library code) may change flag, aux
// and address. On the store's reload flag it is asked to reload first.
#pragma once

#include "accounts/AccessQuery.h"

namespace vantor {

class RIniFile;

class RClientCheck {
 public:
  virtual ~RClientCheck() = default;
  // Unload every library and load them again from the [EXTERNAL] section.
  virtual void Reload(const RIniFile& ini) = 0;
  // True when at least one library is loaded.
  virtual bool HasLibraries() const = 0;
  // Consults the libraries in load order. The user field carries the "@N"
  // suffix while an IP-home-specific account is in force.
  virtual void Consult(AccessQuery& q) = 0;
};

}  // namespace vantor
