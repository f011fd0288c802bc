// The INI layer's insides, shared by its reader (RIniFile.cpp) and its
// deferred writer (RIniWriter.cpp): the parsed copy of a file, held section
// by section, and the hand-over of a content to the writer. Not for use
// outside config/.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/RFile.h"
#include "platform/RThreadChecker.h"
#include "platform/RWorkPool.h"
#include "util/RText.h"

namespace vantor {
namespace inidetail {

struct Entry {
  std::string key;    // as written
  std::string value;  // trimmed
};

// One section (header line and every line up to the next header), or the
// lines before the first section. Never changed once made: a write makes a
// new block for each section it touches, and the blocks it did not touch
// are shared by the old and the new content, so the writer thread can put
// an older content on disk while the loop goes on changing the newest.
struct Block {
  std::string name;      // as written; empty for the lines before the first section
  bool section = false;  // false only for the lines before the first section
  std::string text;      // the lines, each ended with the file's line end
  std::vector<Entry> entries;
  // Lower-cased key -> index into entries (first occurrence), for long sections.
  std::unordered_map<std::string, size_t> keyIndex;
};
using BlockPtr = std::shared_ptr<const Block>;
using BlockList = std::vector<BlockPtr>;
using BlockListPtr = std::shared_ptr<const BlockList>;

// The file's bytes as the blocks hold them.
std::string Render(const BlockList& blocks);

using SectionIndex = std::unordered_map<std::string, size_t>;

// A parse of a file's bytes, made wherever the bytes were read.
struct Parsed {
  BlockListPtr blocks;
  // Lower-cased section name -> index into blocks (first occurrence).
  SectionIndex sectionIndex;
  bool crlf = false;  // the file ends its lines with CR LF
  // The first line (from 1) that is no section header, key line, comment
  // or blank line, or holds a NUL byte; 0 when there is none.
  size_t badLine = 0;
};
Parsed Parse(std::string_view text);

// A read of the file on a worker (RIniFile::RefreshOffLoop): the callers
// waiting for it to be taken in. Owned by the job's completion, so it goes
// with a pool that never delivers it.
struct ReadJob {
  struct Waiter {
    RWorkCancelPtr cancel;
    std::function<void()> ready;
  };
  std::vector<Waiter> waiters;
};

}  // namespace inidetail

// The parsed copy of one file, shared by every RIniFile of its path, with
// what is known of the version on disk it stands for. Loop thread only.
struct RIniImage {
  explicit RIniImage(std::string p) : path(std::move(p)) {}
  ~RIniImage();
  RIniImage(const RIniImage&) = delete;
  RIniImage& operator=(const RIniImage&) = delete;

  std::string path;
  inidetail::BlockListPtr blocks = std::make_shared<const inidetail::BlockList>();
  // Lower-cased section name -> index into blocks (first occurrence).
  std::unordered_map<std::string, size_t> sectionIndex;
  bool crlf = false;  // the file ends its lines with CR LF
  // The bytes last parsed, while nothing was written since: a file saved
  // with odd line ends is then still known as unchanged by its bytes.
  // Shared with a worker that reads the file to compare.
  std::shared_ptr<const std::string> raw;
  uint64_t parses = 0;
  uint64_t changes = 0;
  uint64_t reads = 0;  // reads of the file taken in, changed or not
  // The version on disk.
  bool loaded = false;
  RFileIdentity id;
  // The content was read so soon after its last change that a later
  // change of the same size could keep the same times: compare bytes then.
  bool racy = false;
  // The file exists but could not be read: writing would replace content we
  // never saw, so writes are refused.
  bool unreadable = false;
  // Why the content is not the file's as it is now (it could not be read,
  // or a line of it cannot be parsed): the content read before is kept in
  // force and writes are refused. Empty when the content is the file's.
  std::string kept;
  uint64_t checkedPass = 0;  // loop pass of the last look at the file
  // Change watch held with the loop that runs our passes (see Refresh).
  uint64_t watchLoop = 0;  // the loop's serial
  uint32_t watch = 0;      // its token, 0: none
  uint64_t watchSeen = 0;  // the token's count at the last look
  int64_t lookedMs = 0;    // loop clock at the last look
  // The read of the file on a worker, while one runs.
  std::weak_ptr<inidetail::ReadJob> reading;
  // A private content (RIniFile::FromText): not in the registry, never
  // compared with the disk, never written.
  bool detached = false;
  // Every RIniFile of the path asserts on it.
  [[no_unique_address]] RThreadChecker thread;

  const inidetail::Block* FindSection(std::string_view name) const {
    auto it = sectionIndex.find(Lower(name));
    return it == sectionIndex.end() ? nullptr : (*blocks)[it->second].get();
  }
  // Takes `data` as the content and parses it.
  void TakeContent(std::string data);
  // Takes `data`, parsed as `parsed`, as the content.
  void TakeParsed(std::shared_ptr<const std::string> data, inidetail::Parsed parsed);
  // Takes `next` as the content after a write in this process; `moved`:
  // sections were deleted, so the others moved.
  void TakeBlocks(inidetail::BlockListPtr next, bool moved);
  void IndexSections(size_t from);
  // The file written as `disk` holds the content: later looks compare with it.
  void Remember(const RFileIdentity& disk);
};

namespace inidetail {

// Deferred writes. Loop thread.
// True while a content handed to the writer is not known to be on disk:
// it is newer than anything the file says.
bool NewerThanDisk(const std::string& path);
// Hands `blocks`, the image's newest content, to the file's ordered writer,
// which writes it on `pool` (nullptr: here and now).
void QueueWrite(const std::string& path, const std::shared_ptr<RIniImage>& image,
                BlockListPtr blocks, RWorkPool* pool);
// How a write asked for now went.
enum class RWriteNow { Written, Failed, WriterBusy };
// Writes `data` (built on the newest content) now and settles the deferred
// writes that wait; `id` is the written file. WriterBusy, with nothing
// written, while a worker is putting a deferred write of the file on disk:
// the loop never waits for it, so the caller hands its content to the
// writer (QueueWrite) instead, which writes it right after.
[[nodiscard]] RWriteNow WriteFileNow(const std::string& path, const std::string& data,
                                     RFileIdentity* id);
// Called by the writer while it holds a file's write order, before it
// writes: lets tests hold a write there. Any thread.
void IniWriteHookForTests(std::function<void()> hook);

}  // namespace inidetail
}  // namespace vantor
