// The argument grammar of STAT and the SITE commands, kept apart from the
// session so that it can be tested on its own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

// The text after the four-letter verb, blanks and tabs trimmed, at most 511
// characters.
std::string SiteArgumentOf(std::string_view line);

enum class RSiteSub { Pswd, Exec, Set, Index, Zone, Chmod, Help, Unknown };
// Matched on the start of the site argument without regard to case, in the
// order PSWD, EXEC, SET, INDEX, ZONE, CHMOD, HELP.
RSiteSub MatchSiteSub(std::string_view siteArgument);

// For the command log: when `line` is "SITE PSWD ..." (any case, blanks or
// tabs between the words), the length of the line up to and including
// "PSWD"; everything after it is a password and is not logged. npos for any
// other line.
size_t SitePswdLogPrefix(std::string_view line);

// SITE PSWD: the quoted form ("old" "new") or the blank form (old new). Each
// password is cut at 99 characters. False when neither form gives both.
[[nodiscard]] bool ParsePswdArguments(std::string_view siteArgument, std::string& oldPassword,
                                      std::string& newPassword);

// SITE EXEC: the program (first word after EXEC, up to a blank or tab) and
// the rest of the argument as typed. False when there is no program.
[[nodiscard]] bool ParseExecArguments(std::string_view siteArgument, std::string& program,
                                      std::string& rest);
// The rest of an EXEC line split at blanks into arguments (empty parts
// dropped). Nothing else is interpreted.
std::vector<std::string> SplitExecArguments(std::string_view rest);

// SITE CHMOD: the octal mode (one to four digits, at most 0777: no set-id
// or sticky bit) and the path (the rest, as typed). False when either is
// missing or the mode is not such a number.
[[nodiscard]] bool ParseChmodArguments(std::string_view siteArgument, uint32_t& mode,
                                       std::string& path);

// SITE SET: 1 for TRANSFERPROGRESS ON, 0 for OFF (whole text, any case),
// -1 for anything else.
int ParseSetArgument(std::string_view siteArgument);

// SITE INDEX: the text after INDEX, at most 110 characters, trimmed.
std::string IndexArgumentOf(std::string_view siteArgument);
// Splits a resolved local path at its last backslash into the start
// directory (a bare drive gets its backslash) and the pattern. False when
// the path has no backslash.
[[nodiscard]] bool SplitIndexPath(std::string_view localPath, std::string& dir,
                                  std::string& pattern);
// A file name matches when its lower-cased form contains the lower-cased
// pattern, or when it matches the pattern as a wildcard pattern. An empty
// pattern matches everything.
bool IndexNameMatches(std::string_view name, std::string_view pattern);

// One entry of a directory as the index search sees it.
struct RIndexEntryStr {
  std::string name;
  bool isDirectory = false;
};
// Lists `dir` (drive form) into `out` through whatever filter applies.
using RIndexLister = std::function<void(const std::string& dir, std::vector<RIndexEntryStr>& out)>;
// Breadth-first search from `startDir`: files matching `pattern` are handed
// to `found` as local paths; subdirectories (not "." and "..") are searched
// on later passes. `maxDirs` bounds the number of directories read, so a
// huge tree or a link cycle cannot keep the loop thread busy for ever.
void IndexSearch(const std::string& startDir, std::string_view pattern, const RIndexLister& lister,
                 const std::function<void(const std::string&)>& found, size_t maxDirs = 10000);

// "210 UTC%+ld" with the offset in minutes.
std::string ZoneReply(int64_t offsetSeconds);

}  // namespace vantor
