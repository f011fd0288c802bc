// The drive table: drive letters mapped to POSIX directories.
//
// Local paths keep the drive form (`C:\srv\ftp\pub`) everywhere in the
// server; only the file layer turns them into POSIX paths. Without a
// `[DRIVES]` section, C: is "/". A drive not in the table does not exist.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantor {

class RDriveMap {
 public:
  // C: = "/".
  RDriveMap();
  // From the `[DRIVES]` entries (key = letter, value = absolute POSIX
  // directory). Invalid keys or relative values are skipped. An empty list
  // gives the default table; a list with no valid entry gives no drives.
  static RDriveMap FromEntries(const std::vector<std::pair<std::string, std::string>>& entries);

  void Clear();
  // False when the letter is not A-Z/a-z or the root is not absolute.
  bool Set(char letter, std::string_view posixRoot);
  // The root of a drive ("" when the drive does not exist). Roots carry no
  // trailing slash except "/" itself.
  const std::string& Root(char letter) const;
  bool HasDrive(char letter) const { return !Root(letter).empty(); }

  // "C:\srv\ftp" -> "/srv/ftp" (components as given, no case lookup);
  // "" when the drive does not exist or the text is not in drive form.
  std::string DriveToPosix(std::string_view drivePath) const;
  // "/srv/ftp" -> "C:\srv\ftp" through the longest matching root; "" when no
  // root contains the path.
  std::string PosixToDrive(std::string_view posixPath) const;
  // A configured path in either form, returned in drive form: drive form is
  // returned unchanged, POSIX form goes through PosixToDrive, anything else
  // is returned unchanged.
  std::string ConfigPathToDrive(std::string_view path) const;

 private:
  std::array<std::string, 26> roots_;
};

// True for "X:" followed by nothing, "\" or "/".
bool IsDriveForm(std::string_view path);

}  // namespace vantor
