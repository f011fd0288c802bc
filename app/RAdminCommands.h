// The administrator's one-shot commands of `vantor`: --hash-password and
// --check-config. Each runs instead of the server and returns the exit code.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vantor {

class RMessageLoop;

// Reads one line (the password) from `in` and prints its hash alone on
// `out`: yescrypt, or DES when `desForm`. A prompt goes to `err` and echo is
// switched off only when `in` is a terminal. Exit 1 when nothing was read or
// no hash could be made.
int HashPasswordCommand(std::FILE* in, std::FILE* out, std::FILE* err, bool desForm);

// One problem found in a configuration file.
struct RConfigProblemStr {
  int line = 0;  // 1-based; 0 = the file as a whole
  bool error = false;
  std::string text;
};

// Reads the file at `iniPath` as the server would and lists every problem,
// in line order.
std::vector<RConfigProblemStr> CheckConfigFile(const std::string& iniPath);
// The same on `text` as the content of the file at `iniPath` (relative
// paths are taken from its folder). Any thread: `text` is read through a
// private INI copy, never through the loop's readers of the file.
std::vector<RConfigProblemStr> CheckConfigText(const std::string& iniPath, std::string text);

// Prints the problems ("PATH:LINE: error: TEXT") and a summary to `out`;
// exit 1 when any is an error.
int CheckConfigCommand(const std::string& iniPath, std::FILE* out);

// --cluster-init: connects to the database `[CLUSTER]` names and creates or
// updates the schema, running `loop` until it is done. 0 when the schema is
// current, 1 otherwise (the reason on `err`).
int ClusterInitCommand(RMessageLoop& loop, const std::string& iniPath, std::FILE* out,
                       std::FILE* err);

}  // namespace vantor
