#include "platform/RSyscallFilter.h"

#include <errno.h>
#include <seccomp.h>

#include <cstring>
#include <string_view>

#include "platform/RSyscallDenyList.h"

namespace vantor {

RSyscallFilterResultStr ApplySyscallFilter() {
  RSyscallFilterResultStr r;
  scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
  if (ctx == nullptr) {
    r.why = "seccomp_init failed";
    return r;
  }
  auto fail = [&](const char* step, int rc) {
    r.why = std::string(step) + ": " + std::strerror(-rc);
    seccomp_release(ctx);
    return r;
  };
  // Every thread at once: the helper threads run already.
  int rc = seccomp_attr_set(ctx, SCMP_FLTATR_CTL_TSYNC, 1);
  if (rc == 0) rc = seccomp_attr_set(ctx, SCMP_FLTATR_CTL_NNP, 1);
  if (rc != 0) return fail("seccomp_attr_set", rc);
  // A binary search over the call numbers instead of one comparison per
  // entry: every call the server makes passes the filter. Older libraries
  // lack it and keep the list order.
  (void)seccomp_attr_set(ctx, SCMP_FLTATR_CTL_OPTIMIZE, 2);
  for (const RDeniedSyscallStr& d : kDeniedSyscalls) {
    const int nr = seccomp_syscall_resolve_name(d.name);
    if (nr == __NR_SCMP_ERROR) continue;
    if (kLeakCheckerTraces && std::string_view(d.name) == "ptrace") continue;
    rc = seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), nr, 0);
    if (rc != 0) return fail(d.name, rc);
    ++r.denied;
  }
  rc = seccomp_load(ctx);
  if (rc != 0) return fail("seccomp_load", rc);
  seccomp_release(ctx);
  r.applied = true;
  return r;
}

}  // namespace vantor
