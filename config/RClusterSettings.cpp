#include "config/RClusterSettings.h"

#include <algorithm>

#include "config/RProfile.h"
#include "platform/RFile.h"
#include "util/RText.h"

namespace vantor {

RClusterSettings RClusterSettings::Load(const RIniFile& ini, const std::string& hostName) {
  RClusterSettings c;
  if (!ini.HasSection(kClusterSection)) return c;
  const std::string store = Lower(ini.GetString(kClusterSection, "Store"));
  if (store.empty()) return c;
  if (store != "postgresql") {
    c.problems.push_back("Store=" + store + " is not known (only postgresql is)");
    return c;
  }
  c.connInfo = ini.GetString(kClusterSection, "ConnInfo");
  c.passwordFile = ini.GetString(kClusterSection, "ConnInfoPasswordFile");
  c.node = ini.GetString(kClusterSection, "Node", hostName);
  const std::string mode = Lower(ini.GetString(kClusterSection, "ClusterUnavailable", "refuse"));
  if (mode == "local") {
    c.unavailable = RClusterUnavailable::Local;
  } else if (mode != "refuse") {
    c.problems.push_back("ClusterUnavailable=" + mode +
                         " is neither refuse nor local; refuse is used");
  }
  c.leaseSeconds = std::clamp(ProfileInt(ini, kClusterSection, "LeaseSeconds", 30), 5, 3600);
  c.statementTimeoutMs =
      std::clamp(ProfileInt(ini, kClusterSection, "StatementTimeoutMs", 5000), 100, 600000);
  if (c.connInfo.empty()) {
    c.problems.push_back("ConnInfo= is empty");
    return c;
  }
  if (c.node.empty() || c.node.size() > 63) {
    c.problems.push_back("Node= must name this machine in 1 to 63 characters");
    return c;
  }
  c.enabled = true;
  return c;
}

bool ReadClusterPassword(const std::string& path, std::string* password, std::string* why) {
  std::string text;
  if (!ReadWholeFile(path, &text, nullptr, why)) return false;
  const size_t end = text.find_first_of("\r\n");
  *password = text.substr(0, end);
  return true;
}

}  // namespace vantor
