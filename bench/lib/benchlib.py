"""What the login and peer benchmarks share: loopback ports, starting and
stopping a server process, and reading a process tree's CPU and memory from
/proc."""
import os
import socket
import subprocess
import time

TICK = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, timeout=10, host="127.0.0.1"):
    end = time.time() + timeout
    while time.time() < end:
        try:
            socket.create_connection((host, port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.1)
    return False


def stop(proc):
    """Terminates a server, killing it when it does not go within 10 s."""
    if proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def _stats():
    """pid -> the fields of /proc/<pid>/stat after the command name."""
    out = {}
    for d in os.listdir("/proc"):
        if not d.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % d) as f:
                out[int(d)] = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
    return out


def tree(root, stats=None):
    """`root` and every live descendant."""
    stats = stats if stats is not None else _stats()
    kids = {}
    for pid, fields in stats.items():
        kids.setdefault(int(fields[1]), []).append(pid)
    out, todo = [], [root]
    while todo:
        p = todo.pop()
        out.append(p)
        todo.extend(kids.get(p, []))
    return out


def cpu_seconds(root, reaped=False):
    """User + system seconds of `root` and its live descendants; with
    `reaped`, also of children already reaped. Forking servers do their work
    in session processes whose time reaches the master only once reaped (or
    never, when SIGCHLD is ignored), so live descendants are counted."""
    stats = _stats()
    last = 15 if reaped else 13
    total = 0
    for p in tree(root, stats):
        fields = stats.get(p)
        if fields is not None:
            total += sum(int(x) for x in fields[11:last])
    return total / TICK


def pss_kib(root):
    total = 0
    for p in tree(root):
        try:
            with open("/proc/%d/smaps_rollup" % p) as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total
