"""Transfers beside many idle sessions (see run.sh).

Each part is one entry of PARTS: a name, what it measures, and the function
that runs its paired rounds on the servers given. A part starts its servers
with `start_vantor` (any [GLOBAL] lines of its own) and reports through
`report`, so another case (e.g. one on the data threads) is one more entry.

`--hold PORT N` is the holder process of the idle sessions: it logs N
sessions in, prints "ready N", keeps them until its standard input closes,
then asks each for a NOOP, prints "alive M" and closes them.
"""
import argparse
import asyncio
import os
import resource
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from benchlib import cpu_seconds, free_port, spread, stop, turned, wait_port  # noqa: E402

MiB = 1 << 20
GiB = 1 << 30
N_PARALLEL = 20
# The same pinned suite as bench/peers, so the figures compare with its FTPS rows.
TLS_SUITE = "TLS_AES_128_GCM_SHA256"
TLS_CIPHER = "ECDHE-ECDSA-AES128-GCM-SHA256"
TLS_CURL = ["--ssl-reqd", "-k", "--tls13-ciphers", TLS_SUITE, "--ciphers", TLS_CIPHER]


# --- the holder of idle sessions ---------------------------------------------------

async def _reply(reader):
    """The last line of one reply (multi-line replies read to their end)."""
    line = await reader.readline()
    while len(line) >= 4 and line[3:4] == b"-":
        line = await reader.readline()
    if not line:
        raise ConnectionError("closed")
    return line


async def _login(port, sem, out):
    async with sem:
        r, w = await asyncio.open_connection("127.0.0.1", port)
        if not (await _reply(r)).startswith(b"220"):
            raise RuntimeError("no greeting")
        w.write(b"USER idle\r\nPASS idle\r\n")
        await _reply(r)
        if not (await _reply(r)).startswith(b"230"):
            raise RuntimeError("login refused")
        out.append((r, w))


async def _hold(port, n):
    sem = asyncio.Semaphore(200)
    conns = []
    results = await asyncio.gather(*(_login(port, sem, conns) for _ in range(n)),
                                   return_exceptions=True)
    failed = [r for r in results if isinstance(r, Exception)]
    print("ready %d%s" % (len(conns), " (%d failed: %s)" % (len(failed), failed[0])
                          if failed else ""), flush=True)
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, sys.stdin.read)  # until the driver closes it
    for _, w in conns:
        w.write(b"NOOP\r\n")
    alive = 0
    for r, _ in conns:
        try:
            if (await asyncio.wait_for(_reply(r), 30)).startswith(b"200"):
                alive += 1
        except (OSError, asyncio.TimeoutError, ConnectionError):
            pass
    print("alive %d" % alive, flush=True)
    for _, w in conns:
        w.close()


def hold_main(port, n):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    asyncio.run(_hold(port, n))


class Idle:
    """N idle logged-in sessions held by a process of their own (their
    client work is not the driver's and never the server's)."""

    def __init__(self, port, n):
        self.n = n
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--hold",
                                      str(port), str(n)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().strip()
        if not line.startswith("ready %d" % n) or "failed" in line:
            self.close()
            raise RuntimeError("idle sessions: %r" % line)

    def close(self):
        """The number of sessions still answering at the end."""
        alive = -1
        try:
            self.proc.stdin.close()
            for line in self.proc.stdout:
                if line.startswith("alive "):
                    alive = int(line.split()[1])
            self.proc.wait(120)
        except (OSError, subprocess.TimeoutExpired, ValueError):
            stop(self.proc)
        return alive


# --- servers -------------------------------------------------------------------------

