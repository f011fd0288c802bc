"""NOOP round trips under load (see run.sh).

50 logged-in sessions each send NOOP every 20 ms and time the reply while,
in turn, one load runs against the same server:
  listr     4 clients run LIST -R on a 200,000-entry tree
  index     2 clients run SITE INDEX on it (vantor only: vsftpd has none)
  quota     20 quota users upload 100 MB each (vsftpd: plain uploads)
  logins    100 logins per second for 5 s
  downloads 200 downloads at once
Every server takes every load in every round, one after the other (the
order turned each round), so a change in the machine's speed falls on all
of them. With --baseline it also prints vantor / baseline per round, the
median and the spread of the ratios. Per load and server:
p50, p99 and the maximum round trip over all rounds, and the load's own
figure (seconds for the listing, the index and the downloads, MB/s for
the uploads, logins done). The probe runs in this process: a loaded
machine delays it too, which the figures include. --timeline also prints,
per load and round, the slowest round trip of each 100 ms of the load
(those over 5 ms), to show when in the load the slow answers fall."""
import argparse
import os
import selectors
import socket
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from benchlib import free_port, peer_env, stop, vsftpd_conf, wait_port  # noqa: E402

MiB = 1 << 20
PROBES = 50
PERIOD = 0.020


# No load may run longer than this (seconds); a server that stalls is
# reported as failed rather than holding the run for ever.
LOAD_LIMIT = 900


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("--vantor", required=True)
    p.add_argument("--baseline", help="an older vantor-e2e-server to compare the loads with")
    p.add_argument("--peers", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--scale", type=float, default=1.0)
    p.add_argument("--rounds", type=int, default=1)
    p.add_argument("--quick", action="store_true",
                   help="scale 0.05, 2 s of logins, 2 rounds: a few minutes in all")
    p.add_argument("--loads", default="listr,index,quota,logins,downloads")
    p.add_argument("--servers", default="vantor,vsftpd")
    p.add_argument("--timeline", action="store_true",
                   help="per load and round: the slowest round trip of each 100 ms")
    a = p.parse_args()
    if a.quick:
        a.scale, a.rounds = min(a.scale, 0.05), max(a.rounds, 2)
    return a


ARGS = None


# --- data ------------------------------------------------------------------------

def make_data(root):
    entries = max(1000, int(200000 * ARGS.scale))
    tree = os.path.join(root, "tree")
    mark = os.path.join(root, "tree.%d" % entries)
    if not os.path.exists(mark):
        subprocess.run(["rm", "-rf", tree], check=True)
        per_dir = 1000
        for d in range(entries // per_dir):
            sub = os.path.join(tree, "d%03d" % d)
            os.makedirs(sub)
            for i in range(per_dir - 1):
                open(os.path.join(sub, "f%04d.txt" % i), "w").close()
        open(mark, "w").close()
    os.makedirs(os.path.join(root, "up"), exist_ok=True)
    os.chmod(root, 0o755)
    os.chmod(os.path.join(root, "up"), 0o777)
    size = max(1, int(10 * ARGS.scale)) * MiB
    dl = os.path.join(root, "dl.bin")
    if not os.path.exists(dl) or os.path.getsize(dl) != size:
        with open(dl, "wb") as f:
            f.write(os.urandom(MiB) * (size // MiB))
    up = os.path.join(ARGS.work, "upload.src")
    usize = max(1, int(100 * ARGS.scale)) * MiB
    if not os.path.exists(up) or os.path.getsize(up) != usize:
        with open(up, "wb") as f:
            f.write(os.urandom(MiB) * (usize // MiB))
    return entries


# --- servers -----------------------------------------------------------------------

class Srv:
    def __init__(self, name, cmd, port, users, env=None):
        self.name, self.port, self.users = name, port, users
        self.log = open(os.path.join(ARGS.work, name + ".log"), "w")
        self.proc = subprocess.Popen(cmd, stdout=self.log, stderr=subprocess.STDOUT, env=env)
        if not wait_port(port):
            self.stop()
            raise RuntimeError(name + " did not start")

    def user(self, i=0, quota=False):
        return self.users(i, quota)

    def stop(self):
        stop(self.proc)


def start_vantor(name, binary, data):
    port = free_port()
    ini = os.path.join(ARGS.work, name + ".ini")
    lines = ["[GLOBAL]", "PortNr=%d" % port, "EncryptPasswords=no", "MaxPreLoginPerIP=0",
             "MaxNrUsers=-1", "[DRIVES]", "C=" + data,
             "[USER=bench]", "Password=bench", "HomeDir=C:\\", "Access1=C:\\,RWAMDCLP"]
    for i in range(20):
        lines += ["[USER=q%d]" % i, "Password=q", "HomeDir=C:\\", "Access1=C:\\,RWAMDCLP",
                  "QuotaEnable=YES", "QuotaMaxCurrent=100000000000,0"]
    with open(ini, "w") as f:
        f.write("\n".join(lines) + "\n")

    def users(i, quota):
        return ("q%d" % i, "q") if quota else ("bench", "bench")
    return Srv(name, [binary, "--quiet", ini], port, users)


def start_vsftpd(data):
    port = free_port()
    conf = vsftpd_conf(os.path.join(ARGS.work, "vsftpd.conf"), ARGS.work, data, port, 1000, [
        "write_enable=YES", "anon_upload_enable=YES", "anon_other_write_enable=YES",
        "anon_world_readable_only=NO", "pasv_enable=YES", "ls_recurse_enable=YES",
        "dirlist_enable=YES"])
    return Srv("vsftpd", [os.path.join(ARGS.peers, "usr/sbin/vsftpd"), conf], port,
               lambda i, q: ("anonymous", "x"), env=peer_env(ARGS.peers))


# --- the probe ---------------------------------------------------------------------

class Probe:
    """50 sessions, NOOP every 20 ms each (staggered), one thread."""

    def __init__(self, srv):
        self.socks = []
        for _ in range(PROBES):
            s = socket.create_connection(("127.0.0.1", srv.port), timeout=10)
            f = s.makefile("rb")
            self._reply(f)
            u, p = srv.user()
            s.sendall(("USER %s\r\n" % u).encode())
            if self._reply(f).startswith(b"331"):
                s.sendall(("PASS %s\r\n" % p).encode())
                self._reply(f)
            s.setblocking(False)
            self.socks.append(s)
        self.rtts, self.running = [], False
        self.slow = {}  # 100 ms slot of the run -> slowest round trip over 5 ms

    @staticmethod
    def _reply(f):
        while True:
            line = f.readline()
            if not line or line[3:4] == b" ":
                return line

    def start(self):
        self.rtts, self.slow, self.running = [], {}, True
        self.began = time.perf_counter()
        self.thread = threading.Thread(target=self._run)
        self.thread.start()

    def stop(self):
        self.running = False
        self.thread.join()
        return self.rtts

    def _run(self):
        sel = selectors.DefaultSelector()
        sent = {}
        for s in self.socks:
            sel.register(s, selectors.EVENT_READ)
        start = time.perf_counter()
        due = [start + PERIOD * i / PROBES for i in range(PROBES)]
        while self.running:
            now = time.perf_counter()
            for i, s in enumerate(self.socks):
                if i not in sent and now >= due[i]:
                    s.send(b"NOOP\r\n")
                    sent[i] = now
                    due[i] += PERIOD
                    if due[i] < now:
                        due[i] = now + PERIOD
            wait = max(0.0, min(due) - time.perf_counter())
            for key, _ in sel.select(min(wait, 0.005)):
                s = key.fileobj
                data = s.recv(4096)
                i = self.socks.index(s)
                if data.endswith(b"\r\n") and i in sent:
                    self._took(sent.pop(i))
        # Let the last answers in, so the sessions stay in step.
        end = time.perf_counter() + 1
        while sent and time.perf_counter() < end:
            for key, _ in sel.select(0.05):
                i = self.socks.index(key.fileobj)
                key.fileobj.recv(4096)
                if i in sent:
                    self._took(sent.pop(i))
        sel.close()

    def _took(self, sent_at):
        rtt = time.perf_counter() - sent_at
        self.rtts.append(rtt)
        if rtt > 0.005:
            slot = int((sent_at - self.began) * 10)
            self.slow[slot] = max(self.slow.get(slot, 0), rtt)

    def timeline(self):
        return " ".join("%.1f:%.0f" % (k / 10, v * 1e3) for k, v in sorted(self.slow.items()))

    def close(self):
        for s in self.socks:
            s.close()


# --- loads -------------------------------------------------------------------------

def url(srv, path, i=0, quota=False):
    u, p = srv.user(i, quota)
    return "ftp://%s:%s@127.0.0.1:%d/%s" % (u, p, srv.port, path)


def curl_parallel(urls, extra, timeout=LOAD_LIMIT):
    args = ["curl", "-s", "-S", "--max-time", str(timeout), "--parallel", "--parallel-max",
            str(len(urls))] + extra
    for u in urls:
        args += [u, "-o", "/dev/null"] if "-T" not in extra else [u]
    t0 = time.perf_counter()
    r = subprocess.run(args, capture_output=True, text=True)
    if r.returncode != 0:
        # The parallel progress meter comes first even with -s; the errors
        # are at the end.
        errors = [l for l in r.stderr.splitlines() if l.startswith("curl:")]
        raise RuntimeError("curl exit %d: %s" % (r.returncode, "; ".join(errors[:3])[:300]))
    return time.perf_counter() - t0


def load_listr(srv):
    urls = [url(srv, "tree/")] * 4
    return "%.2f s" % curl_parallel(urls, ["-X", "LIST -R"])


def load_index(srv):
    if srv.name == "vsftpd":
        return None
    t0 = time.perf_counter()
    procs = [subprocess.Popen(["curl", "-s", "--max-time", str(LOAD_LIMIT), "-Q", "CWD tree",
                               "-Q", "SITE INDEX *.txt",
                               url(srv, "", 0), "-I"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL) for _ in range(2)]
    for p in procs:
        p.wait()
    return "%.2f s" % (time.perf_counter() - t0)


def load_quota(srv):
    src = os.path.join(ARGS.work, "upload.src")
    size = os.path.getsize(src)
    procs = []
    t0 = time.perf_counter()
    for i in range(20):
        procs.append(subprocess.Popen(["curl", "-s", "-S", "--max-time", str(LOAD_LIMIT), "-T", src,
                                       url(srv, "up/%s-%d.bin" % (srv.name, i), i, True)],
                                      stderr=subprocess.DEVNULL))
    for p in procs:
        p.wait()
    secs = time.perf_counter() - t0
    for i in range(20):
        try:
            os.remove(os.path.join(ARGS.data, "up", "%s-%d.bin" % (srv.name, i)))
        except OSError:
            pass
    return "%.0f MB/s" % (20 * size / secs / 1e6)


def load_logins(srv):
    done = 0
    t0 = time.perf_counter()
    seconds = 2 if ARGS.quick else 5
    for k in range(100 * seconds):
        if time.perf_counter() - t0 > seconds + 30:
            break
        target = t0 + k / 100.0
        delay = target - time.perf_counter()
        if delay > 0:
            time.sleep(delay)
        try:
            s = socket.create_connection(("127.0.0.1", srv.port), timeout=10)
            f = s.makefile("rb")
            Probe._reply(f)
            u, p = srv.user()
            s.sendall(("USER %s\r\nPASS %s\r\nQUIT\r\n" % (u, p)).encode())
            while f.readline():
                pass
            s.close()
            done += 1
        except OSError:
            pass
    return "%d logins in %.1f s" % (done, time.perf_counter() - t0)


def load_downloads(srv):
    return "%.2f s" % curl_parallel([url(srv, "dl.bin")] * 200, [])


LOADS = {"listr": load_listr, "index": load_index, "quota": load_quota,
         "logins": load_logins, "downloads": load_downloads}


def pct(v, q):
    v = sorted(v)
    return v[min(len(v) - 1, int(q * len(v)))] if v else float("nan")


def main():
    global ARGS
    ARGS = parse_args()
    ARGS.data = os.path.join(ARGS.work, "data")
    os.makedirs(ARGS.data, exist_ok=True)
    entries = make_data(ARGS.data)
    servers = []
    names = ARGS.servers.split(",")
    if "vantor" in names:
        servers.append(start_vantor("vantor", ARGS.vantor, ARGS.data))
    if ARGS.baseline:
        servers.append(start_vantor("baseline", ARGS.baseline, ARGS.data))
    if "vsftpd" in names:
        servers.append(start_vsftpd(ARGS.data))
    loads = ["idle"] + ARGS.loads.split(",")
    rtts = {(s.name, l): [] for s in servers for l in loads}
    own = {(s.name, l): [] for s in servers for l in loads}
    per_round = {(s.name, l): [] for s in servers for l in loads}
    try:
        probes = {s.name: Probe(s) for s in servers}
        for r in range(ARGS.rounds):
            # The order turns each round: whoever follows a load switch
            # meets the last one's leftovers (writeback, closing sockets).
            order = servers[r % len(servers):] + servers[:r % len(servers)]
            for load in loads:
                for s in order:
                    p = probes[s.name]
                    p.start()
                    if load == "idle":
                        time.sleep(2)
                        figure = ""
                    else:
                        # A load that fails is reported as such; the run goes on.
                        try:
                            figure = LOADS[load](s)
                        except (RuntimeError, OSError) as e:
                            figure = "FAILED (%s)" % e
                    got = p.stop()
                    rtts[(s.name, load)] += got
                    per_round[(s.name, load)].append(got)
                    if ARGS.timeline and load != "idle":
                        print("%s %s, s into the load:ms of the slowest over 5 ms: %s" %
                              (s.name, load, p.timeline() or "none"), flush=True)
                    if figure is not None:
                        own[(s.name, load)].append(figure)
        for p in probes.values():
            p.close()
    finally:
        for s in servers:
            s.stop()
    print("tree %d entries, scale %.3f, %d round(s), load average %s" %
          (entries, ARGS.scale, ARGS.rounds, os.getloadavg()[0]))
    print("%-10s %-9s %8s %8s %8s %7s  %s" % ("load", "server", "p50 ms", "p99 ms", "max ms",
                                             "n", "the load itself"))
    for load in loads:
        for s in servers:
            v = rtts[(s.name, load)]
            if load != "idle" and not own[(s.name, load)]:
                continue
            print("%-10s %-9s %8.2f %8.2f %8.2f %7d  %s" % (
                load, s.name, pct(v, 0.5) * 1e3, pct(v, 0.99) * 1e3, max(v) * 1e3 if v else 0,
                len(v), ", ".join(own[(s.name, load)])))
    if ARGS.baseline and "vantor" in names:
        # The two builds take each load back to back in every round, so the
        # per-round ratio is what the machine's drift moves least.
        print("vantor / baseline per round, median [lowest..highest]:")
        for load in loads:
            a, b = per_round[("vantor", load)], per_round[("baseline", load)]
            cells = []
            for q, label in ((0.5, "p50"), (0.99, "p99")):
                r = sorted(pct(x, q) / pct(y, q) for x, y in zip(a, b) if x and y and pct(y, q) > 0)
                if r:
                    cells.append("%s %.2f [%.2f..%.2f]" % (label, statistics.median(r), r[0], r[-1]))
            print("%-10s %s" % (load, "  ".join(cells) or "no samples"))


if __name__ == "__main__":
    main()
