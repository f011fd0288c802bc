#include "ftp/RFTPLine.h"
#include "util/RText.h"

#include <cctype>

namespace vantor {
namespace {

constexpr unsigned char kIAC = 255;
constexpr size_t kUnknownWordMax = 25;
constexpr size_t kUnknownLineMax = 160;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

char Upper(char c) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}
char Lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

}  // namespace

std::string StripTelnet(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  for (size_t i = 0; i < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c == kIAC && i + 1 < line.size()) {
      const auto next = static_cast<unsigned char>(line[i + 1]);
      if (next == kIAC) {
        out.push_back(static_cast<char>(kIAC));
        ++i;
        continue;
      }
      if (next >= 240) {
        ++i;
        continue;
      }
    }
    out.push_back(static_cast<char>(c));
  }
  return out;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool VerbIs(std::string_view line, std::string_view verb) {
  if (line.size() < verb.size()) return false;
  for (size_t i = 0; i < verb.size(); ++i) {
    if (Upper(line[i]) != Upper(verb[i])) return false;
  }
  return true;
}

std::string ArgumentOf(std::string_view line, size_t verbLength, size_t maxLength) {
  if (line.size() <= verbLength) return {};
  std::string_view rest = line.substr(verbLength);
  // Trim first so that the blank after the verb does not use up the limit.
  rest = TrimBlanks(rest);
  if (rest.size() > maxLength) rest = TrimBlanks(rest.substr(0, maxLength));
  return std::string(rest);
}

std::string UnknownVerbWord(std::string_view line) {
  const size_t blank = line.find_first_of(" \t");
  std::string_view word = blank == std::string_view::npos ? line : line.substr(0, blank);
  const size_t limit = blank == std::string_view::npos ? kUnknownLineMax : kUnknownWordMax;
  if (word.size() > limit) word = word.substr(0, limit);
  return FtpUpper(word);
}

std::string FtpUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Upper(c);
  return out;
}

std::string FtpLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

bool FtpEqualsNoCase(std::string_view a, std::string_view b) {
  return EqualNoCaseAscii(a, b);
}

}  // namespace vantor
