"""Runs a forking server under a child subreaper so that its whole process
tree's CPU can be read from /proc.

A session process whose parent exits first is reparented to init, and its
time then reaches no ancestor the benchmark can read: vsftpd's session
processes showed 0.00 s per GiB that way. With PR_SET_CHILD_SUBREAPER such
orphans come to this process instead, and every child it reaps adds its
time (its own and its reaped descendants') to this process's cutime and
cstime. The tree's CPU is then this process's cutime + cstime plus the
user, system and children's times of every live descendant (benchlib
`cpu_seconds(pid, reaped=True)`); this process's own time is a few
milliseconds of waiting.

    python3 reaper.py SERVER [ARGS...]

SIGTERM and SIGINT go to the server's process group; the reaper exits with
the server's status once no child is left."""
import ctypes
import os
import signal
import sys

PR_SET_CHILD_SUBREAPER = 36


def main():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        sys.exit("reaper: prctl: %s" % os.strerror(ctypes.get_errno()))
    server = os.fork()
    if server == 0:
        os.setpgid(0, 0)
        try:
            os.execvp(sys.argv[1], sys.argv[1:])
        finally:
            os._exit(127)
    try:  # also here: a signal may come before the child has run
        os.setpgid(server, server)
    except OSError:
        pass

    def forward(sig, _frame):
        try:
            os.killpg(server, sig)
        except ProcessLookupError:
            pass

    signal.signal(signal.SIGTERM, forward)
    signal.signal(signal.SIGINT, forward)
    status = 0
    while True:
        try:
            pid, st = os.wait()
        except ChildProcessError:
            break
        if pid == server:
            status = os.waitstatus_to_exitcode(st)
            # Sessions left behind by a master that is gone are ended too.
            forward(signal.SIGTERM, None)
    sys.exit(status if status >= 0 else 128 - status)


if __name__ == "__main__":
    main()
