#include "config/RIniFile.h"

#include <charconv>
#include <map>
#include <memory>
#include <unordered_map>

#include "config/RConfigStrings.h"
#include "config/RIniImage.h"
#include "platform/RFile.h"
#include "platform/RMessageLoop.h"
#include "platform/RThreadChecker.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {

using namespace inidetail;

namespace {

// Sections with more keys than this get a hash index; shorter ones are
// scanned, which is faster than hashing for a handful of keys.
constexpr size_t kLinearKeys = 8;
// File times are kept with a coarse clock tick; a change this close to the
// read may not have moved them.
constexpr int64_t kRacyWindowNs = 2'000'000'000;
constexpr int64_t kRecheckMs = 1000;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

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

bool BlankLine(std::string_view line) {
  return TrimLine(line).empty();
}

// Anything but a header (checked first), a key line, a comment or a blank
// line is a file cut or garbled half-way: a NUL byte, "[USER=jo", "PortNr".
bool ParsableLine(std::string_view line) {
  if (line.find('\0') != std::string_view::npos) return false;
  const std::string_view t = TrimLine(line);
  return t.empty() || t.front() == ';' || t.front() == '#' || KeyLine(t).has_value();
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

std::string_view LineEnd(bool crlf) {
  return crlf ? "\r\n" : "\n";
}

// Collects one block's lines, parsing them as they come.
class BlockMaker {
 public:
  BlockMaker(std::string name, bool section, std::string_view eol)
      : block_(std::make_shared<Block>()), eol_(eol) {
    block_->name = std::move(name);
    block_->section = section;
  }
  void Add(std::string_view line) {
    // The header is the block's first line; key lines follow it.
    if (block_->section && !block_->text.empty()) {
      if (auto kv = KeyLine(line))
        block_->entries.push_back(Entry{std::string(kv->first), std::string(kv->second)});
    }
    block_->text.append(line).append(eol_);
  }
  BlockPtr Finish() {
    if (block_->entries.size() > kLinearKeys) {
      for (size_t i = 0; i < block_->entries.size(); ++i)
        block_->keyIndex.emplace(Lower(block_->entries[i].key), i);
    }
    return std::move(block_);
  }

 private:
  std::shared_ptr<Block> block_;
  std::string_view eol_;
};

BlockPtr MakeBlock(const Block& like, const std::vector<std::string>& lines, bool crlf) {
  BlockMaker m(like.name, like.section, LineEnd(crlf));
  for (const std::string& l : lines) m.Add(l);
  return m.Finish();
}

std::vector<std::string> SplitBlock(const Block& b, bool crlf) {
  std::vector<std::string> lines;
  const size_t eol = crlf ? 2 : 1;
  size_t pos = 0;
  while (pos < b.text.size()) {
    const size_t nl = b.text.find('\n', pos);
    lines.emplace_back(b.text, pos, nl + 1 - eol - pos);
    pos = nl + 1;
  }
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines, bool crlf) {
  const std::string_view eol = LineEnd(crlf);
  std::string out;
  for (const std::string& l : lines) out.append(l).append(eol);
  return out;
}

bool SameText(const BlockList& blocks, std::string_view data) {
  size_t pos = 0;
  for (const BlockPtr& b : blocks) {
    if (data.size() - pos < b->text.size() || data.compare(pos, b->text.size(), b->text) != 0)
      return false;
    pos += b->text.size();
  }
  return pos == data.size();
}

// Loop thread only. The map outlives every image (never destroyed).
std::unordered_map<std::string, std::weak_ptr<RIniImage>>& Images() {
  static auto* images = new std::unordered_map<std::string, std::weak_ptr<RIniImage>>;
  [[maybe_unused]] static RThreadChecker thread;
  VANTOR_CHECK_THREAD(thread, "the INI image registry");
  return *images;
}

}  // namespace

RIniImage::~RIniImage() {
  if (detached) return;
  auto it = Images().find(path);
  if (it != Images().end() && it->second.expired()) Images().erase(it);
}

namespace inidetail {

Parsed Parse(std::string_view text) {
  Parsed out;
  out.crlf = text.find("\r\n") != std::string_view::npos || (!text.empty() && text.back() == '\r');
  const std::string_view eol = LineEnd(out.crlf);
  auto list = std::make_shared<BlockList>();
  BlockMaker cur({}, false, eol);
  size_t pos = 0;
  size_t lineNumber = 1;
  while (pos < text.size()) {
    const size_t nl = text.find('\n', pos);
    const size_t end = nl == std::string_view::npos ? text.size() : nl;
    std::string_view line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view probe = line;
    // A byte order mark from a Windows editor is not part of the first name.
    if (pos == 0 && probe.substr(0, 3) == kByteOrderMark) probe.remove_prefix(3);
    if (auto h = HeaderName(probe)) {
      list->push_back(cur.Finish());
      cur = BlockMaker(std::string(*h), true, eol);
    } else if (out.badLine == 0 && !ParsableLine(probe)) {
      out.badLine = lineNumber;
    }
    ++lineNumber;
    cur.Add(line);
    pos = nl == std::string_view::npos ? text.size() : nl + 1;
  }
  list->push_back(cur.Finish());
  for (size_t i = 0; i < list->size(); ++i) {
    if ((*list)[i]->section) out.sectionIndex.emplace(Lower((*list)[i]->name), i);
  }
  out.blocks = std::move(list);
  return out;
}

}  // namespace inidetail

void RIniImage::TakeContent(std::string data) {
  auto bytes = std::make_shared<const std::string>(std::move(data));
  Parsed parsed = Parse(*bytes);
  TakeParsed(std::move(bytes), std::move(parsed));
}

void RIniImage::TakeParsed(std::shared_ptr<const std::string> data, Parsed parsed) {
  ++parses;
  ++changes;
  raw = std::move(data);
  crlf = parsed.crlf;
  blocks = std::move(parsed.blocks);
  sectionIndex = std::move(parsed.sectionIndex);
}

void RIniImage::TakeBlocks(BlockListPtr next, bool moved) {
  ++changes;
  const size_t before = blocks->size();
  blocks = std::move(next);
  raw.reset();
  // A write keeps the sections it had in place and adds new ones at the
  // end; only a section deleted moves the others.
  if (moved) sectionIndex.clear();
  IndexSections(moved ? 0 : before);
}

void RIniImage::IndexSections(size_t from) {
  for (size_t i = from; i < blocks->size(); ++i) {
    if ((*blocks)[i]->section) sectionIndex.emplace(Lower((*blocks)[i]->name), i);
  }
}

void RIniImage::Remember(const RFileIdentity& disk) {
  loaded = true;
  id = disk;
  // Our own replacement is a fresh inode, so a later change shows in the
  // identity: no need to compare bytes as for a file just changed by others.
  racy = false;
}

namespace {

// One write's changes, collected on top of the content without touching
// it: only the sections they touch are taken apart into lines.
class Draft {
 public:
  explicit Draft(const RIniImage& m) : m_(m), base_(*m.blocks) {}

