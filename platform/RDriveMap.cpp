#include "platform/RDriveMap.h"

#include "util/RText.h"

namespace vantor {
namespace {

const std::string kEmpty;

int Index(char letter) {
  const char c = AsciiUpper(letter);
  return (c >= 'A' && c <= 'Z') ? c - 'A' : -1;
}

std::string NormaliseRoot(std::string_view root) {
  std::string r(root);
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  return r;
}

}  // namespace

bool IsDriveForm(std::string_view p) {
  return p.size() >= 2 && Index(p[0]) >= 0 && p[1] == ':' &&
         (p.size() == 2 || p[2] == '\\' || p[2] == '/');
}

RDriveMap::RDriveMap() {
  roots_[2] = "/";
}

RDriveMap RDriveMap::FromEntries(const std::vector<std::pair<std::string, std::string>>& entries) {
  if (entries.empty()) return RDriveMap();
  // A table whose entries are all invalid gives no drives at all: falling
  // back to C: = "/" would expose the whole file system over one typo.
  RDriveMap m;
  m.Clear();
  for (const auto& [key, value] : entries) {
    if (key.size() == 1) (void)m.Set(key[0], value);
  }
  return m;
}

void RDriveMap::Clear() {
  for (auto& r : roots_) r.clear();
}

bool RDriveMap::Set(char letter, std::string_view posixRoot) {
  int i = Index(letter);
  if (i < 0 || posixRoot.empty() || posixRoot[0] != '/') return false;
  roots_[static_cast<size_t>(i)] = NormaliseRoot(posixRoot);
  return true;
}

const std::string& RDriveMap::Root(char letter) const {
  int i = Index(letter);
  return i < 0 ? kEmpty : roots_[static_cast<size_t>(i)];
}

std::string RDriveMap::DriveToPosix(std::string_view p) const {
  if (!IsDriveForm(p)) return {};
  const std::string& root = Root(p[0]);
  if (root.empty()) return {};
  std::string out = root;
  std::string_view rest = p.substr(2);
  for (char c : rest) {
    char d = c == '\\' ? '/' : c;
    if (d == '/' && !out.empty() && out.back() == '/') continue;  // no doubled separators
    out += d;
  }
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string RDriveMap::PosixToDrive(std::string_view p) const {
  if (p.empty() || p[0] != '/') return {};
  int best = -1;
  size_t bestLen = 0;
  for (int i = 0; i < 26; ++i) {
    const std::string& r = roots_[static_cast<size_t>(i)];
    if (r.empty()) continue;
    bool inside =
        r == "/" || (p.substr(0, r.size()) == r && (p.size() == r.size() || p[r.size()] == '/'));
    if (inside && (best < 0 || r.size() > bestLen)) {
      best = i;
      bestLen = r.size();
    }
  }
  if (best < 0) return {};
  std::string out;
  out += static_cast<char>('A' + best);
  out += ':';
  std::string_view rest = roots_[static_cast<size_t>(best)] == "/" ? p : p.substr(bestLen);
  for (char c : rest) {
    if (c == '/' && !out.empty() && out.back() == '\\') continue;
    out += c == '/' ? '\\' : c;
  }
  if (out.size() == 2) out += '\\';
  if (out.size() > 3 && out.back() == '\\') out.pop_back();
  return out;
}

std::string RDriveMap::ConfigPathToDrive(std::string_view path) const {
  if (IsDriveForm(path)) return std::string(path);
  if (!path.empty() && path[0] == '/') {
    std::string d = PosixToDrive(path);
    if (!d.empty()) return d;
  }
  return std::string(path);
}

}  // namespace vantor
