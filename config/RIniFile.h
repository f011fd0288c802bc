// INI file with private-profile semantics.
//
// Sections and keys compare without regard to case; the first occurrence
// wins. Reads never fail: a missing or unreadable file reads as empty. Every
// read sees the file's current content: the parse is cached and read again
// when the file's inode, size or modification time changes. Every write
// replaces the file atomically (temporary file in the same directory, fsync,
// rename) and keeps comments, unknown lines and line order.
//
// Deferred writes (ApplyDeferred) change what every reader of the file in
// this process sees at once and leave the disk write to a worker of the pool
// given to SetWritePool: one ordered writer per file, so writes of one file
// never overlap or reorder, and content queued while a write runs is
// coalesced into the next one. Until a deferred write is on disk, every
// RIniFile of that path reads (and builds its own writes on) the newest
// content rather than the file. A write that fails is tried again with the
// next one, and at DrainWrites.
//
// Loop thread only (the object is not shared between threads).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vantor {

struct RFileIdentity;
class RWorkPool;

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

  // Counts how often the file was parsed (for tests and benchmarks).
  uint64_t ParseCount() const { return parses_; }

 private:
  struct Entry {
    std::string key;    // as written
    std::string value;  // trimmed
    size_t line;        // index into lines_
  };
  struct Section {
    std::string name;  // as written
    size_t header;     // index of the "[name]" line
    size_t end;        // one past the last line of the section
    std::vector<Entry> entries;
    // Lower-cased key -> index into entries (first occurrence), for long sections.
    std::unordered_map<std::string, size_t> keyIndex;
  };

  void Refresh() const;
  // Takes `data` as the cached content and parses it.
  void TakeContent(std::string data) const;
  bool Modify(const std::vector<Change>& changes, bool deferred);
  void Parse() const;
  // Takes `id` as the identity of the cached content.
  void Remember(const RFileIdentity& id) const;
  const Section* FindSection(std::string_view name) const;
  const Entry* FindEntry(std::string_view section, std::string_view key) const;
  bool Store(std::vector<std::string> lines, bool deferred = false);

  std::string path_;
  mutable bool loaded_ = false;
  mutable uint64_t ino_ = 0;
  mutable uint64_t dev_ = 0;
  mutable int64_t size_ = -1;
  mutable int64_t mtimeNs_ = 0;
  mutable std::vector<std::string> lines_;
  mutable std::vector<Section> sections_;
  mutable uint64_t parses_ = 0;
  mutable uint64_t checkedPass_ = 0;  // loop pass of the last look at the file
  // Change watch held with the loop that runs our passes (see Refresh).
  mutable uint64_t watchLoop_ = 0;  // the loop's serial
  mutable uint32_t watch_ = 0;      // its token, 0: none
  mutable uint64_t watchSeen_ = 0;  // the token's count at the last look
  mutable int64_t lookedMs_ = 0;    // loop clock at the last look
  // Lower-cased section name -> index into sections_ (first occurrence).
  mutable std::unordered_map<std::string, size_t> sectionIndex_;
  mutable std::string raw_;    // the bytes last parsed
  mutable bool crlf_ = false;  // the file ends its lines with CR LF
  mutable int64_t ctimeNs_ = 0;
  // The cached version was read so soon after its last change that a later
  // change of the same size could keep the same times: compare bytes then.
  mutable bool racy_ = false;
  // The file exists but could not be read: writing would replace content we
  // never saw, so writes are refused.
  mutable bool unreadable_ = false;
  // The deferred content this object took last (0: none).
  mutable uint64_t adoptedWrite_ = 0;
};

// Case-insensitive ASCII comparison used for every section and key name.
bool IniNameEquals(std::string_view a, std::string_view b);

}  // namespace vantor
