// INI file with private-profile semantics.
//
// Sections and keys compare without regard to case; the first occurrence
// wins. Reads never fail: a missing or unreadable file reads as empty. Every
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
// given to SetWritePool: one ordered writer per file, so writes of one file
// never overlap or reorder, and content queued while a write runs is
// coalesced into the next one. Until a deferred write is on disk, every
// RIniFile of that path reads (and builds its own writes on) the newest
// content rather than the file. A write that fails is tried again with the
// next one, and at DrainWrites; the first failure of a run of them is logged.
//
// Loop thread only (the object is not shared between threads).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantor {

struct RFileIdentity;
class RWorkPool;
struct RIniImage;  // the shared parsed copy of one file (RIniFile.cpp)

class RIniFile {
 public:
  explicit RIniFile(std::string path);

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

  // The pool deferred writes go to (nullptr: written at once); ForgetWritePool
  // clears it only when it is still `pool`. Jobs already handed to a pool
  // still finish there. Loop thread.
  static void SetWritePool(RWorkPool* pool);
  static void ForgetWritePool(const RWorkPool* pool);
  // Writes every deferred content not yet on disk, here and now (waiting
  // for a write that runs): at shutdown, once the pool is gone.
  static void DrainWrites();
  // True while some deferred write is not yet known to be on disk.
  static bool WritesPending();

  std::vector<std::string> SectionNames() const;
  // Key/value pairs of a section in file order (first occurrence of each key).
  std::vector<std::pair<std::string, std::string>> SectionEntries(std::string_view section) const;
  bool HasSection(std::string_view section) const;

  // The raw lines (for conversions that rewrite the file).
  std::vector<std::string> Lines() const;
  [[nodiscard]] bool WriteLines(const std::vector<std::string>& lines);

  // How often the file was parsed (for tests and benchmarks), and how often
  // the content readers see changed, by a parse or by a write in this
  // process (for caches built on the content). Both count for every
  // RIniFile of the path together.
  uint64_t ParseCount() const;
  uint64_t ChangeCount() const;

 private:
  void Refresh() const;
  bool Modify(const std::vector<Change>& changes, bool deferred);
  // Puts `data` on disk now (after a deferred write that runs); false when
  // it could not be written.
  bool WriteNow(const std::string& data);

  std::string path_;
  std::shared_ptr<RIniImage> image_;
};

// Case-insensitive ASCII comparison used for every section and key name.
bool IniNameEquals(std::string_view a, std::string_view b);

}  // namespace vantor
