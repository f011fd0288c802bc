#include "fs/RLSDir.h"

#include <cstdint>
#include <utility>

#include "accounts/RWildcard.h"
#include "fs/RFTPDir.h"
#include "fs/RLsFormat.h"
#include "fs/RLsOptions.h"
#include "fs/RPath.h"
#include "platform/RClock.h"

namespace vantor {
namespace {

using namespace ls;

constexpr size_t kMaxPattern = 96;
constexpr size_t kInitialEntries = 100;

struct PendingStr {
  std::string dir;       // local directory to list
  std::string linkName;  // local path of the link it came through, or ""
};

// The walker: reads the directory (and, with R or a directory argument, the
// directories below it) through the reader of fs/RFTPDir.h, keeps the
// entries the options want, and hands each directory's entries to the
// formatter.
class Generator {
 public:
  Generator(const RFsSettingsStr& fs, const RLSDirArgsStr& a, RDirTextList& out)
      : fs_(fs),
        a_(a),
        out_(out),
        o_(ParseOptions(a.options)),
        format_(fs, o_, NowOf(a), a.home, a.relPaths) {
    maxEntries_ = a.maxEntries > 0 ? a.maxEntries : fs.maxListEntries;
    if (maxEntries_ <= 0) maxEntries_ = kDefaultMaxListEntries;
  }

  void Run() {
    std::string search = a_.dir;
    bool specific = false;
    if (!a_.pattern.empty()) {
      std::string pat = a_.pattern.substr(0, kMaxPattern);
      if (pat == "*") pat = "*.*";
      specific = !HasWildcard(pat);
      if (search.empty() || search.back() != '\\') search += '\\';
      search += pat;
    } else {
      if (search.empty() || search.back() != '\\') search += '\\';
      search += "*.*";
    }
    if (out_.Lookup(a_.user, search, a_.address, OptionsKey(o_))) return;

    std::vector<LsEntryStr> entries;
    entries.reserve(kInitialEntries);
    uint64_t total = 0;
    ReadInto(search, specific, entries, total);
    std::vector<PendingStr> pending;
    if (!entries.empty()) {
      SortEntries(entries, o_);
      if ((specific && !o_.dirsThemselves) || o_.recursive) {
        PushDirectories(entries, DirOf(search), pending);
      }
    }
    bool suppressHeader = entries.empty() && pending.size() == 1;
    if (!suppressHeader) {
      Print(entries);
      if (!pending.empty() && !entries.empty()) out_.Append("\n");
    }
    bool first = true;
    while (!pending.empty() && !cut_) {
      PendingStr p = std::move(pending.back());
      pending.pop_back();
      ListPending(p, pending, !(first && suppressHeader));
      first = false;
      if (!pending.empty()) out_.Append("\n");
    }
    if (cut_) out_.SetCut();
    out_.Finish();
  }

 private:
  static int64_t NowOf(const RLSDirArgsStr& a) {
    int64_t now = a.now;
    if (now == 0) now = RSystemClock::Instance().WallSeconds();
    return now > 0 ? now : kFallbackTime;
  }

  void Print(const std::vector<LsEntryStr>& entries) {
    if (entries.empty()) return;
    out_.Append(format_.Text(entries));
  }

  static std::string DirOf(std::string_view search) {
    size_t bs = search.find_last_of('\\');
    if (bs == std::string_view::npos) return std::string(search);
    return std::string(search.substr(0, bs <= 2 ? bs + 1 : bs));
  }

  static std::string Child(const std::string& dir, const std::string& name) {
    return dir.empty() || dir.back() == '\\' ? dir + name : dir + "\\" + name;
  }

  bool Interesting(const RFTPDirEntryStr& e) const {
    if (o_.regularOnly && (e.st.mode & kModeRegular) == 0) return false;
    for (const auto& pat : o_.ignore) {
      if (WildcardMatch(e.name, pat)) return false;
    }
    if (!e.name.empty() && e.name[0] == '.') {
      if (o_.show == ShowAll::All) return true;
      return o_.show == ShowAll::AllButDots && e.name != "." && e.name != "..";
    }
    return true;
  }

  void ReadInto(const std::string& search, bool argument, std::vector<LsEntryStr>& entries,
                uint64_t& total) {
    RFTPDir reader(fs_, a_.user, a_.access, a_.address, a_.home, a_.relPaths, a_.hideHidden);
    reader.SetWantStatus(NeedsStatus(o_) || argument);
    (void)reader.Open(search);  // an unreadable directory simply yields nothing
    RFTPDirEntryStr e;
    while (reader.Next(e)) {
      if (!Interesting(e)) continue;
      // One entry more than the listing may hold: it is cut here, and
      // nothing more is read.
      if (count_ >= maxEntries_) {
        cut_ = true;
        return;
      }
      entries.push_back(MakeEntry(std::move(e), argument));
      total += entries.back().blocks;
      ++count_;
    }
  }

