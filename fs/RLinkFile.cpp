#include "fs/RLinkFile.h"

#include <vector>

#include "accounts/RWildcard.h"
#include "fs/RFsSettings.h"
#include "fs/RPath.h"
#include "platform/RFileSys.h"
#include "util/RText.h"

namespace vantor {
namespace {

constexpr size_t kMaxLine = 460;
constexpr size_t kMaxName = 50;
constexpr size_t kMaxTarget = 400;
constexpr size_t kMaxPattern = 50;
constexpr size_t kMaxListBytes = 1 << 20;

// Link list targets may be written in drive form or, like every configured
// path, in POSIX form.
std::string TargetToLocal(const RFsSettingsStr& fs, std::string_view target) {
  if (!target.empty() && target[0] == '/') {
    std::string local = PosixToLocal(fs, target);
    if (!local.empty()) return local;
  }
  return std::string(target);
}

// Splits one link list line; false for lines without "|" or without a name.
bool ParseLine(const RFsSettingsStr& fs, std::string_view line, std::string& name,
               std::string& target) {
  line = line.substr(0, kMaxLine);
  size_t bar = line.find('|');
  if (bar == std::string_view::npos) return false;
  std::string_view n = TrimLine(line.substr(0, bar));
  std::string_view t = TrimLine(line.substr(bar + 1));
  if (n.empty()) return false;
  name.assign(n.substr(0, kMaxName));
  target = TargetToLocal(fs, t.substr(0, kMaxTarget));
  return true;
}

// The content of the link list of `dir`: `LinkFile`, or `LinkFile2` when the
// first cannot be opened.
bool ReadLinkList(const RFsSettingsStr& fs, std::string_view dir, std::string& text) {
  for (const std::string* setting : {&fs.linkFile, &fs.linkFile2}) {
    std::string local = LinkListPath(dir, *setting);
    if (local.empty()) continue;
    std::string posix = LocalToPosix(fs, local);
    if (!posix.empty() && FsReadSmallFile(posix, text, kMaxListBytes)) return true;
  }
  text.clear();
  return false;
}

// Lexical normalisation of an absolute POSIX path ("." and ".." removed).
std::string NormalisePosix(std::string_view p) {
  std::vector<std::string_view> parts;
  size_t i = 0;
  while (i < p.size()) {
    while (i < p.size() && p[i] == '/') ++i;
    size_t j = p.find('/', i);
    if (j == std::string_view::npos) j = p.size();
    std::string_view c = p.substr(i, j - i);
    if (c == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!c.empty() && c != ".") {
      parts.push_back(c);
    }
    i = j;
  }
  std::string out;
  for (auto c : parts) {
    out += '/';
    out += c;
  }
  return out.empty() ? "/" : out;
}

std::string SymlinkTarget(const RFsSettingsStr& fs, const std::string& posixLink) {
  std::string target;
  if (!FsReadLink(posixLink, target)) return {};
  size_t slash = posixLink.find_last_of('/');
  return SymlinkTextToLocal(fs, posixLink.substr(0, slash == 0 ? 1 : slash), target);
}

}  // namespace

std::string SymlinkTextToLocal(const RFsSettingsStr& fs, std::string_view posixDir,
                               std::string_view linkText) {
  if (linkText.empty() || linkText.find('\0') != std::string_view::npos) return {};
  std::string target(linkText);
  if (target[0] != '/') target = std::string(posixDir) + "/" + target;
  return PosixToLocal(fs, NormalisePosix(target));
}

std::string LinkListPath(std::string_view dir, std::string_view setting) {
  if (setting.empty()) return {};
  if (setting.size() >= 2 && setting[1] == ':') return std::string(setting);
  if (setting[0] == '\\') return std::string(dir.substr(0, 2)) + std::string(setting);
  std::string out(dir);
  if (out.empty() || out.back() != '\\') out += '\\';
  return out + std::string(setting);
}

std::optional<std::string> FindLink(const RFsSettingsStr& fs, std::string_view dir,
                                    std::string_view name) {
  if (name.empty()) return std::nullopt;
  std::string d(dir);
  if (d.empty() || d.back() != '\\') d += '\\';
  std::string posix = LocalToPosix(fs, d + std::string(name));
  RFileStatStr st;
  if (!posix.empty() && FsStat(posix, st) && st.type == RFileType::Link) {
    std::string t = SymlinkTarget(fs, posix);
    if (t.empty()) return std::nullopt;
    return t.substr(0, kMaxTarget);
  }
  std::string text;
  if (!ReadLinkList(fs, dir, text)) return std::nullopt;
  size_t pos = 0;
  std::string n, t;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    if (ParseLine(fs, std::string_view(text).substr(pos, eol - pos), n, t) &&
        EqualNoCaseAscii(n, name)) {
      return t;
    }
    pos = eol + 1;
  }
  return std::nullopt;
}

bool RLinkIter::First(std::string_view searchText, LinkStr& out) {
  size_t bs = searchText.find_last_of('\\');
  std::string_view dir =
      bs == std::string_view::npos ? std::string_view() : searchText.substr(0, bs);
  if (bs != std::string_view::npos && bs <= 2) dir = searchText.substr(0, bs + 1);
  pattern_ = std::string((bs == std::string_view::npos ? searchText : searchText.substr(bs + 1))
                             .substr(0, kMaxPattern));
  pos_ = 0;
  if (!ReadLinkList(fs_, dir, text_)) return false;
  return Next(out);
}

bool RLinkIter::Next(LinkStr& out) {
  while (pos_ < text_.size()) {
    size_t eol = text_.find('\n', pos_);
    if (eol == std::string::npos) eol = text_.size();
    std::string_view line = std::string_view(text_).substr(pos_, eol - pos_);
    pos_ = eol + 1;
    if (ParseLine(fs_, line, out.name, out.target) && WildcardMatch(out.name, pattern_))
      return true;
  }
  return false;
}

}  // namespace vantor
