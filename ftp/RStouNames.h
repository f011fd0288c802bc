// The unique-name search of STOU.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

// Tells whether a local path is taken (exists as a file or a directory).
using RPathTakenFn = std::function<bool(const std::string& localPath)>;

// Finds the first free name for STOU. `resolved` is the resolved argument
// (local path, drive form); `isDirectory` says whether it names a directory,
// in which case the new file goes there with no name requested. Candidates:
// with a base name or extension, the requested name itself, then
// base + "%ld" counter 1, 2, ... (+ "." + extension when there is one);
// otherwise "FTP%05ld" from 0. The counter stops at 9999999: nullopt means
// no free name (kReplyNoUniqueName). `lastCounter` is lowered only by tests.
std::optional<std::string> FindUniqueName(const std::string& resolved, bool isDirectory,
                                          const RPathTakenFn& taken, long lastCounter = 9999999);

}  // namespace vantor
