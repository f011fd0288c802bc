// Facts about the running process and its surroundings. Any thread.
#pragma once

#include <optional>
#include <string>

namespace vantor {

// The directory of the executable (no trailing slash); "." when unknown.
std::string ProgramDirectory();
// The current working directory; "" when unknown.
std::string CurrentDirectory();
// This machine's host name (empty when the system gives none).
std::string HostName();
// The value of an environment variable; nullopt when it is not set.
std::optional<std::string> EnvVar(const char* name);
// True when `fd` is a terminal.
bool IsTerminal(int fd);
// Switches a terminal's echo of typed characters; false when `fd` is no
// terminal or the change failed.
bool SetTerminalEcho(int fd, bool on);
// Ignores SIGXFSZ unless the program installed a handler of its own: a
// write beyond the file-size limit (ulimit -f) then fails with EFBIG, which
// ends one upload, instead of killing the process and every session.
void IgnoreFileSizeSignal();

}  // namespace vantor
