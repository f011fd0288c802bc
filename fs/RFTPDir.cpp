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
  block_.clear();
  next_ = 0;
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

bool RFTPDir::PassesLocally(RFTPDirEntryStr& e) const {
  // Hidden means a dot file; "." and ".." are the directory itself and its
  // parent, which clients expect in a listing.
  if (hideHidden_ && e.hidden && e.name != "." && e.name != "..") return false;
  if (e.isLink) e.linkTarget = ResolveTarget(fs_, e.linkTarget, dir_, home_);
  // Decided like the confinement of the commands: a target that is a case
  // variant of home is shown as, and leads into, home as spelled on disk.
  if (e.isLink && relPaths_ && !ConfineToHome(fs_, e.linkTarget, home_)) return false;
  if (!e.isLink || access_ == nullptr) return true;
  // A link to the listed directory itself would list it inside itself.
  std::string_view self = dir_;
  if (self.size() > 3 && self.back() == '\\') self.remove_suffix(1);
  return !EqualNoCaseAscii(e.linkTarget, self);
}

bool RFTPDir::FillBlock() {
  block_.clear();
  next_ = 0;
  RFTPDirEntryStr e;
  while (block_.size() < kBlockEntries && NextRaw(e)) {
    if (fs_.lowerCase) {
      e.name = Lower(e.name);
      e.linkTarget = Lower(e.linkTarget);
    }
    if (PassesLocally(e)) block_.push_back(std::move(e));
  }
  blockPass_.assign(block_.size(), 1);
  if (access_ == nullptr || block_.empty()) return !block_.empty();
  // An entry is listed when its own path may be listed and, for a link,
  // its target too.
  std::vector<std::string> paths;
  std::vector<size_t> owner;
  for (size_t i = 0; i < block_.size(); ++i) {
    std::string path = dir_;
    if (path.back() != '\\') path += '\\';
    path += block_[i].name;
    paths.push_back(std::move(path));
    owner.push_back(i);
    if (block_[i].isLink) {
      paths.push_back(block_[i].linkTarget);
      owner.push_back(i);
    }
  }
  std::vector<char> allowed;
  access_->CanListMany(user_, address_, paths, allowed);
  for (size_t k = 0; k < paths.size(); ++k) {
    if (k >= allowed.size() || !allowed[k]) blockPass_[owner[k]] = 0;
  }
  return true;
}

bool RFTPDir::Next(RFTPDirEntryStr& out) {
  for (;;) {
    while (next_ < block_.size()) {
      const size_t i = next_++;
      if (blockPass_[i]) {
        out = std::move(block_[i]);
        return true;
      }
    }
    if (!FillBlock()) return false;
  }
}

}  // namespace vantor