class Srv:
    def __init__(self, name, binary, global_lines):
        self.name, self.port = name, free_port()
        data = os.path.join(ARGS.work, "data")
        cert, key = tls_files()
        lines = ["[GLOBAL]", "PortNr=%d" % self.port, "EncryptPasswords=no",
                 "MaxPreLoginPerIP=0", "LogIPNames=NO", "LogFileIPNames=NO",
                 "TLSCertificateFile=" + cert, "TLSPrivateKeyFile=" + key,
                 "TLSCipherList=" + TLS_CIPHER, "TLSCipherSuites=" + TLS_SUITE]
        lines += list(global_lines) + ["[DRIVES]", "C=" + data,
                                       "[USER=bench]", "Password=bench", "HomeDir=C:\\",
                                       "Access1=C:\\,RWAMDCLP",
                                       "[USER=idle]", "Password=idle", "HomeDir=C:\\",
                                       "Access1=C:\\,RL"]
        ini = os.path.join(ARGS.work, name + "-scale.ini")
        with open(ini, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.log = open(os.path.join(ARGS.work, name + "-scale.log"), "w")
        # The server inherits the raised descriptor limit (run.sh).
        self.proc = subprocess.Popen([binary, "--quiet", ini], stdout=self.log,
                                     stderr=subprocess.STDOUT)
        if not wait_port(self.port):
            self.stop()
            raise RuntimeError(name + " did not start (see %s-scale.log)" % name)

    def url(self, path):
        return "ftp://127.0.0.1:%d/%s" % (self.port, path)

    def stop(self):
        stop(self.proc)


def start_vantor(global_lines=(), suffix=""):
    """This build and, with --baseline, the baseline: name -> server."""
    servers = {"vantor": Srv("vantor" + suffix, ARGS.vantor, global_lines)}
    if ARGS.baseline:
        servers["baseline"] = Srv("baseline" + suffix, ARGS.baseline, global_lines)
    return servers


def tls_files():
    d = os.path.join(ARGS.work, "tls")
    os.makedirs(d, exist_ok=True)
    cert, key = os.path.join(d, "cert.pem"), os.path.join(d, "key.pem")
    if not os.path.exists(cert):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=127.0.0.1",
                        "-keyout", key, "-out", cert, "-days", "365"],
                       capture_output=True, check=True)
        os.chmod(key, 0o644)
    return cert, key


def make_data():
    data = os.path.join(ARGS.work, "data")
    os.makedirs(os.path.join(data, "up"), exist_ok=True)
    name = "m%d" % ARGS.mib
    path = os.path.join(data, name)
    if not os.path.exists(path) or os.path.getsize(path) != ARGS.mib * MiB:
        block = os.urandom(MiB)
        with open(path, "wb") as f:
            for _ in range(ARGS.mib):
                f.write(block)
    return name


# --- one case: 20 transfers at once ----------------------------------------------------

# name: (upload?, PROT P?)
CASES = {"ul": (True, False), "dl": (False, False), "ul-tls": (True, True),
         "dl-tls": (False, True)}


