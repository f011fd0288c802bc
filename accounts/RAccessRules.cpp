#include "accounts/RAccessRules.h"

#include <optional>
#include <string>
#include <vector>

#include "accounts/RWildcard.h"
#include "util/RText.h"

namespace vantor {
namespace {

constexpr size_t kMaxSubject = 511;

bool IsDriveRoot(std::string_view p) {
  return p.size() == 3 && p[1] == ':' && p[2] == '\\';
}

// The path with its last component removed; a drive root ("C:\") or the
// bare "\" keeps its backslash. nullopt when there is nothing to remove.
std::optional<std::string_view> Parent(std::string_view p) {
  size_t bs = p.rfind('\\');
  if (bs == std::string_view::npos) return std::nullopt;
  if (IsDriveRoot(p) || p == "\\") return std::nullopt;
  if (bs == 2 && p.size() > 3 && p[1] == ':') return p.substr(0, 3);
  if (bs == 0) return p.substr(0, 1);
  return p.substr(0, bs);
}

struct MatchResult {
  bool match = false;
  bool inRuleDir = false;
  bool aboveRuleDir = false;
};

MatchResult MatchPlain(std::string_view a, std::string_view b, bool inherit) {
  MatchResult r;
  if (!inherit) {
    r.match = EqualNoCaseAscii(a, b);
  } else {
    size_t len = a.size();
    // A rule on a drive root (or on "\") covers everything on that drive: the
    // backslash itself is then the character that must follow the prefix.
    if (IsDriveRoot(a) || a == "\\") --len;
    r.match = b.size() >= len && EqualNoCaseAscii(a.substr(0, len), b.substr(0, len)) &&
              (b.size() == len || b[len] == '\\');
  }
  if (r.match) return r;
  auto pb = Parent(b);
  r.inRuleDir = pb && EqualNoCaseAscii(a, *pb);
  auto pa = Parent(a);
  r.aboveRuleDir = pa && EqualNoCaseAscii(b, *pa);
  return r;
}

std::vector<std::string_view> Components(std::string_view p) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (;;) {
    size_t bs = p.find('\\', start);
    if (bs == std::string_view::npos) {
      out.push_back(p.substr(start));
      return out;
    }
    out.push_back(p.substr(start, bs - start));
    start = bs + 1;
  }
}

MatchResult MatchWild(std::string_view a, std::string_view b, bool inherit) {
  MatchResult r;
  auto ca = Components(a);
  auto cb = Components(b);
  size_t i = 0;
  for (; i < ca.size(); ++i) {
    if (i == cb.size()) {
      // B ended before A: no match; B lies directly above A when one more
      // component of A is left.
      r.aboveRuleDir = ca.size() == cb.size() + 1;
      return r;
    }
    if (!WildcardMatch(cb[i], ca[i])) return r;
  }
  r.match = cb.size() == ca.size() || (inherit && cb.size() > ca.size());
  if (!r.match) r.inRuleDir = cb.size() == ca.size() + 1;
  return r;
}

bool ExistingDirectory(std::string_view path, const RPathProbe* probe) {
  if (HasWildcard(path) || IsReservedDeviceName(path)) return false;
  if (IsDriveRoot(path)) return true;
  return probe != nullptr && probe->IsDirectory(path);
}

}  // namespace

bool IsFileAccessCode(uint32_t code) {
  switch (code) {
    case QC_WRITE_FILE:
    case QC_APPEND_FILE:
    case QC_READ_FILE:
    case QC_MODIFY_FILE:
    case QC_CHANGE_DIR:
    case QC_DELETE_DIR:
    case QC_CREATE_DIR:
    case QC_EXEC_PROGRAM:
    case QC_LIST_DIR:
      return true;
    default:
      return false;
  }
}

