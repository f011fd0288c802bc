// Helpers shared by the account tests: a temporary directory that is removed
// afterwards, an INI file in it, and queries put to a store. Packed
// AccessQuery fields are compared as values (EXPECT_EQ(+q.flag, 1u)): a
// reference to them may be misaligned.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "accounts/RFTPSSecurity.h"
#include "temp_dir.h"

namespace vantor::test {

// A probe that knows a fixed set of directories and file sizes.
class FakeProbe final : public RPathProbe {
 public:
  std::set<std::string> dirs;
  std::vector<std::pair<std::string, int64_t>> sizes;
  bool IsDirectory(std::string_view p) const override { return dirs.count(std::string(p)) > 0; }
  int64_t FileSize(std::string_view p) const override {
    for (const auto& [name, size] : sizes)
      if (name == p) return size;
    return -1;
  }
};

inline AccessQuery MakeQuery(uint32_t code, std::string_view user, std::string_view aux = {},
                             uint32_t address = 0, uint32_t session = 1) {
  AccessQuery q;
  ClearAccessQuery(q);
  q.code = code;
  SetQueryUser(q, user);
  SetQueryAux(q, aux);
  q.address = address;
  q.session = session;
  return q;
}

// Reads a tab-separated vector file (header skipped).
inline std::vector<std::vector<std::string>> ReadVectors(const std::string& name) {
  std::ifstream in(std::string(VANTOR_SOURCE_DIR) + "/tests/accounts/vectors/" + name);
  std::vector<std::vector<std::string>> rows;
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    if (!line.empty() && line.back() == '\t') cols.push_back("");
    rows.push_back(cols);
  }
  return rows;
}

}  // namespace vantor::test