def transfers(srv, case, name):
    """N_PARALLEL transfers of data/`name` at once: the aggregate rate (bytes
    over the wall time) and the server's CPU seconds per GiB moved. Clear:
    one curl --parallel process. PROT P: one curl process each, since curl's
    --parallel shares one TLS session cache among its transfers and a data
    connection would offer another control connection's session."""
    up, tls = CASES[case]
    data = os.path.join(ARGS.work, "data")
    size = os.path.getsize(os.path.join(data, name))
    fmt = ["-w", "%{size_download} %{size_upload}\\n"]
    base = ["curl", "-s", "-S", "--no-progress-meter", "--max-time", "600", "-u", "bench:bench"]
    base += TLS_CURL if tls else []

    def one(i):
        return (["-T", os.path.join(data, name), srv.url("up/p%d" % i)] if up else
                ["-o", "/dev/null", srv.url(name)])

    if tls:
        cmds = [base + fmt + one(i) for i in range(N_PARALLEL)]
    else:
        cmd = base + ["--parallel", "--parallel-immediate", "--parallel-max", str(N_PARALLEL)]
        cmds = [cmd + fmt + sum((one(i) for i in range(N_PARALLEL)), [])]
    if up:
        os.sync()
    cpu0 = cpu_seconds(srv.proc.pid)
    t0 = time.monotonic()
    procs = [subprocess.Popen(c, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for c in cmds]
    outs = [p.communicate(timeout=660) for p in procs]
    wall = time.monotonic() - t0
    cpu1 = cpu_seconds(srv.proc.pid)
    done = 0
    for (out, _), p in zip(outs, procs):
        for line in out.split("\n"):
            f = line.split()
            if len(f) == 2 and int(f[1 if up else 0]) == size:
                done += 1
    if up:
        for i in range(N_PARALLEL):
            try:
                os.remove(os.path.join(data, "up", "p%d" % i))
            except OSError:
                pass
    if done != N_PARALLEL:
        err = " ".join(e.strip() for _, e in outs)[:200]
        raise RuntimeError("%s: %d of %d transfers complete: %s" % (case, done, N_PARALLEL, err))
    moved = N_PARALLEL * size
    return {"rate": moved / wall, "cpu": (cpu1 - cpu0) / (moved / GiB)}


# --- part "idle": alone and beside idle sessions ---------------------------------------

def part_idle():
    """Each build runs twice with the same configuration: one process alone,
    one beside the idle sessions, logged in once before the rounds (10,000
    logins take minutes on a loaded 2-core machine). The rounds take the
    builds and the two states in turned order."""
    name = make_data()
    cases = ARGS.cases.split(",")
    alone = start_vantor(suffix="-alone")
    idle = start_vantor(suffix="-idle")
    holders = []
    got = []  # per round: (build, state, case) -> figures
    try:
        for build, srv in idle.items():
            t0 = time.monotonic()
            holders.append((build, Idle(srv.port, ARGS.idle)))
            print("%s: %d idle sessions logged in in %.0f s" % (build, ARGS.idle,
                                                                time.monotonic() - t0))
        procs = {("alone", b): s for b, s in alone.items()}
        procs.update({("idle", b): s for b, s in idle.items()})
        for s in procs.values():  # warm the page cache and the code
            transfers(s, "dl", name)
        for i in range(ARGS.rounds):
            rnd = {}
            for build in turned(sorted(alone), i):
                for state in turned(["alone", "idle"], i):
                    for case in cases:
                        rnd[build, state, case] = transfers(procs[state, build], case, name)
            got.append(rnd)
            print("round %d (load %.1f):" % (i, os.getloadavg()[0]))
            for (build, state, case), f in sorted(rnd.items()):
                print("  %-8s %-5s %-6s %7.0f MB/s  %5.2f s CPU/GiB" % (
                    build, state, case, f["rate"] / 1e6, f["cpu"]))
    finally:
        for build, h in holders:
            alive = h.close()
            if alive != ARGS.idle:
                print("%s: %d of %d idle sessions answered at the end" % (build, alive, ARGS.idle))
        for s in list(alone.values()) + list(idle.values()):
            s.stop()
    report(sorted(alone), cases, got)


def report(servers, cases, got):
    print("\nmedians of %d rounds, %d idle sessions, %d x %d MiB at once (load average %s):" %
          (len(got), ARGS.idle, N_PARALLEL, ARGS.mib, " ".join("%.1f" % x for x in
                                                               os.getloadavg())))
    print("%-8s %-6s %9s %9s %10s %10s  %-20s %-20s" % (
        "server", "case", "alone MB/s", "idle MB/s", "alone CPU", "idle CPU",
        "rate idle/alone", "CPU idle/alone"))
    for name in servers:
        for case in cases:
            rows = [r for r in got if (name, "alone", case) in r and (name, "idle", case) in r]
            if not rows:
                continue
            a = [r[name, "alone", case] for r in rows]
            b = [r[name, "idle", case] for r in rows]
            print("%-8s %-6s %9.0f %9.0f %10.2f %10.2f  %-20s %-20s" % (
                name, case, statistics.median(x["rate"] for x in a) / 1e6,
                statistics.median(x["rate"] for x in b) / 1e6,
                statistics.median(x["cpu"] for x in a), statistics.median(x["cpu"] for x in b),
                spread([y["rate"] / x["rate"] for x, y in zip(a, b)]),
                spread([y["cpu"] / x["cpu"] for x, y in zip(a, b)])))
    if len(servers) < 2:
        return
    print("\nthis build / baseline, per round (CPU per GiB; below 1 is cheaper):")
    for case in cases:
        for state in ("alone", "idle"):
            k1, k2 = ("vantor", state, case), ("baseline", state, case)
            r = [x[k1]["cpu"] / x[k2]["cpu"] for x in got if k1 in x and k2 in x]
            if r:
                print("  %-6s %-5s %s" % (case, state, spread(r)))


# Another part is one more entry: name -> (what it measures, function).
PARTS = {
    "idle": ("20 uploads and 20 downloads, clear and PROT P, alone and beside idle sessions",
             part_idle),
}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--vantor")
    ap.add_argument("--baseline", help="an older vantor-e2e-server, paired round by round")
    ap.add_argument("--work")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--idle", type=int, default=10000, help="idle logged-in sessions")
    ap.add_argument("--mib", type=int, default=50, help="size of each file")
    ap.add_argument("--cases", default=",".join(CASES))
    ap.add_argument("--part", default=",".join(PARTS), help="comma list of " + ", ".join(PARTS))
    ap.add_argument("--hold", nargs=2, type=int, metavar=("PORT", "N"), help=argparse.SUPPRESS)
    global ARGS
    ARGS = ap.parse_args()
    if ARGS.hold:
        hold_main(*ARGS.hold)
        return
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < ARGS.idle + 1000:
        sys.exit("the descriptor limit (%d) is too low for %d idle sessions" % (hard, ARGS.idle))
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    os.makedirs(ARGS.work, exist_ok=True)
    print("load average at the start: %s" % " ".join("%.1f" % x for x in os.getloadavg()))
    for part in ARGS.part.split(","):
        what, fn = PARTS[part]
        print("== %s: %s" % (part, what))
        fn()


ARGS = None
if __name__ == "__main__":
    main()
