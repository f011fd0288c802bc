#include "ftp/RFTPSListArgs.h"

namespace vantor {
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
