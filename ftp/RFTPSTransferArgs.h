// Argument rules of REST, TYPE, MODE, STRU, ALLO and MDTM.
//
// Pure functions over the command line; the handlers turn the results into
// session changes and replies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

// "REST n": the 64-bit offset, a negative number restarting at 0; nullopt
// when no number follows the verb (kReplyRestSyntax).
std::optional<int64_t> ParseRestLine(std::string_view line);

// TYPE/MODE/STRU decisions; the value is the reply number to send.
struct RTypeDecisionStr {
  uint32_t reply = 0;    // kReplyTypeAscii, kReplyTypeImage or kReplyTypeNotImplemented
  bool changes = false;  // AsciiType is to be set to `ascii`
  bool ascii = false;
};
RTypeDecisionStr DecideType(std::string_view line);
uint32_t DecideMode(std::string_view line);  // kReplyModeStream or kReplyModeNotImplemented
uint32_t DecideStru(
    std::string_view line);  // kReplyStruFile, kReplyStruRecord or kReplyStruNotImplemented

// "ALLO n": the byte count, nullopt when it is not one unsigned number.
std::optional<uint64_t> ParseAlloLine(std::string_view line);

// ALLO's reply text for the free space of a drive. The count is 64-bit here:
// free space of 4 GiB and more is reported in full rather than wrapped or cut.
std::string AlloReplyText(uint64_t wanted, uint64_t freeBytes, char driveLetter);

// The set form of MDTM: "YYYYMMDDhhmmss[+/-n] path".
struct RMdtmStampStr {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool utc = false;  // a "+"/"-" number followed the stamp
};
struct RMdtmArgStr {
  bool setForm = false;
  RMdtmStampStr stamp;
  std::string path;  // the path (whole argument in the query form)
};
// `arg` is the command's argument (already trimmed).
RMdtmArgStr ParseMdtmArg(std::string_view arg);

}  // namespace vantor
