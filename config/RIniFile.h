// INI file with private-profile semantics.
//
// Sections and keys compare without regard to case; the first occurrence
// wins. Reads never fail: a missing file reads as empty, and so does one
// that cannot be read when it is first read. A file that can no longer be
// read, or whose new content holds a line that is no header, key line,
// comment or blank line (a NUL byte, "[USER=jo", "PortNr"), leaves the
// content read before in force and refuses writes until it reads cleanly
// again (KeptReason says why). Every
// read sees the file's current content: the parse is cached and read again
// when the file's inode, size or modification time changes. Every write
// replaces the file atomically (temporary file in the same directory, fsync,
// rename) and keeps comments, unknown lines and line order.
//
// Every RIniFile of one path in the process shares one parsed copy of the
// file, held section by section. A write changes the sections it touches in
// that copy (never the whole file), so every reader sees it at once and
// nobody parses the file again for it; only a change made by another
// program is read and parsed anew.
//
// Deferred writes (ApplyDeferred) change what every reader of the file in
// this process sees at once and leave the disk write to a worker of the pool
// the file's owner handed it (SetWritePool): one ordered writer per file, so
// writes of one file never overlap or reorder, and content queued while a
// write runs is coalesced into the next one. Until a deferred write is on
// disk, every RIniFile of that path reads (and builds its own writes on) the
// newest content rather than the file. A write that fails is tried again
// with the next one, and at DrainWrites; the first failure of a run of them
// is logged.
//
// The parsed copies and the deferred writes waiting for the disk are kept
// per path for the whole process, not per object: every RIniFile of one
// path must see one content (a quota counter the account store wrote is
// what the next reader of the file reads), and content on its way to the
// disk must outlive the object that wrote it. Each entry goes when its last
// reader is gone and its content is on disk, so nothing is reset between
// tests; each test uses files of its own.
//
// A change made by another program is read and parsed on the loop by the
// reader that notices it, unless that reader can wait (RefreshOffLoop).
//
// Loop thread only (the object is not shared between threads).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/RWorkPool.h"

namespace vantor {

struct RFileIdentity;
class RWorkPool;
struct RIniImage;  // the shared parsed copy of one file (RIniFile.cpp)
namespace inidetail {
struct ReadOutcome;
struct ReadJob;
enum class RWriteNow;
}  // namespace inidetail

class RIniFile {
 public:
  explicit RIniFile(std::string path);
  // A private copy of `text` as the content of the file at `path` (relative
  // paths resolve as for that file): never registered with the other
  // readers of the path, never read from or written to the disk (writes
  // are refused). Any thread; the object stays on the thread that uses it.
  // For checks of a content not yet saved, off the loop.
  static RIniFile FromText(std::string path, std::string text);

  const std::string& Path() const { return path_; }

  // The value (text after the first '=', blanks around it trimmed), or `def`
  // when the section or key is missing.
  std::string GetString(std::string_view section, std::string_view key,
                        std::string_view def = {}) const;
  bool HasKey(std::string_view section, std::string_view key) const;
  // Decimal (optionally signed) number; a missing or malformed value gives `def`.
  int64_t GetInt(std::string_view section, std::string_view key, int64_t def) const;
  // True words TRUE YES 1 ON, false words FALSE NO 0 OFF (any case); any other
  // value gives `def`.
  bool GetBool(std::string_view section, std::string_view key, bool def) const;

  // Sets the key (added at the end of the section, the section added at the
  // end of the file when missing). nullopt removes the key. False when the
  // file could not be written; the old file is then untouched.
  [[nodiscard]] bool WriteString(std::string_view section, std::string_view key,
                                 std::optional<std::string_view> value);
  // Removes the whole section (header and every line up to the next one).
  [[nodiscard]] bool DeleteSection(std::string_view section);
  // Applies several changes in one atomic write.
  struct Change {
    std::string section;
    std::string key;  // empty: delete the section
    std::optional<std::string> value;
  };
  [[nodiscard]] bool Apply(const std::vector<Change>& changes);
  // Apply, with the disk write left to the write pool (written here when
  // there is none or its queue is full). False only for a change that
  // cannot be written at all (a bad name, an unreadable file).
  [[nodiscard]] bool ApplyDeferred(const std::vector<Change>& changes);
  [[nodiscard]] bool WriteStringDeferred(std::string_view section, std::string_view key,
                                         std::optional<std::string_view> value);