  // `c` has valid names.
  void Apply(const RIniFile::Change& c) {
    if (c.key.empty()) {
      // Every copy of the section goes, so no later duplicate surfaces.
      if (!Dropped(c.section)) dropped_.push_back(Lower(c.section));
      std::erase_if(added_, [&](const Added& a) { return IniNameEquals(a.name, c.section); });
      return;
    }
    std::vector<std::string>* lines = Find(c.section);
    if (lines == nullptr) {
      if (!c.value) return;
      SeparateNewSection();
      added_.push_back({c.section, {"[" + c.section + "]", c.key + "=" + SafeValue(*c.value)}});
      return;
    }
    EditSection(*lines, c);
  }

  // True when a section of the content is deleted.
  bool Moves() const {
    for (const std::string& name : dropped_) {
      if (m_.sectionIndex.count(name) != 0) return true;
    }
    return false;
  }

  bool Changed() const {
    if (!added_.empty() || Moves()) return true;
    for (const auto& [i, lines] : edited_) {
      if (JoinLines(lines, m_.crlf) != base_[i]->text) return true;
    }
    return false;
  }

  // The content after the changes: untouched blocks shared with the old one.
  BlockListPtr Result() const {
    auto out = std::make_shared<BlockList>();
    out->reserve(base_.size() + added_.size());
    for (size_t i = 0; i < base_.size(); ++i) {
      const Block& b = *base_[i];
      if (b.section && !dropped_.empty() && Dropped(b.name)) continue;
      auto e = edited_.find(i);
      if (e != edited_.end() && JoinLines(e->second, m_.crlf) != b.text) {
        out->push_back(MakeBlock(b, e->second, m_.crlf));
      } else {
        out->push_back(base_[i]);
      }
    }
    for (const Added& a : added_) {
      Block like;
      like.name = a.name;
      like.section = true;
      out->push_back(MakeBlock(like, a.lines, m_.crlf));
    }
    return out;
  }