  LsEntryStr MakeEntry(RFTPDirEntryStr&& e, bool argument) {
    LsEntryStr x;
    x.name = std::move(e.name);
    x.diskName = std::move(e.diskName);
    x.st = e.st;
    bool isLink = e.isLink;
    RFileStatStr target;
    bool targetKnown = false;
    if (isLink && !e.linkTarget.empty()) targetKnown = LocalStat(fs_, e.linkTarget, target);
    if (o_.follow && isLink && targetKnown && target.type != RFileType::Link) {
      x.st = FromFileStat(target);
      x.linkTarget = e.linkTarget;  // a followed directory is listed at its target
      isLink = false;
    }
    bool isLong = o_.format == Format::Long;
    if (isLink && (argument || isLong)) {
      x.linkTarget = e.linkTarget;
      if (!x.linkTarget.empty() && ((argument && !isLong) || o_.indicator != Indicator::None) &&
          targetKnown) {
        x.linkValid = true;
        x.targetMode = FromFileStat(target).mode;
      }
    }
    if (isLink) {
      x.type = EntryType::Link;
      if (argument && !isLong && x.linkValid && (x.targetMode & kModeDirectory) != 0 &&
          !o_.dirsThemselves) {
        x.type = EntryType::ArgDirectory;
      }
    } else if ((x.st.mode & kModeDirectory) != 0) {
      x.type = argument && !o_.dirsThemselves ? EntryType::ArgDirectory : EntryType::Directory;
    }
    uint64_t size = x.st.size < 0 ? 0 : static_cast<uint64_t>(x.st.size);
    x.blocks = o_.kilobytes ? (size + 1023) / 1024 : (size + 511) / 512;
    format_.NoteBlocks(x.blocks);
    return x;
  }

  static RLsStatStr FromFileStat(const RFileStatStr& f) {
    RLsStatStr s;
    switch (f.type) {
      case RFileType::Directory:
        s.mode = kModeDirectory;
        break;
      case RFileType::Regular:
        s.mode = kModeRegular;
        break;
      case RFileType::Device:
        s.mode = kModeDevice;
        break;
      case RFileType::Link:
        s.mode = kModeLink;
        break;
      default:
        s.mode = 0;
        break;
    }
    s.size = f.type == RFileType::Regular ? f.size : 0;
    s.atime = f.atime;
    s.mtime = f.mtime;
    s.ctime = f.btime;
    return s;
  }

  // Moves argument directories out of the entries and, with R, queues every
  // subdirectory; pushed in reverse so they come off the stack in order.
  void PushDirectories(std::vector<LsEntryStr>& entries, const std::string& dir,
                       std::vector<PendingStr>& pending) {
    std::vector<PendingStr> found;
    std::vector<LsEntryStr> keep;
    keep.reserve(entries.size());
    for (auto& e : entries) {
      if (e.type == EntryType::ArgDirectory) {
        --count_;  // listed by its content, not as a line of its own
        if (!e.linkTarget.empty()) {
          found.push_back({e.linkTarget, Child(dir, e.name)});
        } else {
          found.push_back({Child(dir, e.diskName), {}});
        }
        continue;
      }
      // Recursion never descends through a link (even a followed one), so a
      // link to an ancestor cannot make the listing endless.
      if (o_.recursive && e.type == EntryType::Directory && e.linkTarget.empty() && e.name != "." &&
          e.name != "..") {
        found.push_back({Child(dir, e.diskName), {}});
      }
      keep.push_back(std::move(e));
    }
    entries = std::move(keep);
    for (auto it = found.rbegin(); it != found.rend(); ++it) pending.push_back(std::move(*it));
  }

  void ListPending(const PendingStr& p, std::vector<PendingStr>& pending, bool header) {
    std::vector<LsEntryStr> entries;
    entries.reserve(kInitialEntries);
    uint64_t total = 0;
    std::string search = Child(p.dir, "*.*");
    // Every directory whose content is shown is watched, before it is read.
    out_.AddWatchDir(LocalToPosix(fs_, p.dir));
    ReadInto(search, false, entries, total);
    SortEntries(entries, o_);
    if (o_.recursive) PushDirectories(entries, p.dir, pending);
    if (header) {
      out_.Append(ToClientPath(fs_, p.linkName.empty() ? p.dir : p.linkName, a_.home, a_.relPaths));
      out_.Append(":\n");
    }
    if (o_.format == Format::Long || o_.blocks) {
      std::string t = "total ";
      AppendNumber(t, total, 0, false);
      t += '\n';
      out_.Append(t);
    }
    Print(entries);
  }

  const RFsSettingsStr& fs_;
  const RLSDirArgsStr& a_;
  RDirTextList& out_;
  OptionsStr o_;
  Formatter format_;
  int64_t maxEntries_ = kDefaultMaxListEntries;
  int64_t count_ = 0;  // entries in the listing so far
  bool cut_ = false;
};

}  // namespace

RLSDir::RLSDir(const RFsSettingsStr& fs, RDirCache& cache, const RLSDirArgsStr& args)
    : out_(fs, cache) {
  Generator g(fs, args, out_);
  g.Run();
}

}  // namespace vantor
