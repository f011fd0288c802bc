// The session's client hook record: the event-hook libraries seen through
// the session's RFTPSessionHook seam. Loop thread only.
#pragma once

#include <memory>

namespace vantor {

class RFTPSComInterp;
class RFTPSessionHook;

// The session's hook record, or null while no event-hook library is loaded.
std::unique_ptr<RFTPSessionHook> MakeHookRecord(RFTPSComInterp& s);

}  // namespace vantor
