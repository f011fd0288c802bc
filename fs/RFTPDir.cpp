#include "fs/RFTPDir.h"

#include <utility>

#include "accounts/RWildcard.h"
#include "fs/RPath.h"
#include "util/RText.h"

namespace vantor {
namespace {

RLsStatStr LinkListStat() {
  RLsStatStr st;
  st.mode = kModeLink;
  return st;
}

// A local link target as the commands would reach it: links followed,
// device names mapped, not confined.
std::string ResolveTarget(const RFsSettingsStr& fs, std::string_view target, std::string_view dir,
                          std::string_view home) {
  std::string p = ToClientPath(fs, target, home, false);
  ResolvePath(fs, p, dir, home, true, false, false);
  return p;
}

}  // namespace

RFTPDir::RFTPDir(const RFsSettingsStr& fs, std::string user, RFsAccess* access, uint32_t address,
                 std::string home, bool relPaths, bool hideHidden)
    : fs_(fs),
      user_(std::move(user)),
      access_(access),
      address_(address),
      home_(std::move(home)),
      relPaths_(relPaths),
      hideHidden_(hideHidden),
      links_(fs) {}

bool RFTPDir::Open(std::string_view searchText) {
  size_t bs = searchText.find_last_of('\\');
  if (bs == std::string_view::npos) {
    dir_ = std::string(searchText);
    pattern_ = "*.*";
  } else {
    dir_ = std::string(searchText.substr(0, bs <= 2 ? bs + 1 : bs));
    pattern_ = std::string(searchText.substr(bs + 1));
  }
  if (pattern_.empty()) pattern_ = "*.*";
  reader_.Close();
  posixDir_ = LocalToPosix(fs_, dir_);
  // A specific name is the one entry the commands would reach: the exact
  // spelling when it exists, else the first that differs only in case. A
  // case-insensitive match would also list siblings ("PUB" beside "pub").
  exactName_.clear();
  if (!HasWildcard(pattern_) && !posixDir_.empty()) {
    std::string child = dir_;
    if (child.back() != '\\') child += '\\';
    std::string posix = LocalToPosix(fs_, child + pattern_);
    size_t slash = posix.find_last_of('/');
    exactName_ = slash == std::string::npos ? pattern_ : posix.substr(slash + 1);
  }
  readerOpen_ = !posixDir_.empty() && reader_.Open(posixDir_);
  RLinkIter::LinkStr first;
  inLinks_ = links_.First(searchText, first);
  if (inLinks_) pendingLink_ = std::move(first);
  return readerOpen_;
}

bool RFTPDir::NextRaw(RFTPDirEntryStr& out) {
  out = RFTPDirEntryStr{};
  if (inLinks_) {
    out.name = std::move(pendingLink_.name);
    out.diskName = out.name;
    out.isLink = true;
    out.linkTarget = std::move(pendingLink_.target);
    out.st = LinkListStat();
    inLinks_ = links_.Next(pendingLink_);
    return true;
  }
  if (!readerOpen_) return false;
  RDirEntryStr e;
  while (reader_.Next(e)) {
    if (exactName_.empty() ? !WildcardMatch(e.name, pattern_) : e.name != exactName_) continue;
    RFileStatStr fs;
    bool needStat = wantStatus_ || e.type == RFileType::Missing || e.type == RFileType::Link;
    if (needStat) {
      if (!reader_.StatEntry(e.name, fs)) continue;  // vanished: skipped silently
    } else {
      fs.type = e.type;
    }
    out.name = e.name;
    out.diskName = e.name;
    out.hidden = !e.name.empty() && e.name[0] == '.';
    out.st.size = fs.size;
    if (needStat) {
      out.st.atime = fs.atime;
      out.st.mtime = fs.mtime;
      out.st.ctime = fs.btime;
      out.dev = fs.dev;
      out.ino = fs.ino;
      out.posixMode = fs.mode & 07777;
    }
    switch (fs.type) {
      case RFileType::Directory:
        out.st.mode = kModeDirectory;
        out.st.size = 0;  // a directory has no size of its own to show
        break;
      case RFileType::Regular:
        out.st.mode = kModeRegular;
        break;
      case RFileType::Device:
        out.st.mode = kModeDevice;
        break;
      case RFileType::Link: {
        std::string text;
        if (!reader_.ReadLinkEntry(e.name, text)) continue;
        out.linkTarget = SymlinkTextToLocal(fs_, posixDir_, text);
        if (out.linkTarget.empty()) continue;  // leads outside every drive
        out.isLink = true;
        out.st.mode = kModeLink;
        out.st.size = 0;
        break;
      }
      default:
        out.st.mode = 0;  // FIFOs and sockets: shown, but as nothing known
        break;
    }
    return true;
  }
  return false;
}

bool RFTPDir::Passes(RFTPDirEntryStr& e) const {
  // Hidden means a dot file; "." and ".." are the directory itself and its
  // parent, which clients expect in a listing.
  if (hideHidden_ && e.hidden && e.name != "." && e.name != "..") return false;
  if (e.isLink) e.linkTarget = ResolveTarget(fs_, e.linkTarget, dir_, home_);
  // Decided like the confinement of the commands: a target that is a case
  // variant of home is shown as, and leads into, home as spelled on disk.
  if (e.isLink && relPaths_ && !ConfineToHome(fs_, e.linkTarget, home_)) return false;
  if (access_ == nullptr) return true;
  std::string path = dir_;
  if (path.back() != '\\') path += '\\';
  path += e.name;
  if (!access_->CanList(user_, address_, path)) return false;
  if (!e.isLink) return true;
  std::string_view self = dir_;
  if (self.size() > 3 && self.back() == '\\') self.remove_suffix(1);
  std::string_view target = e.linkTarget;
  if (EqualNoCaseAscii(target, self)) return false;
  return access_->CanList(user_, address_, target);
}

bool RFTPDir::Next(RFTPDirEntryStr& out) {
  while (NextRaw(out)) {
    if (fs_.lowerCase) {
      out.name = Lower(out.name);
      out.linkTarget = Lower(out.linkTarget);
    }
    if (Passes(out)) return true;
  }
  return false;
}

}  // namespace vantor
