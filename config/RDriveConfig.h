// The drive table as the configuration file gives it.
#pragma once

#include "config/RIniFile.h"
#include "platform/RDriveMap.h"

namespace vantor {

// The [DRIVES] section of `ini` as a drive table. A relative root is taken
// relative to the directory of the configuration file (so an example tree
// can travel with its file). Without a [DRIVES] section C: is "/"; a section
// whose entries are all unusable gives no drive at all, never the whole
// file system.
RDriveMap DriveMapFromIni(const RIniFile& ini);

}  // namespace vantor
