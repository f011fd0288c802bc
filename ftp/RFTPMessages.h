// Message files and texts: the `[SIGNONOFF]` table, the sign-on and sign-off
// line caches, the greeting and sign-off, login and directory messages, hook
// texts and the ratio/quota summary. Every line sent here (except the
// greeting's banner line) passes through ExpandVariables and then Reply.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fs/RFsSettings.h"

namespace vantor {

class RFTPSComInterp;
class RIniFile;
struct RIPHomeStr;

// One entry of `[SIGNONOFF]`: "<<All IP homes>>" or the home's address text.
struct RMessageFiles {
  std::string key;
  uint32_t address = 0;  // the home's id (RIPHomeStr::address); 0 for all homes
  std::string signOn;
  std::string signOff;
};

// A cached set of lines for one local address (0 = all IP homes).
struct RMesLines {
  uint32_t address = 0;
  bool useAllHomes = false;  // this address has no file of its own
  int64_t expiry = 0;        // seconds since 1970
  std::vector<std::string> lines;
};

struct RMesLinesLess {
  bool operator()(uint32_t a, uint32_t b) const { return a < b; }
};

enum class RSignKind { SignOn, SignOff };

class RFTPMessages {
 public:
  static constexpr int64_t kCacheSeconds = 900;

  // Reads `[SIGNONOFF]` against the IP homes and empties both caches.
  void Load(const RIniFile& ini, const std::vector<RIPHomeStr>& homes);
  const std::vector<RMessageFiles>& Table() const { return table_; }
  // The sign-on or sign-off file for a local address (0 = all homes);
  // false when none is configured.
  bool Lookup(RSignKind kind, uint32_t address, std::string& file) const;

  // The lines for the session's local address, through the caches and
  // access queries 46/47; a file not cached is read here.
  const std::vector<std::string>& GetSignLines(RFTPSComInterp& s, RSignKind kind, uint32_t address);
  // The cached lines when there are any (or no file to read: then the empty
  // entry is cached and returned); else `lines` is null and `file` names
  // what to read for the entry of `address`, to be stored with StoreSignLines.
  struct SignLookup {
    const std::vector<std::string>* lines = nullptr;
    uint32_t address = 0;
    std::string file;
    uint64_t generation = 0;
  };
  SignLookup FindSignLines(RFTPSComInterp& s, RSignKind kind, uint32_t address);
  // Caches what was read for a lookup (unless a reload came meanwhile) and
  // returns the lines.
  const std::vector<std::string>& StoreSignLines(RSignKind kind, const SignLookup& lookup,
                                                 int64_t now, std::vector<std::string> lines);
  void ClearCaches();
  size_t CachedEntries(RSignKind kind) const;

 private:
  using Cache = std::map<uint32_t, RMesLines, RMesLinesLess>;
  Cache& CacheOf(RSignKind kind) { return kind == RSignKind::SignOn ? signOn_ : signOff_; }
  const RMesLines* Fresh(Cache& cache, uint32_t address, int64_t now);

  std::vector<RMessageFiles> table_;
  Cache signOn_;
  Cache signOff_;
  std::vector<std::string> empty_;
  std::vector<std::string> stale_;  // a read that a reload overtook
  uint64_t generation_ = 0;         // counts Load and ClearCaches
};

// A message file is read whole or not at all: larger than this many bytes,
// or giving more lines than this, it is skipped (the reply queue holds 6000
// lines, and a client may be the one who wrote the file).
inline constexpr size_t kMaxMessageBytes = 64 * 1024;
inline constexpr size_t kMaxMessageLines = 1000;

// The lines of a text file as the message code reads them: reads of at most
// `maxRead` characters, each ending after a line feed, one trailing line
// feed (and the CR before it) removed. False when the file is missing, and
// with a log line when it is skipped: over the bounds above, containing a
// NUL byte (not a text), not a regular file (never opened for reading, so a
// FIFO cannot block), or unreadable.
[[nodiscard]] bool ReadMessageLines(const std::string& posixPath, size_t maxRead,
                                    std::vector<std::string>& lines);

// ReadMessageLines in two halves, so that the reading can run on a worker
// and the log line is written on the loop thread.
struct RMessageReadStr {
  enum Problem { None, Missing, TooLarge, NotRegular, Unreadable, NotText, TooManyLines };
  Problem problem = Missing;
  std::string path;  // POSIX
  std::vector<std::string> lines;
};
RMessageReadStr ReadMessageFile(const std::string& posixPath, size_t maxRead);
void LogMessageRead(const RMessageReadStr& r);

// Reads the first of `files` (configured or drive-form names) that can be
// read, on a worker while the session waits; then `then` runs on the loop
// thread with its lines (null: none could be read) and logs what was
// skipped. With the pool's queue full the files are read at once instead:
// a message is never the reason a command is refused. A session that ends
// meanwhile never hears of the result.
using RMessageThen = std::function<void(RFTPSComInterp&, const std::vector<std::string>*)>;
void ReadMessageFiles(RFTPSComInterp& s, std::vector<std::string> files, size_t maxRead,
                      RMessageThen then);
// A configured file name (drive or POSIX form) as a POSIX path.
std::string MessageFilePosix(const RFsSettingsStr& fs, std::string_view name);

// The greeting (with the sign-on lines) and the sign-off. A sign-on or
// sign-off file not in the cache is read on a worker; `then` runs after
// the lines were queued.
void SendGreeting(RFTPSComInterp& s);
void SendSignOff(RFTPSComInterp& s, std::function<void(RFTPSComInterp&)> then = {});
// Sends the first of the files that can be read (names as configured,
// resolved against the session's directories) as "<code>-<line>" lines,
// read on a worker; then runs `then`, whether a file was sent or not.
void SendMessageFile(RFTPSComInterp& s, std::vector<std::string> names, std::string_view code,
                     std::function<void(RFTPSComInterp&)> then);
// Each LF-separated part (and a non-empty rest) as its own line, expanded.
void SendText(RFTPSComInterp& s, std::string_view text);
// The ratio and quota lines (code and "-" on the first), then `finalReply`.
void SendRatioQuotaSummary(RFTPSComInterp& s, std::string_view finalReply);
// The ratio and quota lines of STAT, indented by four blanks, expanded.
std::vector<std::string> RatioQuotaLines(RFTPSComInterp& s);

}  // namespace vantor
