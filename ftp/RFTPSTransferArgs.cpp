#include "ftp/RFTPSTransferArgs.h"

#include "ftp/RFTPStrings.h"
#include "ftp/RTextScan.h"
#include "util/RStringTable.h"
#include "util/RText.h"

namespace vantor {
namespace {

// The character after "VERB " (upper-cased), or 0 when the line is shorter.
char ParamChar(std::string_view line) {
  if (line.size() < 6) return 0;
  return AsciiUpper(line[5]);
}

bool AllDigits(std::string_view s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int Num(std::string_view s) {
  int v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

}  // namespace

std::optional<int64_t> ParseRestLine(std::string_view line) {
  RTextScan scan(line);
  int64_t v = 0;
  if (!scan.SkipWord(5) || !scan.Decimal(v)) return std::nullopt;
  return v < 0 ? 0 : v;
}

RTypeDecisionStr DecideType(std::string_view line) {
  RTypeDecisionStr d;
  switch (ParamChar(line)) {
    case 'A':
      return {kReplyTypeAscii, true, true};
    case 'I':
      return {kReplyTypeImage, true, false};
    case 'L': {
      RTextScan scan(line.substr(6));
      int64_t bits = 0;
      if (scan.Decimal(bits) && bits == 8) return {kReplyTypeImage, true, false};
      break;
    }
    default:
      break;
  }
  d.reply = kReplyTypeNotImplemented;
  return d;
}

uint32_t DecideMode(std::string_view line) {
  return ParamChar(line) == 'S' ? kReplyModeStream : kReplyModeNotImplemented;
}

uint32_t DecideStru(std::string_view line) {
  switch (ParamChar(line)) {
    case 'F':
      return kReplyStruFile;
    case 'R':
      return kReplyStruRecord;
    default:
      return kReplyStruNotImplemented;
  }
}

std::optional<uint64_t> ParseAlloLine(std::string_view line) {
  RTextScan scan(line);
  uint64_t v = 0;
  if (!scan.SkipWord(5) || !scan.Unsigned(v)) return std::nullopt;
  return v;
}

std::string AlloReplyText(uint64_t wanted, uint64_t freeBytes, char driveLetter) {
  const char drive = AsciiUpper(driveLetter);
  return FormatStr(freeBytes < wanted ? kReplyAlloNotEnoughSpace : kReplyAlloOkay, freeBytes,
                   drive);
}

RMdtmArgStr ParseMdtmArg(std::string_view arg) {
  RMdtmArgStr out;
  out.path = std::string(arg);
  const size_t blank = arg.find(' ');
  if (blank == std::string_view::npos || arg.size() < 16 || blank < 14) return out;
  const std::string_view digits = arg.substr(0, 14);
  if (!AllDigits(digits)) return out;
  RMdtmStampStr s;
  s.year = Num(digits.substr(0, 4));
  s.month = Num(digits.substr(4, 2));
  s.day = Num(digits.substr(6, 2));
  s.hour = Num(digits.substr(8, 2));  // not range-tested, as clients expect
  s.minute = Num(digits.substr(10, 2));
  s.second = Num(digits.substr(12, 2));
  if (s.year < 1980 || s.year > 2075 || s.month < 1 || s.month > 12 || s.day < 1 || s.day > 31 ||
      s.minute > 59 || s.second > 59) {
    return out;
  }
  const char c15 = arg[14];
  size_t restAt = 15;
  if (c15 == '+' || c15 == '-') {
    const size_t end = arg.find(' ', 14);  // exists: blank >= 14, and arg[14] is not it
    const std::string_view num = arg.substr(15, end - 15);
    if (num.empty() || num.size() > 4 || !AllDigits(num)) return out;
    if (Num(num) > 1000) return out;
    s.utc = true;
    restAt = end + 1;
  } else if (c15 != ' ') {
    return out;
  }
  out.setForm = true;
  out.stamp = s;
  out.path = std::string(TrimBlanks(arg.substr(restAt)));
  return out;
}

}  // namespace vantor
