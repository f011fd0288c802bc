// The system calls the server never makes once it serves, each with the
// reason it is refused. Kept in one place so the list can be read and
// argued with as a whole. A name the C library's architecture does not have
// is skipped. Every call here fails with EPERM rather than killing the
// process, so a library that probes one degrades instead of crashing.
#pragma once

namespace vantor {

struct RDeniedSyscallStr {
  const char* name;
  const char* reason;
};

// LeakSanitizer stops the process's threads with ptrace when it exits, to
// scan their stacks: a sanitizer build keeps that call, or every exit is a
// fatal sanitizer error instead of a leak report.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kLeakCheckerTraces = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
inline constexpr bool kLeakCheckerTraces = true;
#else
inline constexpr bool kLeakCheckerTraces = false;
#endif
#else
inline constexpr bool kLeakCheckerTraces = false;
#endif

inline constexpr RDeniedSyscallStr kDeniedSyscalls[] = {
    // Reading or changing another process's memory and registers.
    {"ptrace", "inspecting or steering another process"},
    {"process_vm_readv", "reading another process's memory"},
    {"process_vm_writev", "writing another process's memory"},
    {"process_madvise", "changing another process's memory advice"},
    {"kcmp", "comparing another process's kernel objects"},
    // The file-system tree: a served tree must not be re-arranged under the rules.
    {"mount", "attaching a file system"},
    {"umount2", "detaching a file system"},
    {"pivot_root", "replacing the root file system"},
    {"chroot", "changing the root directory"},
    {"fsopen", "the new mount interface"},
    {"fsconfig", "the new mount interface"},
    {"fsmount", "the new mount interface"},
    {"fspick", "the new mount interface"},
    {"move_mount", "the new mount interface"},
    {"open_tree", "the new mount interface"},
    {"mount_setattr", "the new mount interface"},
    {"swapon", "adding swap space"},
    {"swapoff", "removing swap space"},
    // Namespaces: a fresh user namespace is the usual first step of a
    // kernel exploit.
    {"unshare", "entering new namespaces"},
    {"setns", "joining other namespaces"},
    // Replacing or extending the kernel.
    {"kexec_load", "booting another kernel"},
    {"kexec_file_load", "booting another kernel"},
    {"init_module", "loading a kernel module"},
    {"finit_module", "loading a kernel module"},
    {"delete_module", "unloading a kernel module"},
    {"bpf", "loading programs into the kernel"},
    {"perf_event_open", "kernel and hardware profiling"},
    {"userfaultfd", "stalling the kernel on page faults (race widening)"},
    {"iopl", "direct hardware port access"},
    {"ioperm", "direct hardware port access"},
    {"reboot", "restarting the machine"},
    {"acct", "process accounting"},
    {"quotactl", "changing disk quotas"},
    {"syslog", "reading the kernel's log buffer"},
    // The kernel key store: nothing of the server's lives there.
    {"keyctl", "the kernel key store"},
    {"add_key", "the kernel key store"},
    {"request_key", "the kernel key store"},
    // Identity: the switch of account is made before the filter, for good.
    {"setuid", "changing the user ID after the switch"},
    {"setgid", "changing the group ID after the switch"},
    {"setreuid", "changing the user ID after the switch"},
    {"setregid", "changing the group ID after the switch"},
    {"setresuid", "changing the user ID after the switch"},
    {"setresgid", "changing the group ID after the switch"},
    {"setfsuid", "changing the file-system user ID after the switch"},
    {"setfsgid", "changing the file-system group ID after the switch"},
    {"setgroups", "changing the supplementary groups after the switch"},
    {"capset", "changing capabilities after the switch"},
    // Execution domains: turning address-space randomisation off.
    {"personality", "changing the execution domain (e.g. no randomisation)"},
};

}  // namespace vantor
