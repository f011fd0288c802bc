#include "fs/RMLSDir.h"

#include <algorithm>
#include <utility>

#include "fs/RFTPDir.h"
#include "fs/RPath.h"
#include "util/RText.h"

namespace vantor {
namespace {

// The permission bits an administrator lets listings show: `DirListMask`
// hides bits from MLSx as it does from LIST.
uint32_t ShownModeBits(const RFsSettingsStr& fs) {
  const std::string mask = EffectiveDirListMask(fs);
  uint32_t bits = 07000;
  for (size_t i = 0; i < 9 && i < mask.size(); ++i) {
    if (mask[i] != '-') bits |= 1u << (8 - i);
  }
  return bits;
}

std::string ParentOf(std::string_view dir) {
  const size_t bs = dir.find_last_of('\\');
  if (bs == std::string_view::npos) return std::string(dir);
  return std::string(dir.substr(0, bs <= 2 ? bs + 1 : bs));
}

std::string WithoutTrailingBackslash(std::string_view p) {
  if (p.size() > 3 && p.back() == '\\') p.remove_suffix(1);
  return std::string(p);
}

// Fills the status facts from a status record; false for anything but a
// regular file or a directory.
bool FromStat(const RFsSettingsStr& fs, const RFileStatStr& st, RMlsxEntryStr& e) {
  if (st.type != RFileType::Regular && st.type != RFileType::Directory) return false;
  e.known = true;
  e.isFile = st.type == RFileType::Regular;
  e.size = e.isFile ? st.size : 0;
  e.mtime = st.mtime;
  e.dev = st.dev;
  e.ino = st.ino;
  e.mode = st.mode & ShownModeBits(fs);
  return true;
}

class Generator {
 public:
  Generator(const RFsSettingsStr& fs, const RMLSDirArgsStr& a, RDirTextList& out)
      : fs_(fs), a_(a), out_(out) {}

  void Run() {
    const std::string dir = WithoutTrailingBackslash(a_.dir);
    std::string search = dir;
    if (search.back() != '\\') search += '\\';
    search += "*.*";
    if (out_.Lookup(a_.user, search, a_.address, "", "MLSD " + MlsxFactList(a_.facts))) return;

    std::string text;
    Emit(SelfEntry(dir, RMlsxType::CDir, "."), text);
    if (ShowsParent(dir)) {
      RMlsxEntryStr parent = SelfEntry(ParentOf(dir), RMlsxType::PDir, "..");
      if (parent.known) Emit(parent, text);
    }
    std::vector<RMlsxEntryStr> entries;
    RFTPDir reader(fs_, a_.user, a_.access, a_.address, a_.home, a_.relPaths, a_.hideHidden);
    (void)reader.Open(search);  // an unreadable directory lists only itself
    RFTPDirEntryStr e;
    while (reader.Next(e)) {
      if (e.name == "." || e.name == ".." || !MlsxNameListable(e.name)) continue;
      RMlsxEntryStr m;
      if (Describe(dir, std::move(e), m)) entries.push_back(std::move(m));
    }
    std::sort(entries.begin(), entries.end(),
              [](const RMlsxEntryStr& x, const RMlsxEntryStr& y) { return x.name < y.name; });
    for (const RMlsxEntryStr& m : entries) Emit(m, text);
    out_.Append(text);
    out_.Finish();
  }

 private:
  void Emit(const RMlsxEntryStr& e, std::string& text) const {
    text += FormatMlsxEntry(e, a_.facts);
    text += '\n';
  }

  bool WantPerm() const { return (a_.facts & MF_Perm) != 0 && a_.perms != nullptr; }

  RMlsxEntryStr SelfEntry(const std::string& path, RMlsxType type, std::string name) const {
    RMlsxEntryStr m;
    m.type = type;
    m.name = std::move(name);
    RFileStatStr st;
    if (LocalStat(fs_, path, st) && FromStat(fs_, st, m) && WantPerm()) {
      m.perm = a_.perms->Letters(path, true, 0);
    }
    m.isFile = false;
    return m;
  }

  // No parent above a drive root, nor above the home of a confined user;
  // otherwise the parent is shown when its listing would be.
  bool ShowsParent(const std::string& dir) const {
    if (IsDriveRoot(dir)) return false;
    if (a_.relPaths && EqualNoCaseAscii(dir, WithoutTrailingBackslash(a_.home))) return false;
    return a_.access == nullptr || a_.access->CanList(a_.user, a_.address, ParentOf(dir));
  }

  bool Describe(const std::string& dir, RFTPDirEntryStr&& e, RMlsxEntryStr& m) const {
    m.name = std::move(e.name);
    if (e.isLink) {
      // A link's facts are those of what it leads to: every command given
      // the name acts there.
      m.type = RMlsxType::Link;
      RFileStatStr st;
      if (!e.linkTarget.empty() && LocalStat(fs_, e.linkTarget, st) && FromStat(fs_, st, m) &&
          WantPerm()) {
        m.perm = a_.perms->Letters(e.linkTarget, !m.isFile, m.size);
      }
      return true;
    }
    if ((e.st.mode & kModeRegular) != 0) {
      m.type = RMlsxType::File;
      m.isFile = true;
      m.size = e.st.size;
    } else if ((e.st.mode & kModeDirectory) != 0) {
      m.type = RMlsxType::Dir;
    } else {
      return false;
    }
    m.known = true;
    m.mtime = e.st.mtime;
    m.dev = e.dev;
    m.ino = e.ino;
    m.mode = e.posixMode & ShownModeBits(fs_);
    if (WantPerm()) {
      std::string path = dir;
      if (path.back() != '\\') path += '\\';
      path += m.name;
      m.perm = a_.perms->Letters(path, m.type == RMlsxType::Dir, m.size);
    }
    return true;
  }

  const RFsSettingsStr& fs_;
  const RMLSDirArgsStr& a_;
  RDirTextList& out_;
};

}  // namespace

RMLSDir::RMLSDir(const RFsSettingsStr& fs, RDirCache& cache, const RMLSDirArgsStr& args)
    : out_(fs, cache) {
  Generator g(fs, args, out_);
  g.Run();
}

bool MlstEntry(const RFsSettingsStr& fs, std::string_view localPath, std::string_view name,
               uint32_t facts, RMlsxPerms* perms, RMlsxEntryStr& out) {
  RMlsxEntryStr m;
  RFileStatStr st;
  if (!LocalStat(fs, localPath, st) || !FromStat(fs, st, m)) return false;
  m.type = m.isFile ? RMlsxType::File : RMlsxType::Dir;
  m.name = std::string(name);
  if ((facts & MF_Perm) != 0 && perms != nullptr) {
    m.perm = perms->Letters(localPath, !m.isFile, m.size);
  }
  out = std::move(m);
  return true;
}

}  // namespace vantor
