#include "ftp/RFTPSListArgs.h"

namespace vantor {
namespace {

constexpr size_t kMaxArgument = 511;
constexpr size_t kMaxOptions = 253;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return std::string(s);
}

}  // namespace

RListArgsStr ParseListLine(std::string_view line, bool nlst) {
  std::string_view rawArg = line.size() > 5 ? line.substr(5) : std::string_view();
  if (rawArg.size() > kMaxArgument) rawArg = rawArg.substr(0, kMaxArgument);
  const std::string trimmed = Trim(rawArg);
  std::string arg;
  arg.reserve(trimmed.size());
  for (size_t i = 0; i < trimmed.size(); ++i) {
    if (trimmed[i] == '/') {
      arg += '\\';
    } else if (trimmed.compare(i, 3, "%20") == 0) {
      arg += ' ';
      i += 2;
    } else {
      arg += trimmed[i];
    }
  }

  RListArgsStr out;
  size_t pos = 0;
  for (;;) {
    size_t tok = pos;
    while (tok < arg.size() && IsBlank(arg[tok])) ++tok;
    if (tok >= arg.size() || arg[tok] != '-') break;
    size_t end = tok;
    while (end < arg.size() && !IsBlank(arg[end])) ++end;
    out.options += arg.substr(pos, end - pos);
    pos = end;
  }
  if (out.options.size() > kMaxOptions) out.options.resize(kMaxOptions);
  const bool given = pos > 0;
  out.path = Trim(std::string_view(arg).substr(pos));
  if (nlst) {
    if (!given) out.options += "e";
  } else {
    if (!given) out.options += "a";
    out.options += "l";
  }
  return out;
}

void SplitListPath(const std::string& localPath, std::string& dir, std::string& pattern) {
  const size_t slash = localPath.rfind('\\');
  if (slash == std::string::npos) {
    dir.clear();
    pattern = localPath;
    return;
  }
  dir = localPath.substr(0, slash);
  pattern = localPath.substr(slash + 1);
  if (dir.size() == 2 && dir[1] == ':') dir += '\\';
}

}  // namespace vantor
