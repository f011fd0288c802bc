#include "config/RIniPath.h"

#include <vector>

namespace vantor {

std::string NormalizePath(std::string_view path, std::string_view base) {
  std::string full;
  if (path.empty() || path.front() != '/') {
    full.assign(base);
    full += '/';
  }
  full.append(path);
  std::vector<std::string_view> parts;
  std::string_view rest = full;
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (std::string_view p : parts) {
    out += '/';
    out.append(p);
  }
  return out.empty() ? "/" : out;
}

std::string ChooseIniPath(const RIniPathInputs& in,
                          const std::function<bool(const std::string&)>& exists) {
  // A path typed on the command line means what it means to the shell.
  if (in.argument && !in.argument->empty()) return NormalizePath(*in.argument, in.currentDir);
  const std::string inProgramDir = NormalizePath(kIniFileName, in.programDir);
  if (exists(inProgramDir)) return inProgramDir;
  if (in.envVantor)
    return NormalizePath(std::string(*in.envVantor) + "/" + kIniFileName, in.currentDir);
  // The search the system would do: the current directory, then the
  // system-wide configuration directory.
  for (const std::string& candidate :
       {NormalizePath(kIniFileName, in.currentDir), std::string("/etc/vantor/") + kIniFileName}) {
    if (exists(candidate)) return candidate;
  }
  return inProgramDir;
}

std::string DirectoryOf(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

}  // namespace vantor