bool RuleLettersGrant(std::string_view letters, uint32_t code) {
  const char* grants = nullptr;
  switch (code) {
    case QC_WRITE_FILE:
      grants = "WAM";
      break;
    case QC_APPEND_FILE:
      grants = "AM";
      break;
    case QC_READ_FILE:
      grants = "R";
      break;
    case QC_MODIFY_FILE:
      grants = "M";
      break;
    case QC_EXEC_PROGRAM:
      grants = "E";
      break;
    case QC_LIST_DIR:
      grants = "L";
      break;
    case QC_CREATE_DIR:
      grants = "C";
      break;
    case QC_DELETE_DIR:
      grants = "D";
      break;
    case QC_CHANGE_DIR:
      grants = "WAMRDCEL";
      break;
    default:
      return false;
  }
  for (char c : letters) {
    char u = AsciiUpper(c);
    for (const char* g = grants; *g; ++g)
      if (*g == u) return true;
  }
  return false;
}

RRuleVerdict EvaluateAccessRule(std::string_view rule, uint32_t code, std::string_view localPath,
                                const RPathProbe* probe) {
  if (!IsFileAccessCode(code)) return RRuleVerdict::NotApplicable;
  size_t comma = rule.rfind(',');
  if (comma == std::string_view::npos) return RRuleVerdict::NotApplicable;
  std::string_view path = TrimBlanks(rule.substr(0, comma));
  std::string_view letters = TrimBlanks(rule.substr(comma + 1));
  // "C:\ftp\" means the directory C:\ftp; without this the rule could never
  // match anything below it.
  if (path.size() > 1 && path.back() == '\\' && !IsDriveRoot(path)) path.remove_suffix(1);
  if (path.empty()) return RRuleVerdict::NotApplicable;
  bool inherit = false;
  for (char c : letters)
    if (AsciiUpper(c) == 'P') inherit = true;

  std::string_view subject = localPath;
  if (path.front() == '\\') {
    subject = localPath.size() >= 2 ? localPath.substr(2) : std::string_view{};
  } else if (path.find('\\') == std::string_view::npos) {
    size_t bs = localPath.rfind('\\');
    if (bs != std::string_view::npos) subject = localPath.substr(bs + 1);
  }
  if (subject.size() > kMaxSubject) subject = subject.substr(0, kMaxSubject);
  if (code == QC_CREATE_DIR) {
    // A new directory is judged by the rules of the directory it goes into.
    size_t bs = subject.rfind('\\');
    if (bs != std::string_view::npos && bs > 2) subject = subject.substr(0, bs);
  }

  MatchResult m =
      HasWildcard(path) ? MatchWild(path, subject, inherit) : MatchPlain(path, subject, inherit);
  bool applies = m.match;
  if (!applies) {
    // The subject and the whole path name the same object, so the
    // existence check uses the whole path (a bare name or a path without
    // drive cannot be looked up on its own).
    size_t need = inherit ? 2 : 1;
    bool enough = letters.size() >= need;
    switch (code) {
      case QC_WRITE_FILE:
      case QC_APPEND_FILE:
      case QC_READ_FILE:
      case QC_MODIFY_FILE:
      case QC_EXEC_PROGRAM:
        applies = !inherit && m.inRuleDir;
        break;
      case QC_CHANGE_DIR:
        applies = enough && m.aboveRuleDir;
        break;
      case QC_LIST_DIR:
        applies = (!inherit && m.inRuleDir) ||
                  (enough && m.aboveRuleDir && ExistingDirectory(localPath, probe));
        break;
      default:
        break;
    }
  }
  if (!applies) return RRuleVerdict::NotApplicable;
  if (RuleLettersGrant(letters, code)) return RRuleVerdict::Granted;
  if (code == QC_LIST_DIR) {
    // A rule with other letters but no L does not forbid listing an existing
    // directory; a later rule may still allow it.
    size_t need = inherit ? 2 : 1;
    if (letters.size() >= need && ExistingDirectory(localPath, probe))
      return RRuleVerdict::NotApplicable;
  }
  return RRuleVerdict::Refused;
}

}  // namespace vantor
