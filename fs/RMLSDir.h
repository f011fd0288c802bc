// The machine listings of MLSD (a directory's entries) and MLST (one
// object), in the format of fs/RMlsxFacts.h.
//
// MLSD reads the directory with the same reader as LIST (fs/RFTPDir.h), so
// `HideHidden`, link entries, the list-directory question and confinement of
// link targets apply alike, and goes through the directory cache under a key
// of its own. It lists one "cdir" entry for the directory itself, a "pdir"
// entry for its parent (not at a drive root, nor at a confined user's home),
// then the entries sorted by name. Entries that are neither files,
// directories nor links (devices, FIFOs, sockets), and names holding CR or
// LF, are left out: a client could act on none of them.
//
// A listing runs on any thread (the ftp layer runs them on its workers),
// with the settings the job was handed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fs/RDirTextList.h"
#include "fs/RFsAccess.h"
#include "fs/RMlsxFacts.h"

namespace vantor {

// The perm fact of one object: what the account's access rules let the
// client do with it. The ftp layer implements it with the same questions
// its commands ask. Loop thread only.
class RMlsxPerms {
 public:
  virtual ~RMlsxPerms() = default;
  // The letters for the existing regular file or directory `localPath`
  // (drive form) of `size` bytes, in alphabetical order.
  virtual std::string Letters(std::string_view localPath, bool directory, int64_t size) = 0;
};

struct RMLSDirArgsStr {
  std::string user;
  std::string dir;              // the existing local directory listed (drive form)
  RFsAccess* access = nullptr;  // nullptr: security off, every entry shown
  RMlsxPerms* perms = nullptr;  // nullptr: every perm fact is empty
  uint32_t address = 0;         // the session's IP home
  std::string home;             // the user's home directory
  bool relPaths = false;
  bool hideHidden = false;
  uint32_t facts = kMlsxDefaultFacts;
};

class RMLSDir {
 public:
  // Generates the listing (or takes it from `cache`). `fs` and `cache`
  // must outlive the object.
  RMLSDir(const RFsSettingsStr& fs, RDirCache& cache, const RMLSDirArgsStr& args);

  std::vector<std::string> TakeLines() { return out_.TakeLines(); }
  // The lines, shared with the cache (no copy).
  RDirLinesPtr Lines() { return out_.Lines(); }
  bool FromCache() const { return out_.FromCache(); }

 private:
  RDirTextList out_;
};

// The MLST entry of the existing regular file or directory `localPath`,
// named `name`; false (and nothing written) for anything else. A directory
// is of type "dir".
[[nodiscard]] bool MlstEntry(const RFsSettingsStr& fs, std::string_view localPath,
                             std::string_view name, uint32_t facts, RMlsxPerms* perms,
                             RMlsxEntryStr& out);

}  // namespace vantor
