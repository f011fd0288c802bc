#include "ftp/RFTPLine.h"

#include <cctype>

namespace vantor {
namespace {

constexpr unsigned char kIAC = 255;
constexpr size_t kUnknownWordMax = 25;
constexpr size_t kUnknownLineMax = 160;

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

bool VerbIs(std::string_view line, std::string_view verb) {
  if (line.size() < verb.size()) return false;
  for (size_t i = 0; i < verb.size(); ++i) {
    if (AsciiUpper(line[i]) != AsciiUpper(verb[i])) return false;
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
  return Upper(word);
}

}  // namespace vantor
