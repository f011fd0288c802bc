// The machine listing of MLSD and MLST: which facts a session asked for, how
// one entry is written, and the fact list that FEAT and OPTS MLST show.
//
// An entry is written "fact=value;fact=value; name": every fact ends with
// ";", one blank separates the facts from the name, and the name follows
// exactly as stored (blanks, leading blanks and UTF-8 included). Facts come
// in one fixed order whatever order a client named them in.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vantor {

// Fact bits of a session's selection (OPTS MLST).
enum RMlsxFact : uint32_t {
  MF_Type = 1,
  MF_Size = 2,
  MF_Modify = 4,
  MF_Perm = 8,
  MF_Unique = 16,
  MF_UnixMode = 32,
};
inline constexpr uint32_t kMlsxAllFacts = 63;
// What a session lists until it chooses otherwise.
inline constexpr uint32_t kMlsxDefaultFacts = MF_Type | MF_Size | MF_Modify | MF_Perm;

// What an entry is. `Link` is a link entry (a symbolic link or a line of
// the link list); its other facts describe what it leads to.
enum class RMlsxType { File, Dir, CDir, PDir, Link };

struct RMlsxEntryStr {
  RMlsxType type = RMlsxType::File;
  bool known = false;   // the status below was read (false: only type and perm)
  bool isFile = false;  // a regular file (or a link to one): it has a size
  int64_t size = 0;
  int64_t mtime = 0;  // seconds since 1970
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint32_t mode = 0;  // permission bits (07777)
  std::string perm;   // the perm letters, "" for none
  std::string name;
};

// The fact names of a selection, each followed by ";" (OPTS MLST's reply).
std::string MlsxFactList(uint32_t facts);
// Every fact the server knows, each followed by ";", the selected ones
// marked with "*" (FEAT's MLST line).
std::string MlsxFeatFacts(uint32_t facts);
// The argument of OPTS MLST: fact names separated by ";", compared without
// regard to case; unknown names are ignored. An empty text selects nothing.
uint32_t ParseMlstFacts(std::string_view text);

// "YYYYMMDDHHMMSS" in UTC.
std::string MlsxTime(int64_t seconds);
// A 14-digit UTC stamp, optionally followed by "." and digits (ignored), as
// seconds since 1970; false when it is not a valid date and time.
[[nodiscard]] bool ParseMlsxTime(std::string_view text, int64_t& seconds);

// One entry as a line (without line end).
std::string FormatMlsxEntry(const RMlsxEntryStr& e, uint32_t facts);

// True when a name can be listed: a CR or LF would let a name end its line
// and pose as further entries.
bool MlsxNameListable(std::string_view name);

}  // namespace vantor
