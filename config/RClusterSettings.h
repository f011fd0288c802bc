// The `[CLUSTER]` section: where the counters and limits that several
// machines share are kept. Without the section (or with another `Store`)
// the INI file stays the store and nothing here is used.
//
//   Store=postgresql            the only shared store there is
//   ConnInfo=host=db dbname=ftp  a libpq connection string, without password
//   ConnInfoPasswordFile=/etc/vantor/db.pass   first line: the password
//   Node=ftp1                   this machine's name (default: host name)
//   ClusterUnavailable=refuse   refuse | local, see RClusterUnavailable
//   LeaseSeconds=30             a node's sessions expire this long after
//                               its last renewal
//   StatementTimeoutMs=5000     an unanswered statement drops the connection
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/RIniFile.h"

namespace vantor {

inline constexpr const char* kClusterSection = "CLUSTER";

// What a node does while the database cannot be reached.
enum class RClusterUnavailable {
  // Logins of accounts with a quota or a ratio are refused, and their
  // uploads with them; every other account is served with this machine's
  // own counts.
  Refuse,
  // Everyone is served with this machine's own counts meanwhile.
  Local,
};

struct RClusterSettings {
  bool enabled = false;
  std::string connInfo;
  std::string passwordFile;
  std::string node;
  RClusterUnavailable unavailable = RClusterUnavailable::Refuse;
  int32_t leaseSeconds = 30;
  int32_t statementTimeoutMs = 5000;
  // What is wrong with the section, one line each; `enabled` is false
  // when any of these is an error.
  std::vector<std::string> problems;

  // `hostName` is the default node name.
  static RClusterSettings Load(const RIniFile& ini, const std::string& hostName);
};

// The password: the file's first line, without its line end. False (with
// `why`) when the file cannot be read.
[[nodiscard]] bool ReadClusterPassword(const std::string& path, std::string* password,
                                       std::string* why);

}  // namespace vantor
