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

// A file of the server's own named in the configuration (`Logfile`, the
// file of `IPLog`) as a POSIX path: drive form ("C:\logs\ftp.log") maps
// through the drive table, a relative name is taken from the configuration
// file's folder, an absolute one is kept. A trailing separator is kept (a
// rotated log name may be only a directory). "" for an empty name, and for
// a drive the table does not have.
std::string ServerFilePath(const RIniFile& ini, std::string_view configured);

}  // namespace vantor
