#include "ftp/RFTPSSiteArgs.h"

#include <deque>

#include "accounts/RWildcard.h"
#include "ftp/RFTPStrings.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {
namespace {

constexpr size_t kMaxSiteArgument = 511;
constexpr size_t kMaxPassword = 99;
constexpr size_t kMaxIndexArgument = 110;

// Only blanks, as the blank form of PSWD says.
std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::string Cut(std::string_view s, size_t n) {
  return std::string(s.substr(0, n));
}

}  // namespace

size_t SitePswdLogPrefix(std::string_view line) {
  if (!StartsWithNoCase(line, "SITE")) return std::string_view::npos;
  size_t i = 4;
  if (i >= line.size() || !IsBlank(line[i])) return std::string_view::npos;
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (!StartsWithNoCase(line.substr(i), "PSWD")) return std::string_view::npos;
  i += 4;
  if (i < line.size() && !IsBlank(line[i])) return std::string_view::npos;
  return i;
}

std::string SiteArgumentOf(std::string_view line) {
  std::string_view rest = line.size() > 4 ? line.substr(4) : std::string_view();
  return Cut(TrimBlanks(rest), kMaxSiteArgument);
}

RSiteSub MatchSiteSub(std::string_view arg) {
  if (StartsWithNoCase(arg, "PSWD")) return RSiteSub::Pswd;
  if (StartsWithNoCase(arg, "EXEC")) return RSiteSub::Exec;
  if (StartsWithNoCase(arg, "SET")) return RSiteSub::Set;
  if (StartsWithNoCase(arg, "INDEX")) return RSiteSub::Index;
  if (StartsWithNoCase(arg, "ZONE")) return RSiteSub::Zone;
  if (StartsWithNoCase(arg, "CHMOD")) return RSiteSub::Chmod;
  if (StartsWithNoCase(arg, "HELP")) return RSiteSub::Help;
  return RSiteSub::Unknown;
}

bool ParseChmodArguments(std::string_view arg, uint32_t& mode, std::string& path) {
  mode = 0;
  path.clear();
  if (!StartsWithNoCase(arg, "CHMOD")) return false;
  arg.remove_prefix(5);
  const size_t start = arg.find_first_not_of(" \t");
  if (start == 0 || start == std::string_view::npos) return false;
  arg.remove_prefix(start);
  const size_t end = arg.find_first_of(" \t");
  const std::string_view digits = arg.substr(0, end);
  if (end == std::string_view::npos || digits.size() > 4) return false;
  for (char c : digits) {
    if (c < '0' || c > '7') return false;
    mode = mode * 8 + static_cast<uint32_t>(c - '0');
  }
  if (mode > 0777) return false;
  const size_t p = arg.find_first_not_of(" \t", end);
  if (p == std::string_view::npos) return false;
  path = std::string(arg.substr(p));
  return true;
}

bool ParsePswdArguments(std::string_view arg, std::string& oldPassword, std::string& newPassword) {
  oldPassword.clear();
  newPassword.clear();
  // Quoted form: one `" "` between the first and the last quote.
  const size_t first = arg.find('"');
  const size_t last = arg.rfind('"');
  if (first != std::string_view::npos && last > first) {
    size_t found = std::string_view::npos;
    int count = 0;
    for (size_t p = arg.find("\" \"", first + 1); p != std::string_view::npos && p + 2 < last;
         p = arg.find("\" \"", p + 1)) {
      found = p;
      ++count;
    }
    if (count == 1) {
      oldPassword = Cut(arg.substr(first + 1, found - first - 1), kMaxPassword);
      newPassword = Cut(arg.substr(found + 3, last - found - 3), kMaxPassword);
      if (!oldPassword.empty() && !newPassword.empty()) return true;
    }
  }
  // Blank form: after the first blank, old password up to the next blank,
  // the rest is the new one.
  oldPassword.clear();
  newPassword.clear();
  const size_t blank = arg.find(' ');
  if (blank == std::string_view::npos) return false;
  const std::string_view rest = TrimSpaces(arg.substr(blank + 1));
  const size_t split = rest.find(' ');
  if (split == std::string_view::npos) return false;
  oldPassword = Cut(rest.substr(0, split), kMaxPassword);
  newPassword = Cut(TrimSpaces(rest.substr(split + 1)), kMaxPassword);
  return !oldPassword.empty() && !newPassword.empty();
}

bool ParseExecArguments(std::string_view arg, std::string& program, std::string& rest) {
  std::string_view s = arg.size() > 4 ? arg.substr(4) : std::string_view();
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  size_t end = 0;
  while (end < s.size() && !IsBlank(s[end])) ++end;
  program = std::string(s.substr(0, end));
  s.remove_prefix(end);
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  rest = std::string(s);
  return !program.empty();
}

std::vector<std::string> SplitExecArguments(std::string_view rest) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < rest.size()) {
    const size_t next = rest.find(' ', i);
    const size_t end = next == std::string_view::npos ? rest.size() : next;
    if (end > i) out.emplace_back(rest.substr(i, end - i));
    i = end + 1;
  }
  return out;
}

int ParseSetArgument(std::string_view arg) {
  const std::string_view rest = TrimBlanks(arg.size() > 3 ? arg.substr(3) : std::string_view());
  const std::string lower = Lower(rest);
  if (lower == "transferprogress on") return 1;
  if (lower == "transferprogress off") return 0;
  return -1;
}

std::string IndexArgumentOf(std::string_view arg) {
  const std::string_view rest = arg.size() > 5 ? arg.substr(5) : std::string_view();
  return std::string(TrimBlanks(TrimBlanks(rest).substr(0, kMaxIndexArgument)));
}

bool SplitIndexPath(std::string_view localPath, std::string& dir, std::string& pattern) {
  const size_t cut = localPath.rfind('\\');
  if (cut == std::string_view::npos) return false;
  dir = std::string(localPath.substr(0, cut));
  pattern = std::string(localPath.substr(cut + 1));
  if (dir.size() == 2 && dir[1] == ':') dir += '\\';
  return true;
}

bool IndexNameMatches(std::string_view name, std::string_view pattern) {
  if (pattern.empty()) return true;
  if (Lower(name).find(Lower(pattern)) != std::string::npos) return true;
  return WildcardMatch(name, pattern);
}

void IndexSearch(const std::string& startDir, std::string_view pattern, const RIndexLister& lister,
                 const std::function<void(const std::string&)>& found, size_t maxDirs) {
  std::deque<std::string> queue{startDir};
  std::vector<RIndexEntryStr> entries;
  for (size_t read = 0; !queue.empty() && read < maxDirs; ++read) {
    const std::string dir = std::move(queue.front());
    queue.pop_front();
    entries.clear();
    lister(dir, entries);
    const std::string prefix = !dir.empty() && dir.back() == '\\' ? dir : dir + "\\";
    for (const RIndexEntryStr& e : entries) {
      if (e.isDirectory) {
        if (e.name != "." && e.name != "..") queue.push_back(prefix + e.name);
      } else if (IndexNameMatches(e.name, pattern)) {
        found(prefix + e.name);
      }
    }
  }
}

std::string ZoneReply(int64_t offsetSeconds) {
  return FormatStr(kReplyZone, offsetSeconds / 60);
}

}  // namespace vantor
