// Where the configuration file is, and the one process-wide INI path that
// every subsystem reads after start-up.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

inline constexpr const char* kIniFileName = "VANTOR.INI";

struct RIniPathInputs {
  std::optional<std::string> argument;   // first non-option argument
  std::string programDir;                // directory of the executable
  std::optional<std::string> envVantor;  // $VANTOR
  std::string currentDir;                // for the fallback search
};

// Chooses the INI path:
//  1. a command-line path (a relative one taken relative to the current
//     directory), made absolute and cleaned of "." and ".." components;
//  2. else VANTOR.INI in the program's directory when it exists;
//  3. else $VANTOR/VANTOR.INI when the variable is set;
//  4. else the first existing of ./VANTOR.INI and /etc/vantor/VANTOR.INI;
//  5. else VANTOR.INI in the program's directory.
// `exists` tells whether a file exists (injected for tests).
std::string ChooseIniPath(const RIniPathInputs& in,
                          const std::function<bool(const std::string&)>& exists);

// "/a/./b/../c//d" -> "/a/c/d"; a relative path is joined to `base` first.
std::string NormalizePath(std::string_view path, std::string_view base);

// The directory part of a path, without the trailing slash ("." for none).
std::string DirectoryOf(std::string_view path);

}  // namespace vantor