 private:
  struct Added {
    std::string name;
    std::vector<std::string> lines;
  };

  bool Dropped(std::string_view name) const {
    for (const std::string& d : dropped_) {
      if (IniNameEquals(d, name)) return true;
    }
    return false;
  }

  std::vector<std::string>& Lines(size_t i) {
    auto it = edited_.find(i);
    if (it == edited_.end()) it = edited_.emplace(i, SplitBlock(*base_[i], m_.crlf)).first;
    return it->second;
  }

  // The lines of the first live copy of the section, nullptr when none.
  std::vector<std::string>* Find(std::string_view name) {
    if (!Dropped(name)) {
      auto it = m_.sectionIndex.find(Lower(name));
      if (it != m_.sectionIndex.end()) return &Lines(it->second);
    }
    for (Added& a : added_) {
      if (IniNameEquals(a.name, name)) return &a.lines;
    }
    return nullptr;
  }

  // A new section follows a blank line unless the file is empty or already
  // ends with one.
  void SeparateNewSection() {
    std::vector<std::string>* last = added_.empty() ? nullptr : &added_.back().lines;
    for (size_t i = base_.size(); last == nullptr && i-- > 0;) {
      if (!base_[i]->section || !Dropped(base_[i]->name)) last = &Lines(i);
    }
    if (last != nullptr && !last->empty() && !BlankLine(last->back())) last->emplace_back();
  }

  // A key set or removed inside one section; line 0 is its header.
  static void EditSection(std::vector<std::string>& lines, const RIniFile::Change& c) {
    std::vector<size_t> hits;
    for (size_t i = 1; i < lines.size(); ++i) {
      auto kv = KeyLine(lines[i]);
      if (kv && IniNameEquals(kv->first, c.key)) hits.push_back(i);
    }
    if (!c.value) {
      // Every copy of the key goes, so no later duplicate surfaces.
      for (auto it = hits.rbegin(); it != hits.rend(); ++it)
        lines.erase(lines.begin() + static_cast<ptrdiff_t>(*it));
      return;
    }
    if (!hits.empty()) {
      auto kv = KeyLine(lines[hits.front()]);
      lines[hits.front()] = std::string(kv->first) + "=" + SafeValue(*c.value);
      return;
    }
    // After the section's last non-blank line, so blank separators stay below.
    size_t at = lines.size();
    while (at > 1 && BlankLine(lines[at - 1])) --at;
    lines.insert(lines.begin() + static_cast<ptrdiff_t>(at), c.key + "=" + SafeValue(*c.value));
  }

