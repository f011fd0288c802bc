"""What the benchmarks share: loopback ports, starting and stopping a server
process, a peer's configuration, paired rounds and their summary, and
reading a process tree's CPU and memory from /proc."""
import os
import socket
import statistics
import subprocess
import sys
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


# --- paired rounds ---------------------------------------------------------------

def turned(items, i):
    """`items` in round i's order: turned by one place each round, so a drift
    in the machine's speed falls on every item alike."""
    k = i % len(items) if items else 0
    return items[k:] + items[:k]


def summary(values, pick=statistics.median):
    """(median, lowest, highest) of per-round figures, the ratios of paired
    rounds above all."""
    return pick(values), min(values), max(values)


def spread(values):
    """Per-round ratios as "median [lowest..highest]"."""
    return "%.2f [%.2f..%.2f]" % summary(values)


def start_each(starts, wanted, *args):
    """Starts every (name, start) whose name is in the comma list `wanted`
    (all when empty) with `args`; one that cannot run is reported, not fatal."""
    servers = []
    for name, start in starts:
        if wanted and name not in wanted.split(","):
            continue
        try:
            servers.append(start(*args))
        except Exception as e:
            print("%-10s not measured: %s" % (name, e))
    return servers


# --- peers -----------------------------------------------------------------------

def peer_env(peers):
    """The environment of a peer unpacked with `dpkg -x` into `peers`."""
    env = dict(os.environ)
    env["LD_LIBRARY_PATH"] = ":".join(os.path.join(peers, d) for d in
                                      ("usr/lib/x86_64-linux-gnu", "lib/x86_64-linux-gnu"))
    return env


def vsftpd_conf(path, work, root, port, clients, extra=(), host="127.0.0.1"):
    """Writes vsftpd's configuration for the anonymous user in `root` on
    host:port, `clients` at most, plus the `extra` lines."""
    empty = os.path.join(work, "vsftpd-empty")
    os.makedirs(empty, exist_ok=True)
    listen = (["listen=NO", "listen_ipv6=YES", "listen_address6=" + host] if ":" in host else
              ["listen=YES", "listen_address=" + host])
    with open(path, "w") as f:
        f.write("\n".join(listen + [
            "listen_port=%d" % port, "background=NO",
            "anonymous_enable=YES", "local_enable=NO", "anon_root=" + root,
            # USER alone logs in.
            "no_anon_password=YES",
            # The anonymous user's home must exist ("nobody"'s does not here).
            "ftp_username=daemon", "nopriv_user=nobody", "secure_chroot_dir=" + empty,
            "seccomp_sandbox=NO", "max_clients=%d" % clients, "max_per_ip=%d" % clients,
            "xferlog_enable=NO", "tcp_wrappers=NO"] + list(extra) + [""]))
    return path


def pyftpdlib_cmd(peers, add_user, host, port):
    """The command and environment of Debian's pyftpdlib from `peers` on
    host:port; `add_user` is the authorizer call that makes its one user."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.join(peers, "usr/lib/python3/dist-packages")
    code = ("import logging; logging.disable(logging.CRITICAL)\n"
            "from pyftpdlib.authorizers import DummyAuthorizer\n"
            "from pyftpdlib.handlers import FTPHandler\n"
            "from pyftpdlib.servers import FTPServer\n"
            "a = DummyAuthorizer(); a.%s\n"
            "h = FTPHandler; h.authorizer = a\n"
            "s = FTPServer((%r, %d), h); s.max_cons = 5000; s.max_cons_per_ip = 5000\n"
            "s.serve_forever(handle_exit=True)\n" % (add_user, host, port))
    python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
    return [python, "-c", code], env
