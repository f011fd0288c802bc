#include "ftp/RStouNames.h"

#include "util/RFormat.h"

namespace vantor {
namespace {

constexpr size_t kMaxNameTotal = 199;  // base, counter and extension together
constexpr size_t kMaxExtension = 100;

std::string JoinDir(const std::string& dir, std::string_view name) {
  std::string out = dir;
  if (out.empty() || out.back() != '\\') out += '\\';
  out += name;
  return out;
}

}  // namespace

std::optional<std::string> FindUniqueName(const std::string& resolved, bool isDirectory,
                                          const RPathTakenFn& taken, long lastCounter) {
  std::string dir = resolved;
  std::string base;
  std::string ext;
  bool hasExt = false;
  if (!isDirectory) {
    const size_t slash = resolved.rfind('\\');
    dir = slash == std::string::npos ? std::string() : resolved.substr(0, slash);
    const std::string name = slash == std::string::npos ? resolved : resolved.substr(slash + 1);
    const size_t dot = name.find('.');
    base = name.substr(0, dot);
    if (dot != std::string::npos) {
      hasExt = true;
      ext = name.substr(dot + 1, kMaxExtension);
    }
    // Leave room for the widest counter so every candidate stays in bounds.
    const size_t room = kMaxNameTotal - (hasExt ? ext.size() + 1 : 0) - 7;
    if (base.size() > room) base.resize(room);
  }
  if (!base.empty() || hasExt) {
    const std::string first = JoinDir(dir, base + (hasExt ? "." + ext : std::string()));
    if (!taken(first)) return first;
    for (long n = 1; n <= lastCounter; ++n) {
      std::string cand = JoinDir(dir, base + RFormat("%ld", n) + (hasExt ? "." + ext : ""));
      if (!taken(cand)) return cand;
    }
    return std::nullopt;
  }
  for (long n = 0; n <= lastCounter; ++n) {
    std::string cand = JoinDir(dir, RFormat("FTP%05ld", n));
    if (!taken(cand)) return cand;
  }
  return std::nullopt;
}

}  // namespace vantor