  // Where this file's deferred writes go: `source` is asked at each
  // deferred write and answers the pool to use, or nullptr (none, or not
  // made yet: written at once). The owner of the pool keeps the source
  // valid for as long as this file may write; a write already handed to a
  // pool, and the one queued behind it, finish on that pool. Loop thread.
  using WritePoolSource = std::function<RWorkPool*()>;
  void SetWritePool(WritePoolSource source) { writePool_ = std::move(source); }
  // Writes every deferred content of any path not yet on disk, here and
  // now (waiting for a write that runs): at shutdown, once the pool is gone.
  static void DrainWrites();
  // True while some deferred write is not yet known to be on disk.
  static bool WritesPending();

  // Why readers see the content read before rather than the file as it is
  // now: the system's reason it cannot be read ("Permission denied") or
  // the line that cannot be parsed; "" when the content is the file's.
  std::string KeptReason() const;

  std::vector<std::string> SectionNames() const;
  // Key/value pairs of a section in file order (first occurrence of each key).
  std::vector<std::pair<std::string, std::string>> SectionEntries(std::string_view section) const;
  bool HasSection(std::string_view section) const;

  // The raw lines (for conversions that rewrite the file).
  std::vector<std::string> Lines() const;
  [[nodiscard]] bool WriteLines(const std::vector<std::string>& lines);

  // For a caller that can wait (a session before its command): makes the
  // content current without reading the file on the loop. True when it is
  // (nothing changed, or the file was read here: no pool, a deferred write
  // pending, the pool's queue full); reads in this loop pass then see it
  // without looking again. False when another program changed the file: it
  // is read and parsed on a worker of `pool`, and `ready` runs on the loop
  // once the new content is taken in (not when `cancel` was cancelled).
  // Callers meanwhile share that one read. Readers that do not wait see the
  // content of before until then; a write reads the file here first.
  [[nodiscard]] bool RefreshOffLoop(RWorkPool* pool, const RWorkCancelPtr& cancel,
                                    std::function<void()> ready) const;

  // How often the file was parsed (for tests and benchmarks), and how often
  // the content readers see changed, by a parse or by a write in this
  // process (for caches built on the content). Both count for every
  // RIniFile of the path together.
  uint64_t ParseCount() const;
  uint64_t ChangeCount() const;

 private:
  RIniFile() = default;
  void Refresh() const;
  // Refresh even when a read on a worker made this pass's look: a write must
  // be built on what the file holds now.
  void RefreshNow() const;
  // The look at the file (at most once per loop pass): true when it must be
  // read; `now` is what the look saw.
  bool NeedsRead(RFileIdentity* now) const;
  void TakeRead(const RFileIdentity& looked, const inidetail::ReadOutcome& r) const;
  void TakeReadOffLoop(inidetail::ReadJob& job, const RFileIdentity& looked, uint64_t changesBefore,
                       RWorkPool* pool, const inidetail::ReadOutcome& r) const;
  bool Modify(const std::vector<Change>& changes, bool deferred);
  // Puts `data` on disk now; WriterBusy while a worker writes the file (the
  // caller then queues its content behind that write).
  inidetail::RWriteNow WriteNow(const std::string& data);
  // The shared image, on the thread it belongs to.
  RIniImage& Image() const;

  std::string path_;
  std::shared_ptr<RIniImage> image_;
  WritePoolSource writePool_;
};

// Case-insensitive ASCII comparison used for every section and key name.
bool IniNameEquals(std::string_view a, std::string_view b);

}  // namespace vantor