  const RIniImage& m_;
  const BlockList& base_;
  std::map<size_t, std::vector<std::string>> edited_;
  std::vector<Added> added_;
  std::vector<std::string> dropped_;  // lower-cased section names
};

}  // namespace

bool IniNameEquals(std::string_view a, std::string_view b) {
  return EqualNoCaseAscii(a, b);
}

RIniFile::RIniFile(std::string path) : path_(std::move(path)) {
  std::weak_ptr<RIniImage>& slot = Images()[path_];
  image_ = slot.lock();
  if (!image_) {
    image_ = std::make_shared<RIniImage>(path_);
    slot = image_;
  }
}

RIniFile RIniFile::FromText(std::string path, std::string text) {
  RIniFile f;
  f.path_ = std::move(path);
  f.image_ = std::make_shared<RIniImage>(f.path_);
  f.image_->detached = true;
  f.image_->loaded = true;
  f.image_->TakeContent(std::move(text));
  return f;
}

RIniImage& RIniFile::Image() const {
  VANTOR_CHECK_THREAD(image_->thread, "an INI image (RIniFile)");
  return *image_;
}

uint64_t RIniFile::ParseCount() const {
  return Image().parses;
}

uint64_t RIniFile::ChangeCount() const {
  return Image().changes;
}

namespace inidetail {

// What a read of the file found, wherever it ran.
struct ReadOutcome {
  bool readable = false;
  std::string why;  // the system's reason when not readable
  RFileIdentity id;
  bool changed = false;  // the bytes differ from the content's
  std::shared_ptr<const std::string> data;
  // Made on a worker when the bytes changed; empty: parse them here.
  mutable std::optional<Parsed> parsed;
};

}  // namespace inidetail

namespace {

// The comparison's side of the content, copied on the loop for a worker.
struct ReadBase {
  bool loaded = false;
  bool exists = false;
  BlockListPtr blocks;
  std::shared_ptr<const std::string> raw;
};

ReadBase BaseOf(const RIniImage& m) {
  return ReadBase{m.loaded, m.id.exists, m.blocks, m.raw};
}

// Any thread: reads the file and compares it with `base`.
ReadOutcome ReadFile(const std::string& path, const ReadBase& base) {
  ReadOutcome out;
  std::string data;
  out.readable = ReadWholeFile(path, &data, &out.id, &out.why);
  if (!out.readable) {
    out.id = {};
    data.clear();
  }
  out.changed = !base.loaded || out.id.exists != base.exists ||
                !(base.raw ? data == *base.raw : SameText(*base.blocks, data));
  out.data = std::make_shared<const std::string>(std::move(data));
  return out;
}

}  // namespace

bool RIniFile::NeedsRead(RFileIdentity* now) const {
  RIniImage& m = Image();
  // Within one pass of the event loop the file is looked at once: a login
  // asks the account store a couple of dozen questions, and a change made
  // meanwhile is seen by the next pass. Across passes the loop's watch on
  // the directory says whether anything happened to the file; it is looked
  // at anyway once a second, for changes a watch cannot see (a file system
  // shared over the network, a parent directory swapped). Without a loop
  // every read looks.
  const uint64_t pass = RMessageLoop::CurrentPass();
  RMessageLoop* loop = RMessageLoop::Current();
  // A file changed too recently for its times to prove it unchanged is
  // compared by its bytes at every look, but still once per pass: that is
  // a read of the whole file.
  if (loop != nullptr && m.loaded) {
    if (pass == m.checkedPass) return false;
    if (!m.racy && m.watch != 0 && m.watchLoop == loop->Serial() &&
        loop->FileChanges(m.watch) == m.watchSeen &&
        loop->Clock().NowMs() - m.lookedMs < kRecheckMs) {
      m.checkedPass = pass;
      return false;
    }
  }
  m.checkedPass = pass;
  if (loop != nullptr) {
    // The watch exists before the look, so a change during it is not lost.
    if (m.watchLoop != loop->Serial()) {
      m.watchLoop = loop->Serial();
      m.watch = loop->WatchFile(path_);
    }
    m.watchSeen = loop->FileChanges(m.watch);
    m.lookedMs = loop->Clock().NowMs();
  }
  *now = StatFile(path_);
  return !(m.loaded && *now == m.id && !m.racy);
}

void RIniFile::TakeRead(const RFileIdentity& looked, const ReadOutcome& r) const {
  RIniImage& m = Image();
  ++m.reads;
  const bool wasLoaded = m.loaded;
  m.loaded = true;
  const int64_t clock = FileClockNowNs();
  m.racy =
      r.id.exists && (clock - r.id.mtimeNs < kRacyWindowNs || clock - r.id.ctimeNs < kRacyWindowNs);
  // A file that exists but cannot be read (its mode changed, a half-made
  // edit) must not turn a running server to its defaults: what was read
  // before stays in force until the file reads cleanly again. The version
  // looked at is remembered, so it is read again only once it changes.
  if (!r.readable && looked.exists) {
    m.unreadable = true;
    m.id = looked;
    m.kept = r.why;
    if (wasLoaded) return;
  } else {
    m.unreadable = false;
    m.kept.clear();
    m.id = r.id;
  }
  if (!r.changed) return;
  Parsed parsed = r.parsed ? std::move(*r.parsed) : Parse(*r.data);
  if (wasLoaded && parsed.badLine != 0) {
    m.unreadable = true;
    m.kept = FormatStr(kIniLineNotParsable, static_cast<uint32_t>(parsed.badLine));
    return;
  }
  m.TakeParsed(r.data, std::move(parsed));
}

std::string RIniFile::KeptReason() const {
  Refresh();
  return Image().kept;
}

void RIniFile::Refresh() const {
  if (image_->detached) return;
  // A deferred write not yet on disk is newer than anything the file says.
  if (NewerThanDisk(path_)) return;
  // The change a worker is reading is taken in when it is parsed; until
  // then readers that do not wait keep the content they had.
  if (!Image().reading.expired()) return;
  RFileIdentity now;
  if (!NeedsRead(&now)) return;
  TakeRead(now, ReadFile(path_, BaseOf(Image())));
}

void RIniFile::RefreshNow() const {
  if (image_->detached) return;
  if (NewerThanDisk(path_)) return;
  // A write is built on the file as it is: with a read on a worker, it is
  // read here, and the worker's result is dropped as older than this one.
  if (!Image().reading.expired()) {
    Image().checkedPass = 0;
    Image().watchSeen = ~uint64_t{0};
  }
  RFileIdentity now;
  if (!NeedsRead(&now)) return;
  TakeRead(now, ReadFile(path_, BaseOf(Image())));
}

bool RIniFile::RefreshOffLoop(RWorkPool* pool, const RWorkCancelPtr& cancel,
                              std::function<void()> ready) const {
  RIniImage& m = Image();
  if (m.detached) return true;
  if (std::shared_ptr<ReadJob> job = m.reading.lock()) {
    job->waiters.push_back({cancel, std::move(ready)});
    return false;
  }
  if (pool == nullptr || NewerThanDisk(path_)) {
    Refresh();
    return true;
  }
  RFileIdentity now;
  if (!NeedsRead(&now)) return true;
  // The same file, only changed too recently for its times to prove that it
  // is unchanged: compared here (a read, no parse), as every reader does.
  if (m.loaded && now == m.id) {
    TakeRead(now, ReadFile(path_, BaseOf(m)));
    return true;
  }
  auto job = std::make_shared<ReadJob>();
  m.reading = job;
  const uint64_t changesBefore = m.changes + m.reads;
  const RWorkSubmit r = pool->Submit(
      {}, std::make_shared<RWorkCancel>(),
      [path = path_, base = BaseOf(m)]() -> RWorkPool::Result {
        auto out = std::make_shared<ReadOutcome>(ReadFile(path, base));
        if (out->changed) out->parsed = Parse(*out->data);
        return out;
      },
      [self = *this, job, now, changesBefore, pool](const RWorkPool::Result& res) {
        self.TakeReadOffLoop(*job, now, changesBefore, pool,
                             *std::static_pointer_cast<const ReadOutcome>(res));
      });
  if (r == RWorkSubmit::Full) {
    m.reading.reset();
    TakeRead(now, ReadFile(path_, BaseOf(m)));
    return true;
  }
  // A pool that could not hand the job out ran it all here already.
  if (m.reading.expired()) return true;
  job->waiters.push_back({cancel, std::move(ready)});
  return false;
}

void RIniFile::TakeReadOffLoop(ReadJob& job, const RFileIdentity& looked, uint64_t changesBefore,
                               RWorkPool* pool, const ReadOutcome& r) const {
  RIniImage& m = Image();
  m.reading.reset();
  // Taken unless the content moved on meanwhile (a write of ours, or a read
  // here, which is newer): then what the waiters read is as new as this.
  if (m.changes + m.reads == changesBefore && !NewerThanDisk(path_)) {
    // The old parse is freed on a worker too: thousands of sections.
    auto old = std::make_shared<std::pair<BlockListPtr, SectionIndex>>(m.blocks, SectionIndex());
    if (r.changed) old->second.swap(m.sectionIndex);
    TakeRead(looked, r);
    if (r.changed) {
      (void)pool->Submit(
          {}, std::make_shared<RWorkCancel>(),
          [old]() mutable -> RWorkPool::Result {
            old.reset();
            return nullptr;
          },
          [](const RWorkPool::Result&) {});
    }
    // The waiters' queries in this pass use it without looking again.
    m.checkedPass = RMessageLoop::CurrentPass();
  }
  std::vector<ReadJob::Waiter> waiters;
  waiters.swap(job.waiters);
  for (ReadJob::Waiter& w : waiters) {
    if (!w.cancel->Cancelled()) w.ready();
  }
}

namespace {

const Entry* FindEntry(const RIniImage& m, std::string_view section, std::string_view key) {
  const Block* s = m.FindSection(section);
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

}  // namespace

std::string RIniFile::GetString(std::string_view section, std::string_view key,
                                std::string_view def) const {
  Refresh();
  const Entry* e = FindEntry(Image(), section, key);
  return e ? e->value : std::string(def);
}

bool RIniFile::HasKey(std::string_view section, std::string_view key) const {
  Refresh();
  return FindEntry(Image(), section, key) != nullptr;
}

int64_t RIniFile::GetInt(std::string_view section, std::string_view key, int64_t def) const {
  Refresh();
  const Entry* e = FindEntry(Image(), section, key);
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
  Refresh();
  const Entry* e = FindEntry(Image(), section, key);
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
  if (image_->detached) return false;
  RefreshNow();
  // All or nothing: a bad name anywhere refuses the whole write.
  for (const Change& c : changes) {
    if (!ValidSectionName(c.section) || (!c.key.empty() && !ValidKeyName(c.key))) return false;
  }
  RIniImage& m = Image();
  Draft draft(m);
  for (const Change& c : changes) draft.Apply(c);
  if (!draft.Changed()) return true;
  if (m.unreadable) return false;
  BlockListPtr next = draft.Result();
  if (!deferred) {
    const RWriteNow r = WriteNow(Render(*next));
    if (r == RWriteNow::Failed) return false;
    if (r == RWriteNow::Written) {
      m.TakeBlocks(std::move(next), draft.Moves());
      return true;
    }
    // The file's writer is busy on a worker: this change follows it there.
  }
  // Readers see the change now; the identity stays the old file's until
  // the write is done.
  m.TakeBlocks(next, draft.Moves());
  QueueWrite(path_, image_, std::move(next), writePool_ ? writePool_() : nullptr);
  return true;
}

RWriteNow RIniFile::WriteNow(const std::string& data) {
  RFileIdentity id;
  const RWriteNow r = WriteFileNow(path_, data, &id);
  if (r == RWriteNow::Written) Image().Remember(id);
  return r;
}

std::vector<std::string> RIniFile::SectionNames() const {
  Refresh();
  const RIniImage& m = Image();
  std::vector<std::string> out;
  out.reserve(m.sectionIndex.size());
  for (size_t i = 0; i < m.blocks->size(); ++i) {
    const Block& b = *(*m.blocks)[i];
    if (!b.section) continue;
    // Only the first copy of a duplicated section is visible.
    auto it = m.sectionIndex.find(Lower(b.name));
    if (it != m.sectionIndex.end() && it->second == i) out.push_back(b.name);
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> RIniFile::SectionEntries(
    std::string_view section) const {
  Refresh();
  std::vector<std::pair<std::string, std::string>> out;
  const Block* s = Image().FindSection(section);
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
  Refresh();
  return Image().FindSection(section) != nullptr;
}

std::vector<std::string> RIniFile::Lines() const {
  Refresh();
  std::vector<std::string> out;
  for (const BlockPtr& b : *Image().blocks) {
    std::vector<std::string> lines = SplitBlock(*b, Image().crlf);
    out.insert(out.end(), std::make_move_iterator(lines.begin()),
               std::make_move_iterator(lines.end()));
  }
  return out;
}

bool RIniFile::WriteLines(const std::vector<std::string>& lines) {
  if (image_->detached) return false;
  RefreshNow();
  for (const std::string& l : lines) {
    if (l.find_first_of("\r\n") != std::string::npos) return false;
  }
  RIniImage& m = Image();
  if (m.unreadable) return false;
  const bool crlf = m.crlf;
  std::string data = JoinLines(lines, crlf);
  const RWriteNow r = WriteNow(data);
  if (r == RWriteNow::Failed) return false;
  // A whole new file: parsed like one read from disk, line ends kept.
  m.TakeContent(std::move(data));
  m.crlf = crlf;
  // The file's writer is busy on a worker: the new file follows it there.
  if (r == RWriteNow::WriterBusy)
    QueueWrite(path_, image_, m.blocks, writePool_ ? writePool_() : nullptr);
  return true;
}

}  // namespace vantor
