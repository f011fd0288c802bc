// Link entries: names in a directory that stand for another local path.
//
// Two sources: the directory's link list file (server-wide `LinkFile`, then
// `LinkFile2`; lines "name | target") and symbolic links, this platform's
// shortcut files. Symbolic link targets are turned into drive form; a target
// outside every mapped drive yields no link. The link list files and the
// drive table come from the settings handed in.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "fs/RFsSettings.h"

namespace vantor {

// The target (drive form, at most 400 characters) of the link `name` in the
// local directory `dir`: a symbolic link of that name first, else the first
// line of the link list whose name equals `name` without regard to case.
std::optional<std::string> FindLink(const RFsSettingsStr& fs, std::string_view dir,
                                    std::string_view name);

// The link list file of `dir` for the setting value `setting`: absolute
// values unchanged, values starting with a backslash on dir's drive, other
// values dir + "\" + value. "" when the setting is empty.
std::string LinkListPath(std::string_view dir, std::string_view setting);

// The target of a symbolic link found in `posixDir` whose text is
// `linkText`, in drive form (relative texts taken from posixDir, "." and ".."
// applied). "" when the target lies outside every mapped drive.
std::string SymlinkTextToLocal(const RFsSettingsStr& fs, std::string_view posixDir,
                               std::string_view linkText);

// Walks the link list of a directory: `First(searchText)` splits the search
// text at its last backslash into directory and pattern (at most 50
// characters) and returns the first (name, target) pair whose name matches the
// pattern; `Next` the following ones. Symbolic links are not part of this
// walk; the directory reader reports them as file-system entries.
class RLinkIter {
 public:
  // `fs` must outlive the walk.
  explicit RLinkIter(const RFsSettingsStr& fs) : fs_(fs) {}
  struct LinkStr {
    std::string name;
    std::string target;
  };
  bool First(std::string_view searchText, LinkStr& out);
  bool Next(LinkStr& out);

 private:
  const RFsSettingsStr& fs_;
  std::string pattern_;
  std::string text_;  // the link list's content
  size_t pos_ = 0;
};

}  // namespace vantor
