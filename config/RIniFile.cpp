#include "config/RIniFile.h"

#include <charconv>
#include <memory>
#include <mutex>

#include "platform/RFile.h"
#include "platform/RMessageLoop.h"
#include "platform/RWorkPool.h"
#include "util/RText.h"

namespace vantor {
namespace {

// Sections with more keys than this get a hash index; shorter ones are
// scanned, which is faster than hashing for a handful of keys.
constexpr size_t kLinearKeys = 8;
// File times are kept with a coarse clock tick; a change this close to the
// read may not have moved them.
constexpr int64_t kRacyWindowNs = 2'000'000'000;
constexpr int64_t kRecheckMs = 1000;

// A "[name]" line: the name, else nullopt.
std::optional<std::string_view> HeaderName(std::string_view line) {
  std::string_view t = TrimLine(line);
  if (t.size() < 2 || t.front() != '[') return std::nullopt;
  size_t close = t.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return TrimLine(t.substr(1, close - 1));
}

// A "key=value" line: key and value, trimmed; comments and blank lines give nullopt.
std::optional<std::pair<std::string_view, std::string_view>> KeyLine(std::string_view line) {
  std::string_view t = TrimLine(line);
  if (t.empty() || t.front() == ';' || t.front() == '#' || t.front() == '[') return std::nullopt;
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  std::string_view key = TrimLine(t.substr(0, eq));
  if (key.empty()) return std::nullopt;
  return std::make_pair(key, TrimLine(t.substr(eq + 1)));
}

// Line layout of one section for editing: [header, end) with every line
// index of `key` inside it.
struct SectionSpan {
  size_t header;
  size_t end;
};

std::vector<SectionSpan> FindSpans(const std::vector<std::string>& lines, std::string_view name) {
  std::vector<SectionSpan> spans;
  for (size_t i = 0; i < lines.size(); ++i) {
    auto h = HeaderName(lines[i]);
    if (!h) continue;
    if (!spans.empty() && spans.back().end == lines.size()) spans.back().end = i;
    if (IniNameEquals(*h, name)) spans.push_back({i, lines.size()});
  }
  return spans;
}

// Names that would change the file's structure when written.
bool ValidSectionName(std::string_view s) {
  return !s.empty() && s.find_first_of("]\r\n") == std::string_view::npos && TrimLine(s) == s;
}
bool ValidKeyName(std::string_view s) {
  if (s.empty() || TrimLine(s) != s || s.find_first_of("=\r\n") != std::string_view::npos)
    return false;
  return s.front() != '[' && s.front() != ';' && s.front() != '#';
}
// A value never spans lines: a line break would let it plant keys or sections.
std::string SafeValue(std::string_view v) {
  std::string out(TrimLine(v));
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

bool ApplyOne(std::vector<std::string>& lines, const RIniFile::Change& c) {
  if (!ValidSectionName(c.section)) return false;
  std::vector<SectionSpan> spans = FindSpans(lines, c.section);
  if (c.key.empty()) {
    // Every copy of the section goes, so no later duplicate surfaces.
    for (auto it = spans.rbegin(); it != spans.rend(); ++it) {
      lines.erase(lines.begin() + static_cast<ptrdiff_t>(it->header),
                  lines.begin() + static_cast<ptrdiff_t>(it->end));
    }
    return true;
  }
  if (!ValidKeyName(c.key)) return false;
  if (spans.empty()) {
    if (!c.value) return true;
    if (!lines.empty() && !TrimLine(lines.back()).empty()) lines.emplace_back();
    lines.push_back("[" + c.section + "]");
    lines.push_back(c.key + "=" + SafeValue(*c.value));
    return true;
  }
  const SectionSpan s = spans.front();
  std::vector<size_t> hits;
  for (size_t i = s.header + 1; i < s.end; ++i) {
    auto kv = KeyLine(lines[i]);
    if (kv && IniNameEquals(kv->first, c.key)) hits.push_back(i);
  }
  if (!c.value) {
    // Every copy of the key goes, so no later duplicate surfaces.
    for (auto it = hits.rbegin(); it != hits.rend(); ++it) {
      lines.erase(lines.begin() + static_cast<ptrdiff_t>(*it));
    }
    return true;
  }
  if (!hits.empty()) {
    auto kv = KeyLine(lines[hits.front()]);
    lines[hits.front()] = std::string(kv->first) + "=" + SafeValue(*c.value);
    return true;
  }
  // After the section's last non-blank line, so blank separators stay below.
  size_t at = s.end;
  while (at > s.header + 1 && TrimLine(lines[at - 1]).empty()) --at;
  lines.insert(lines.begin() + static_cast<ptrdiff_t>(at), c.key + "=" + SafeValue(*c.value));
  return true;
}

// --- deferred writes ---------------------------------------------------------------

// The writes of one file. The loop's side says what readers see; the
// worker's side is what the next write puts on disk.
struct PathWrites {
  // Loop thread.
  uint64_t gen = 0;        // the newest content's number (never reused)
  uint64_t confirmed = 0;  // the newest number known to be on disk
  std::shared_ptr<const std::string> content;
  bool jobOut = false;  // a job of this file is queued or running
  // Shared with the workers.
  std::mutex writeMu;  // one write of the file at a time, in order
  std::mutex mu;       // guards the fields below
  std::shared_ptr<const std::string> toWrite;
  uint64_t toWriteGen = 0;
  uint64_t writtenGen = 0;
  bool failed = false;  // the last write failed: wait for the next change
};
using PathWritesPtr = std::shared_ptr<PathWrites>;

// Loop thread only.
std::unordered_map<std::string, PathWritesPtr>& Pending() {
  static std::unordered_map<std::string, PathWritesPtr> pending;
  return pending;
}
uint64_t g_lastGen = 0;
RWorkPool* g_pool = nullptr;

// Puts the newest content handed over on disk unless a later write already
// did. Any thread; several at once are put in order by writeMu.
void WriteNewest(const std::string& path, PathWrites& w) {
  std::lock_guard<std::mutex> order(w.writeMu);
  std::shared_ptr<const std::string> data;
  uint64_t gen = 0;
  {
    std::lock_guard<std::mutex> lock(w.mu);
    if (w.toWriteGen <= w.writtenGen) return;
    data = w.toWrite;
    gen = w.toWriteGen;
  }
  const bool ok = ReplaceFileAtomic(path, *data);
  std::lock_guard<std::mutex> lock(w.mu);
  w.failed = !ok;
  if (ok) w.writtenGen = gen;
}

void StartWrite(const std::string& path, const PathWritesPtr& w);

// Loop thread, after a write: the next one when more came meanwhile, else
// the file is settled and readers go back to the disk.
void AfterWrite(const std::string& path, const PathWritesPtr& w) {
  bool more = false;
  bool failed = false;
  {
    std::lock_guard<std::mutex> lock(w->mu);
    w->confirmed = w->writtenGen;
    more = w->toWriteGen > w->writtenGen;
    failed = w->failed;
  }
  if (more && !failed) {
    StartWrite(path, w);
    return;
  }
  if (more) return;  // kept in memory; tried again with the next change
  auto it = Pending().find(path);
  if (it != Pending().end() && it->second == w) Pending().erase(it);
  if (RMessageLoop* loop = RMessageLoop::Current()) loop->NoteFileWritten(path);
}

void StartWrite(const std::string& path, const PathWritesPtr& w) {
  if (w->jobOut) return;  // the running job's successor is started by its completion
  if (g_pool != nullptr) {
    w->jobOut = true;
    const RWorkSubmit r = g_pool->Submit(
        {}, std::make_shared<RWorkCancel>(),
        [path, w]() -> RWorkPool::Result {
          WriteNewest(path, *w);
          return nullptr;
        },
        [path, w](const RWorkPool::Result&) {
          w->jobOut = false;
          AfterWrite(path, w);
        });
    if (r != RWorkSubmit::Full) return;
    w->jobOut = false;
  }
  // No pool, or its queue is full: written here, as it always was.
  WriteNewest(path, *w);
  AfterWrite(path, w);
}

}  // namespace

void RIniFile::SetWritePool(RWorkPool* pool) {
  g_pool = pool;
}

void RIniFile::ForgetWritePool(const RWorkPool* pool) {
  if (g_pool == pool) g_pool = nullptr;
}

void RIniFile::DrainWrites() {
  std::unordered_map<std::string, PathWritesPtr> pending;
  pending.swap(Pending());
  for (auto& [path, w] : pending) {
    WriteNewest(path, *w);
    if (RMessageLoop* loop = RMessageLoop::Current()) loop->NoteFileWritten(path);
  }
}

bool RIniFile::WritesPending() {
  return !Pending().empty();
}

bool IniNameEquals(std::string_view a, std::string_view b) {
  return EqualNoCaseAscii(a, b);
}

RIniFile::RIniFile(std::string path) : path_(std::move(path)) {}

void RIniFile::Refresh() const {
  // A deferred write not yet on disk is newer than anything the file says.
  if (!Pending().empty()) {
    auto it = Pending().find(path_);
    if (it != Pending().end() && it->second->gen != it->second->confirmed) {
      const PathWrites& w = *it->second;
      if (adoptedWrite_ != w.gen) {
        adoptedWrite_ = w.gen;
        loaded_ = true;
        TakeContent(*w.content);
      }
      return;
    }
  }
  // Within one pass of the event loop the file is looked at once: a login
  // asks the account store a couple of dozen questions, and a change made
  // meanwhile is seen by the next pass. Across passes the loop's watch on
  // the directory says whether anything happened to the file; it is looked
  // at anyway once a second, for changes a watch cannot see (a file system
  // shared over the network, a parent directory swapped). Without a loop
  // every read looks.
  const uint64_t pass = RMessageLoop::CurrentPass();
  RMessageLoop* loop = RMessageLoop::Current();
  if (loop != nullptr && loaded_ && !racy_) {
    if (pass == checkedPass_) return;
    if (watch_ != 0 && watchLoop_ == loop->Serial() && loop->FileChanges(watch_) == watchSeen_ &&
        loop->Clock().NowMs() - lookedMs_ < kRecheckMs) {
      checkedPass_ = pass;
      return;
    }
  }
  checkedPass_ = pass;
  if (loop != nullptr) {
    // The watch exists before the look, so a change during it is not lost.
    if (watchLoop_ != loop->Serial()) {
      watchLoop_ = loop->Serial();
      watch_ = loop->WatchFile(path_);
    }
    watchSeen_ = loop->FileChanges(watch_);
    lookedMs_ = loop->Clock().NowMs();
  }
  RFileIdentity id = StatFile(path_);
  const bool same = loaded_ && id.exists == (size_ >= 0) && id.ino == ino_ && id.dev == dev_ &&
                    id.size == (size_ < 0 ? -1 : size_) && id.mtimeNs == mtimeNs_ &&
                    id.ctimeNs == ctimeNs_;
  if (same && !racy_) return;
  std::string data;
  RFileIdentity readId;
  unreadable_ = false;
  if (!ReadWholeFile(path_, &data, &readId)) {
    readId = {};
    unreadable_ = id.exists;
  }
  const int64_t now = FileClockNowNs();
  const bool changed = !loaded_ || data != raw_ || readId.exists != (size_ >= 0);
  Remember(readId);
  racy_ = readId.exists &&
          (now - readId.mtimeNs < kRacyWindowNs || now - readId.ctimeNs < kRacyWindowNs);
  if (!changed) return;
  TakeContent(std::move(data));
}

void RIniFile::TakeContent(std::string data) const {
  raw_ = std::move(data);
  lines_.clear();
  crlf_ = false;
  size_t pos = 0;
  while (pos < raw_.size()) {
    size_t nl = raw_.find('\n', pos);
    size_t end = nl == std::string::npos ? raw_.size() : nl;
    std::string_view line(raw_.data() + pos, end - pos);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
      crlf_ = true;
    }
    lines_.emplace_back(line);
    pos = nl == std::string::npos ? raw_.size() : nl + 1;
  }
  Parse();
}

void RIniFile::Remember(const RFileIdentity& id) const {
  loaded_ = true;
  ino_ = id.ino;
  dev_ = id.dev;
  size_ = id.exists ? id.size : -1;
  mtimeNs_ = id.mtimeNs;
  ctimeNs_ = id.ctimeNs;
}

void RIniFile::Parse() const {
  ++parses_;
  sections_.clear();
  sectionIndex_.clear();
  Section* cur = nullptr;
  auto finish = [](Section* s, size_t end) {
    if (!s) return;
    s->end = end;
    if (s->entries.size() > kLinearKeys) {
      for (size_t i = 0; i < s->entries.size(); ++i)
        s->keyIndex.emplace(Lower(s->entries[i].key), i);
    }
  };
  for (size_t i = 0; i < lines_.size(); ++i) {
    std::string_view line = lines_[i];
    // A byte order mark from a Windows editor is not part of the first name.
    if (i == 0 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    if (auto h = HeaderName(line)) {
      finish(cur, i);
      sections_.push_back(Section{std::string(*h), i, lines_.size(), {}, {}});
      cur = &sections_.back();
      continue;
    }
    if (!cur) continue;
    if (auto kv = KeyLine(line)) {
      cur->entries.push_back(Entry{std::string(kv->first), std::string(kv->second), i});
    }
  }
  finish(cur, lines_.size());
  for (size_t i = 0; i < sections_.size(); ++i) sectionIndex_.emplace(Lower(sections_[i].name), i);
}

const RIniFile::Section* RIniFile::FindSection(std::string_view name) const {
  Refresh();
  auto it = sectionIndex_.find(Lower(name));
  return it == sectionIndex_.end() ? nullptr : &sections_[it->second];
}

const RIniFile::Entry* RIniFile::FindEntry(std::string_view section, std::string_view key) const {
  const Section* s = FindSection(section);
  if (!s) return nullptr;
  if (!s->keyIndex.empty()) {
    auto it = s->keyIndex.find(Lower(key));
    return it == s->keyIndex.end() ? nullptr : &s->entries[it->second];
  }
  for (const Entry& e : s->entries) {
    if (IniNameEquals(e.key, key)) return &e;
  }
  return nullptr;
}

std::string RIniFile::GetString(std::string_view section, std::string_view key,
                                std::string_view def) const {
  const Entry* e = FindEntry(section, key);
  return e ? e->value : std::string(def);
}

bool RIniFile::HasKey(std::string_view section, std::string_view key) const {
  return FindEntry(section, key) != nullptr;
}

int64_t RIniFile::GetInt(std::string_view section, std::string_view key, int64_t def) const {
  const Entry* e = FindEntry(section, key);
  if (!e || e->value.empty()) return def;
  std::string_view v = e->value;
  if (v.front() == '+') v.remove_prefix(1);
  if (v.empty()) return def;
  int64_t out = 0;
  auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
  if (ec != std::errc() || p != v.data() + v.size()) return def;
  return out;
}

bool RIniFile::GetBool(std::string_view section, std::string_view key, bool def) const {
  const Entry* e = FindEntry(section, key);
  if (!e) return def;
  for (std::string_view w : {"TRUE", "YES", "1", "ON"}) {
    if (IniNameEquals(e->value, w)) return true;
  }
  for (std::string_view w : {"FALSE", "NO", "0", "OFF"}) {
    if (IniNameEquals(e->value, w)) return false;
  }
  return def;
}

bool RIniFile::WriteString(std::string_view section, std::string_view key,
                           std::optional<std::string_view> value) {
  if (key.empty()) return false;
  Change c{std::string(section), std::string(key), std::nullopt};
  if (value) c.value = std::string(*value);
  return Apply({c});
}

bool RIniFile::DeleteSection(std::string_view section) {
  return Apply({Change{std::string(section), {}, std::nullopt}});
}

bool RIniFile::Apply(const std::vector<Change>& changes) {
  return Modify(changes, false);
}

bool RIniFile::ApplyDeferred(const std::vector<Change>& changes) {
  return Modify(changes, true);
}

bool RIniFile::WriteStringDeferred(std::string_view section, std::string_view key,
                                   std::optional<std::string_view> value) {
  if (key.empty()) return false;
  Change c{std::string(section), std::string(key), std::nullopt};
  if (value) c.value = std::string(*value);
  return ApplyDeferred({c});
}

bool RIniFile::Modify(const std::vector<Change>& changes, bool deferred) {
  Refresh();
  std::vector<std::string> lines = lines_;
  for (const Change& c : changes) {
    if (!ApplyOne(lines, c)) return false;
  }
  if (lines == lines_) return true;
  return Store(std::move(lines), deferred);
}

std::vector<std::string> RIniFile::SectionNames() const {
  Refresh();
  std::vector<std::string> out;
  out.reserve(sections_.size());
  for (size_t i = 0; i < sections_.size(); ++i) {
    // Only the first copy of a duplicated section is visible.
    auto it = sectionIndex_.find(Lower(sections_[i].name));
    if (it != sectionIndex_.end() && it->second == i) out.push_back(sections_[i].name);
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> RIniFile::SectionEntries(
    std::string_view section) const {
  std::vector<std::pair<std::string, std::string>> out;
  const Section* s = FindSection(section);
  if (!s) return out;
  for (size_t i = 0; i < s->entries.size(); ++i) {
    bool dup = false;
    for (size_t j = 0; j < i && !dup; ++j)
      dup = IniNameEquals(s->entries[j].key, s->entries[i].key);
    if (!dup) out.emplace_back(s->entries[i].key, s->entries[i].value);
  }
  return out;
}

bool RIniFile::HasSection(std::string_view section) const {
  return FindSection(section) != nullptr;
}

std::vector<std::string> RIniFile::Lines() const {
  Refresh();
  return lines_;
}

bool RIniFile::WriteLines(const std::vector<std::string>& lines) {
  Refresh();
  for (const std::string& l : lines) {
    if (l.find_first_of("\r\n") != std::string::npos) return false;
  }
  return Store(lines);
}

bool RIniFile::Store(std::vector<std::string> lines, bool deferred) {
  if (unreadable_) return false;
  const char* eol = crlf_ ? "\r\n" : "\n";
  std::string data;
  size_t total = 0;
  for (const std::string& l : lines) total += l.size() + 2;
  data.reserve(total);
  for (const std::string& l : lines) {
    data += l;
    data += eol;
  }
  auto it = Pending().find(path_);
  if (deferred) {
    PathWritesPtr& w = Pending()[path_];
    if (!w) w = std::make_shared<PathWrites>();
    auto content = std::make_shared<const std::string>(std::move(data));
    w->gen = ++g_lastGen;
    w->content = content;
    {
      std::lock_guard<std::mutex> lock(w->mu);
      w->toWrite = content;
      w->toWriteGen = w->gen;
    }
    // Readers see the change now; the identity stays the old file's until
    // the write is done and the file is looked at again.
    adoptedWrite_ = w->gen;
    raw_ = *content;
    lines_ = std::move(lines);
    Parse();
    StartWrite(path_, PathWritesPtr(w));
    return true;
  }
  RFileIdentity id;
  if (it != Pending().end()) {
    // A write of our own while deferred ones wait: after the one running (our
    // lines were built on the newest content), and it makes the waiting ones
    // unnecessary.
    PathWritesPtr w = it->second;
    std::lock_guard<std::mutex> order(w->writeMu);
    if (!ReplaceFileAtomic(path_, data, &id)) return false;
    {
      std::lock_guard<std::mutex> lock(w->mu);
      w->writtenGen = w->toWriteGen;
      w->failed = false;
    }
    w->confirmed = w->gen;
    if (!w->jobOut) Pending().erase(path_);
  } else if (!ReplaceFileAtomic(path_, data, &id)) {
    return false;
  }
  // Other readers of the file in this process see the write at once, not
  // only when the loop has read the watch's events.
  if (RMessageLoop* loop = RMessageLoop::Current()) loop->NoteFileWritten(path_);
  // The written bytes are the new cache; no need to read them back.
  Remember(id);
  // Our own replacement has a fresh inode, so later changes show in the identity.
  racy_ = false;
  raw_ = std::move(data);
  lines_ = std::move(lines);
  Parse();
  return true;
}

}  // namespace vantor
