// The system-call filter (seccomp, through libseccomp): the calls of
// RSyscallDenyList.h fail with EPERM in every thread of the process and in
// every program it starts; everything else is allowed. It also sets
// no_new_privs, which the kernel requires of an unprivileged filter and which
// keeps set-user-ID programs started later from gaining rights. Loop thread,
// once; nothing can lift it afterwards.
#pragma once

#include <string>

namespace vantor {

struct RSyscallFilterResultStr {
  bool applied = false;
  int denied = 0;   // calls in the filter
  std::string why;  // when not applied
};

RSyscallFilterResultStr ApplySyscallFilter();

}  // namespace vantor
