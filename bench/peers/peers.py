"""Measures vantor and the peer servers side by side (see run.sh).

Every figure is taken from the client side with curl, except CPU: the
user + system time of the server's whole process tree read from /proc
before and after the transfers. The forking peers run under
../lib/reaper.py, a child subreaper, so that session processes orphaned by
their parent are reaped there and their time is counted (see its header). All servers run at once and take
turns in every round, so a change in the machine's speed during the run
falls on all of them. Ratios are vantor / best peer."""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from benchlib import (cpu_seconds, free_port, peer_env, pyftpdlib_cmd, spread,  # noqa: E402
                      start_each, stop, turned, vsftpd_conf, wait_port)

GiB = 1 << 30
MiB = 1 << 20
REAPER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib", "reaper.py")


def cpu_per_gib(srv):
    """Three RETRs of 1 GiB on one session; CPU of the server's process tree
    sampled after login and before QUIT, while the session process lives."""
    import ftplib
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", srv.port, timeout=120)
    ftp.login(*srv.auth)
    ftp.voidcmd("TYPE I")
    time.sleep(0.2)
    cpu0 = cpu_seconds(srv.proc.pid, reaped=True)
    for _ in range(3):
        ftp.retrbinary("RETR big", lambda b: None, blocksize=1 << 20)
    cpu1 = cpu_seconds(srv.proc.pid, reaped=True)
    ftp.quit()
    return (cpu1 - cpu0) / 3.0


def curl(args, timeout=600):
    r = subprocess.run(["curl", "-s", "-S", "--max-time", str(timeout)] + args,
                       capture_output=True, text=True, timeout=timeout + 10)
    if r.returncode != 0:
        raise RuntimeError("curl %s: %s" % (" ".join(args), r.stderr.strip()))
    return r.stdout


def make_data(data):
    os.makedirs(os.path.join(data, "up"), exist_ok=True)
    os.chmod(data, 0o755)
    os.chmod(os.path.join(data, "up"), 0o777)
    for name, size in (("big", GiB), ("m50", 50 * MiB), ("m10", 10 * MiB), ("m5", 5 * MiB)):
        p = os.path.join(data, name)
        if not os.path.exists(p) or os.path.getsize(p) != size:
            with open(p, "wb") as f:
                chunk = os.urandom(MiB)
                for _ in range(size // MiB):
                    f.write(chunk)
    many = os.path.join(data, "many")
    if not os.path.isdir(many) or len(os.listdir(many)) != 10000:
        shutil.rmtree(many, ignore_errors=True)
        os.makedirs(many)
        for i in range(10000):
            with open(os.path.join(many, "file%05d.txt" % i), "w") as f:
                f.write("x" * (i % 100))
    src = os.path.join(os.path.dirname(data), "upload.src")
    if not os.path.exists(src):
        shutil.copyfile(os.path.join(data, "big"), src)
    return src


class Srv:
    """One server process. `v6` is the one that serves [::1] on the same
    port: the server itself when it listens on both families, else a second
    process of the peer bound to ::1 (see start_v6_twins)."""

    def __init__(self, name, cmd, port, env=None, auth=("bench", "bench"), host="127.0.0.1",
                 tls=False, forks=False):
        self.name, self.port, self.auth, self.v6 = name, port, auth, None
        self.tls = tls
        self.log = open(os.path.join(ARGS.work, name + ".log"), "w")
        if forks:  # proc is then the reaper; its tree holds every session's time
            cmd = [sys.executable, REAPER] + list(cmd)
        self.proc = subprocess.Popen(cmd, stdout=self.log, stderr=subprocess.STDOUT, env=env)
        if not wait_port(port, host=host):
            self.stop()
            raise RuntimeError(name + " did not start (see %s.log)" % name)

    def url(self, path):
        return "ftp://127.0.0.1:%d/%s" % (self.port, path)

    def user(self):
        # Under TLS every curl call asks for it (PROT P included) with the
        # one pinned cipher.
        extra = TLS_CURL if self.tls else []
        return (["-u", "%s:%s" % self.auth] if self.auth else []) + extra

    def stop(self):
        stop(self.proc)


def start_vantor_ini(ini_name, data, global_lines, users, tls=False, name="vantor", binary=None):
    """Vantor with drive C: on `data` and `users`, (name, extra lines) pairs:
    each user's password is its name, its home and whole access C:\\.
    `name` and `binary`: another build measured beside this one (--baseline)."""
    port = free_port()
    lines = ["[GLOBAL]", "PortNr=%d" % port, "EncryptPasswords=no", "MaxPreLoginPerIP=0"]
    lines += list(global_lines) + ["[DRIVES]", "C=" + data]
    for user, extra in users:
        lines += ["[USER=%s]" % user, "Password=" + user, "HomeDir=C:\\",
                  "Access1=C:\\,RWAMDCLP"] + list(extra)
    ini = os.path.join(ARGS.work, ini_name)
    with open(ini, "w") as f:
        f.write("\n".join(lines) + "\n")
    return Srv(name, [binary or ARGS.vantor, "--quiet", ini], port, tls=tls)


def start_vantor(data, name="vantor", binary=None):
    srv = start_vantor_ini(name + ".ini", data, [],
                           [("bench", []), ("slow", ["SpeedLimit=1000000"])], name=name,
                           binary=binary)
    srv.v6 = srv  # one dual-stack listener
    return srv


def start_baseline(data):
    """An older build (--baseline) beside this one: measured like the others,
    never counted as a peer, and paired with vantor round by round."""
    return start_vantor(data, "baseline", ARGS.baseline)


def is_peer(name):
    return name not in ("vantor", "baseline")


# Each peer start takes the address to listen on (127.0.0.1 or ::1) and a
# port; the ::1 one is a second process with files of its own.
# What the anonymous user of vsftpd may do in every case measured here.
VSFTPD_RW = ["write_enable=YES", "anon_upload_enable=YES", "anon_mkdir_write_enable=YES",
             "anon_other_write_enable=YES", "anon_world_readable_only=NO", "pasv_enable=YES",
             "dirlist_enable=YES"]


def start_vsftpd(data, host="127.0.0.1", port=None, extra=(), conf_name=None):
    port = port or free_port()
    v6 = ":" in host
    conf = vsftpd_conf(os.path.join(ARGS.work, conf_name or ("vsftpd6.conf" if v6 else "vsftpd.conf")),
                       ARGS.work, data, port, 500, VSFTPD_RW + list(extra), host)
    return Srv("vsftpd6" if v6 else "vsftpd", [os.path.join(ARGS.peers, "usr/sbin/vsftpd"), conf],
               port, env=peer_env(ARGS.peers), auth=("anonymous", "x"), host=host, forks=True)


def start_pureftpd(data, host="127.0.0.1", port=None, extra=()):
    port = port or free_port()
    sfx = "6" if ":" in host else ""
    passwd = os.path.join(ARGS.work, "pureftpd%s.passwd" % sfx)
    pdb = os.path.join(ARGS.work, "pureftpd%s.pdb" % sfx)
    for p in (passwd, pdb):
        if os.path.exists(p):
            os.remove(p)
    subprocess.run([os.path.join(ARGS.peers, "usr/bin/pure-pw"), "useradd", "bench", "-u", "65534",
                    "-g", "65534", "-d", data, "-f", passwd, "-F", pdb, "-m"],
                   input="bench\nbench\n", text=True, check=True, capture_output=True,
                   env=peer_env(ARGS.peers))
    cmd = [os.path.join(ARGS.peers, "usr/sbin/pure-ftpd"), "-S", "%s,%d" % (host, port),
           "-l", "puredb:" + pdb, "-E", "-H", "-c", "100", "-C", "100", "-u", "100"] + list(extra)
    return Srv("pure-ftpd" + sfx, cmd, port, env=peer_env(ARGS.peers), host=host, forks=True)


def start_proftpd(data, host="127.0.0.1", port=None, extra=()):
    port = port or free_port()
    v6 = ":" in host
    w = os.path.join(ARGS.work, "proftpd6") if v6 else ARGS.work
    os.makedirs(w, exist_ok=True)
    r = subprocess.run(["openssl", "passwd", "-1", "bench"], capture_output=True, text=True,
                       check=True)
    with open(os.path.join(w, "proftpd.passwd"), "w") as f:
        f.write("bench:%s:65534:65534::%s:/bin/sh\n" % (r.stdout.strip(), data))
    os.chmod(os.path.join(w, "proftpd.passwd"), 0o600)
    with open(os.path.join(w, "proftpd.group"), "w") as f:
        f.write("nogroup:x:65534:\n")
    os.chmod(os.path.join(w, "proftpd.group"), 0o600)
    conf = os.path.join(w, "proftpd.conf")
    with open(conf, "w") as f:
        f.write("\n".join([
            "ServerType standalone", "DefaultServer on", "Port %d" % port,
            "DefaultAddress " + host, "UseIPv6 " + ("on" if v6 else "off"),
            # Bound to its own address: the wildcard would take the IPv4 one's port.
            "SocketBindTight " + ("on" if v6 else "off"),
            "User nobody", "Group nogroup",
            "PidFile %s/proftpd.pid" % w, "ScoreboardFile %s/proftpd.scoreboard" % w,
            "DelayTable none", "WtmpLog off", "AuthOrder mod_auth_file.c",
            "AuthUserFile %s/proftpd.passwd" % w, "AuthGroupFile %s/proftpd.group" % w,
            "RequireValidShell off", "AllowOverwrite on", "UseReverseDNS off",
            "MaxInstances 500", "TransferLog none", "ServerLog none"] + list(extra) + [""]))
    cmd = [os.path.join(ARGS.peers, "usr/sbin/proftpd"), "-n", "-q", "-c", conf]
    return Srv("proftpd6" if v6 else "proftpd", cmd, port, env=peer_env(ARGS.peers), host=host,
               forks=True)


def start_pyftpdlib(data, host="127.0.0.1", port=None):
    port = port or free_port()
    cmd, env = pyftpdlib_cmd(ARGS.peers, "add_user('bench', 'bench', %r, perm='elradfmwMT')" % data,
                             host, port)
    return Srv("pyftpdlib6" if ":" in host else "pyftpdlib", cmd, port, env=env, host=host)


# Rates are the file's size over curl's whole time, from connecting to the
# final reply: an upload is done when the server says so, not when the
# last byte left the client.
def retr_once(srv, split=False):
    out = curl(srv.user() + ["-o", "/dev/null", "-w", "%{time_pretransfer} %{time_total}",
                             srv.url("big")]).split()
    pre, total = float(out[0]), float(out[1])
    return (GiB / total, GiB / (total - pre), pre) if split else GiB / total


def stor_once(srv, src, data):
    # Every upload starts with nothing dirty in the page cache: the writeback
    # of the one before would otherwise land on whoever comes next.
    os.sync()
    rate = GiB / float(curl(srv.user() + ["-T", src, "-w", "%{time_total}", srv.url("up/s.bin")]))
    os.remove(os.path.join(data, "up", "s.bin"))
    return rate


def par_once(srv):
    t0 = time.time()
    procs = [subprocess.Popen(["curl", "-s", "-S", "--max-time", "300", "-o", "/dev/null"] +
                              srv.user() + [srv.url("m50")]) for _ in range(20)]
    bad = sum(p.wait() != 0 for p in procs)
    return 20 * 50 * MiB / (time.time() - t0) if bad == 0 else 0.0


def list_twice(srv):
    out = []
    for _ in range(2):
        t0 = time.time()
        text = curl(srv.user() + [srv.url("many/")])
        out.append(time.time() - t0)
        if text.count("\n") < 10000:
            raise RuntimeError("%s: short listing (%d lines)" % (srv.name, text.count("\n")))
    return out


ROUNDS = []


def rounds(servers, n, fn, results, key):
    """n rounds, every server once per round, the order turned each round
    so that drift of the machine's speed falls on all alike; the median."""
    got = {s.name: [] for s in servers}
    for i in range(n if servers else 0):
        for s in turned(servers, i):
            try:
                got[s.name].append(fn(s))
            except Exception as e:
                print("%-10s %s failed: %s" % (s.name, key, e))
    for name, values in got.items():
        if values:
            results.setdefault(name, {})[key] = statistics.median(values)
            # Every round, so a single bad one can be told from a trend.
            scale = 1e-6 if key in ("retr", "stor", "par") else 1.0
            ROUNDS.append("%-6s %-10s %s" % (key, name, " ".join("%.4g" % (v * scale) for v in values)))


def speed_limit(srv):
    """Bytes per second seen by a client of the user with SpeedLimit=1000000
    over the 10 seconds after the first one (the first second carries the
    budget that was already there when the transfer began)."""
    import ftplib
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", srv.port, timeout=30)
    ftp.login("slow", "slow")
    ftp.voidcmd("TYPE I")
    conn = ftp.transfercmd("RETR big")
    t0 = time.time()
    got = 0
    marks = {}
    while True:
        data = conn.recv(65536)
        if not data:
            break
        got += len(data)
        t = time.time() - t0
        for k in (1.0, 11.0):
            if t >= k and k not in marks:
                marks[k] = got
        if t >= 11.0:
            break
    conn.close()
    try:
        ftp.abort()
        ftp.close()
    except (ftplib.Error, OSError):
        pass
    return (marks.get(11.0, got) - marks.get(1.0, 0)) / 10.0, 10.0


# --- many transfers at once ---------------------------------------------------
# One curl process drives every connection of a case, as a download manager
# or a mirror script would; the servers take turns within every round, and a
# round's ratio compares vantor with the best peer of that same round, so a
# change in the machine's load falls on both sides of each ratio.
PAR_CASES = {
    # name: (connections, upload?, file)
    "dl20": (20, False, "m50"),
    "dl200": (200, False, "m10"),
    "ul20": (20, True, "m50"),
    "ul200": (200, True, "m5"),
}
# pure-ftpd serves 20 parallel downloads at about 40 MB/s here: 200 would
# take minutes a round and it never is the best peer. vsftpd resets 50 to
# 110 of 200 connections opened at once, so it sits out those cases.
PAR_SKIP = ("pure-ftpd",)
PAR_SKIP_200 = ("vsftpd",)


def par_curl(srv, n, up, name):
    """n transfers of data/`name` at once by one curl process; the
    aggregate rate (bytes over the process's wall time), every client's own
    rate, and the server's CPU seconds per GiB moved."""
    data = os.path.join(ARGS.work, "data")
    size = os.path.getsize(os.path.join(data, name))
    args = ["curl", "-s", "-S", "--no-progress-meter", "--max-time", "600", "--parallel", "--parallel-immediate",
            "--parallel-max", str(n), "-w", "%{size_download} %{size_upload} %{time_total}\\n"]
    args += srv.user()
    for i in range(n):
        if up:
            args += ["-T", os.path.join(data, name), srv.url("up/p%d" % i)]
        else:
            args += ["-o", "/dev/null", srv.url(name)]
    if up:
        os.sync()
    cpu0 = cpu_seconds(srv.proc.pid, reaped=True)
    t0 = time.monotonic()
    r = subprocess.run(args, capture_output=True, text=True, timeout=660)
    wall = time.monotonic() - t0
    cpu1 = cpu_seconds(srv.proc.pid, reaped=True)
    if up:
        for i in range(n):
            try:
                os.remove(os.path.join(data, "up", "p%d" % i))
            except OSError:
                pass
    rates = []
    for line in r.stdout.split("\n"):
        f = line.split()
        if len(f) == 3 and int(f[1 if up else 0]) == size:
            rates.append(size / float(f[2]))
    if r.returncode != 0 or len(rates) != n:
        raise RuntimeError("%d of %d transfers complete: %s" % (len(rates), n, r.stderr.strip()[:200]))
    return {"aggr": n * size / wall, "slow": min(rates), "mean": statistics.mean(rates),
            "cpu": (cpu1 - cpu0) / (n * size / GiB)}


def parallel(servers, cases, n_rounds):
    """Prints, per case, every server's median figures and the per-round
    ratios vantor / best peer as median [lowest..highest]."""
    servers = [s for s in servers if s.name not in PAR_SKIP]
    lines = []
    for case in cases:
        n, up, name = PAR_CASES[case]
        these = [s for s in servers if n < 200 or s.name not in PAR_SKIP_200]
        got = []  # one dict name -> figures per round
        for i in range(n_rounds):
            rnd = {}
            for s in turned(these, i):
                try:
                    rnd[s.name] = par_curl(s, n, up, name)
                except Exception as e:
                    print("%-10s %s failed: %s" % (s.name, case, e))
            got.append(rnd)
        print("%-6s %-10s %10s %10s %10s %10s %10s" % (case, "server", "aggr MB/s", "slow MB/s",
                                                      "mean MB/s", "slow/mean", "CPU s/GiB"))
        for s in these:
            rs = [g[s.name] for g in got if s.name in g]
            if not rs:
                continue
            med = lambda k: statistics.median(r[k] for r in rs)
            print("%-6s %-10s %10.0f %10.1f %10.1f %10.2f %10.3f" % (
                case, s.name, med("aggr") / 1e6, med("slow") / 1e6, med("mean") / 1e6,
                statistics.median(r["slow"] / r["mean"] for r in rs), med("cpu")))
            lines.append("%-6s %-10s aggr %s" % (case, s.name, " ".join(
                "%.0f" % (r["aggr"] / 1e6) for r in rs)))
            lines.append("%-6s %-10s slow %s" % (case, s.name, " ".join(
                "%.1f" % (r["slow"] / 1e6) for r in rs)))
        ratio = {"aggr": [], "slow": [], "cpu": []}
        for g in got:
            peers = [v for k, v in g.items() if is_peer(k)]
            if "vantor" not in g or not peers:
                continue
            v = g["vantor"]
            ratio["aggr"].append(v["aggr"] / max(p["aggr"] for p in peers))
            ratio["slow"].append(v["slow"] / max(p["slow"] for p in peers))
            ratio["cpu"].append(v["cpu"] / min(p["cpu"] for p in peers))
        if ratio["aggr"]:
            print("%-6s vantor / best peer, median [spread] of %d rounds: aggregate %s  slowest %s"
                  "  CPU %s" % (case, len(ratio["aggr"]), spread(ratio["aggr"]),
                                spread(ratio["slow"]), spread(ratio["cpu"])))
        paired(case, got, ("aggr", "slow", "cpu"))
    print("every round (MB/s):")
    for line in lines:
        print("  " + line)


def paired(label, got, keys):
    """vantor / baseline per round for each figure in `keys`: the median of
    the per-round ratios [lowest..highest]. `got` holds one dict per round,
    server name -> figures."""
    pairs = [(g["vantor"], g["baseline"]) for g in got if "vantor" in g and "baseline" in g]
    if pairs:
        print("%-6s vantor / baseline, median [lowest..highest] of %d rounds: %s" % (
            label, len(pairs), "  ".join("%s %s" % (k, spread([v[k] / b[k] if b[k] else float("nan")
                                                       for v, b in pairs]))
                                         for k in keys)))


def quick_round(srv, src, data):
    """One round's figures of one server: RETR of 1 GiB with the server's
    CPU seconds for it, STOR of 1 GiB with the server's CPU seconds for it,
    20 downloads of 50 MiB at once and the second LIST of 10,000 files."""
    cpu0 = cpu_seconds(srv.proc.pid, reaped=True)
    # retrx: the same download timed from the RETR on. curl 7.88 sometimes
    # sleeps 200 ms before it connects the data connection, when the EPSV
    # reply is in before it first looks (bench/README.md); pre is that time.
    retr, retrx, pre = retr_once(srv, split=True)
    time.sleep(0.3)  # a forked session process ends and is reaped
    cpu = cpu_seconds(srv.proc.pid, reaped=True) - cpu0
    par = par_once(srv)
    if par == 0:
        raise RuntimeError("20 downloads: a transfer failed")
    cpu0 = cpu_seconds(srv.proc.pid, reaped=True)
    stor = stor_once(srv, src, data)
    time.sleep(0.3)
    scpu = cpu_seconds(srv.proc.pid, reaped=True) - cpu0
    return {"retr": retr, "retrx": retrx, "pre": pre, "cpu": cpu, "stor": stor, "scpu": scpu,
            "par": par, "list2": list_twice(srv)[1]}


def quick(servers, n_rounds, src, data):
    """The main figures in paired rounds (the servers take turns, the order
    turned each round): per server the medians; per round vantor / best
    peer and, with --baseline, vantor / baseline."""
    for s in servers:
        retr_once(s)  # warm caches for whoever goes first
    got = []
    for i in range(n_rounds):
        rnd = {}
        for s in servers[i % len(servers):] + servers[:i % len(servers)]:
            try:
                rnd[s.name] = quick_round(s, src, data)
            except Exception as e:
                print("%-10s round %d failed: %s" % (s.name, i, e))
        got.append(rnd)
        print("round %d: %s" % (i, "  ".join(
            "%s RETR %.0f (from RETR %.0f, %.0f ms before it) STOR %.0f 20xDL %.0f MB/s "
            "CPU %.2f STOR CPU %.2f s/GiB LIST2 %.3f s"
            % (k, v["retr"] / 1e6, v["retrx"] / 1e6, v["pre"] * 1e3, v["stor"] / 1e6,
               v["par"] / 1e6, v["cpu"], v["scpu"], v["list2"])
            for k, v in rnd.items())))
    print("medians of %d rounds (load average %s):" % (n_rounds, os.getloadavg()))
    print("%-10s %10s %10s %10s %11s %10s %10s %9s" % (
        "server", "RETR MB/s", "from RETR", "STOR MB/s", "20xDL MB/s", "CPU s/GiB", "STOR CPU",
        "LIST2 s"))
    for s in servers:
        rs = [g[s.name] for g in got if s.name in g]
        if rs:
            med = lambda k: statistics.median(r[k] for r in rs)
            print("%-10s %10.0f %10.0f %10.0f %11.0f %10.3f %10.3f %9.3f" % (
                s.name, med("retr") / 1e6, med("retrx") / 1e6, med("stor") / 1e6,
                med("par") / 1e6, med("cpu"), med("scpu"), med("list2")))
    low = ("cpu", "scpu", "list2")  # smaller is better
    to_peer = {k: [] for k in ("retr", "retrx", "stor", "par", "cpu", "scpu", "list2")}
    for g in got:
        peers = [v for k, v in g.items() if is_peer(k)]
        if "vantor" in g and peers:
            for k in to_peer:
                best = (min if k in low else max)(p[k] for p in peers)
                # A forking peer whose session process was not seen reads 0.
                if best > 0:
                    to_peer[k].append(g["vantor"][k] / best)
    if to_peer["retr"]:
        print("vantor / best peer, median [lowest..highest] of %d rounds: %s" % (
            len(to_peer["retr"]),
            "  ".join("%s %s" % (k, spread(v)) for k, v in to_peer.items() if v)))
    paired("quick", got, ("retr", "retrx", "stor", "par", "cpu", "scpu", "list2"))


# --- address families and passive commands -------------------------------
# RETR and STOR of the 1 GiB file three ways: IPv4 with PASV, IPv4 with EPSV
# and IPv6 ([::1]) with EPSV, for vantor and every peer (each peer also
# serves ::1, from a second process where it takes one address family per
# process). In each round every server runs the three ways back to back in a
# turned order. Figures: per server, the median over rounds of each way's
# ratio to its own IPv4 PASV of the same round; and vantor's IPv6 EPSV rate
# over the best peer's IPv6 EPSV rate of the same round. Each with its spread.
FAMILY_WAYS = (("v4-pasv", "127.0.0.1", ["--disable-epsv"]),
               ("v4-epsv", "127.0.0.1", []),
               ("v6-epsv", "[::1]", []))

# The starts that take an address, for the peers' ::1 processes.
V6_STARTS = {"vsftpd": lambda d, p: start_vsftpd(d, "::1", p),
             "pure-ftpd": lambda d, p: start_pureftpd(d, "::1", p),
             "proftpd": lambda d, p: start_proftpd(d, "::1", p),
             "pyftpdlib": lambda d, p: start_pyftpdlib(d, "::1", p)}


def start_v6_twins(servers, data):
    """Gives every peer its ::1 process on the peer's own port number."""
    for s in servers:
        if s.v6 is None and s.name in V6_STARTS:
            try:
                s.v6 = V6_STARTS[s.name](data, s.port)
            except Exception as e:
                print("%-10s not measured over IPv6: %s" % (s.name, e))


def family_once(srv, host, extra, up, src, data):
    url = "ftp://%s:%d/%s" % (host, srv.port, "up/s.bin" if up else "big")
    if up:
        os.sync()
        secs = float(curl(srv.user() + extra + ["-T", src, "-w", "%{time_total}", url]))
        os.remove(os.path.join(data, "up", "s.bin"))
    else:
        secs = float(curl(srv.user() + extra + ["-o", "/dev/null", "-w", "%{time_total}", url]))
    return GiB / secs


def families(servers, n_rounds, src, data):
    servers = [s for s in servers if s.v6 is not None]
    print("address families (%d paired rounds; ratio to the server's own IPv4 PASV):" % n_rounds)
    for up in (False, True):
        op = "STOR" if up else "RETR"
        rates = {(s.name, w): [] for s in servers for w, _, _ in FAMILY_WAYS}
        ratios = {(s.name, w): [] for s in servers for w, _, _ in FAMILY_WAYS}
        to_peer = []
        for i in range(n_rounds):
            got = {}
            for k, s in enumerate(servers):
                turn = (i + k) % 3
                for name, host, extra in FAMILY_WAYS[turn:] + FAMILY_WAYS[:turn]:
                    try:
                        got[s.name, name] = family_once(s, host, extra, up, src, data)
                    except Exception as e:
                        print("  %s %s %s failed: %s" % (s.name, op, name, e))
            for s in servers:
                base = got.get((s.name, "v4-pasv"))
                for name, _, _ in FAMILY_WAYS:
                    if (s.name, name) in got and base:
                        rates[s.name, name].append(got[s.name, name])
                        ratios[s.name, name].append(got[s.name, name] / base)
            peers6 = [r for (n, w), r in got.items() if is_peer(n) and w == "v6-epsv"]
            if ("vantor", "v6-epsv") in got and peers6:
                to_peer.append(got["vantor", "v6-epsv"] / max(peers6))
        for s in servers:
            for name, _, _ in FAMILY_WAYS:
                if rates[s.name, name]:
                    print("  %-4s %-10s %-8s %6.0f MB/s  ratio %s" % (
                        op, s.name, name, statistics.median(rates[s.name, name]) / 1e6,
                        spread(ratios[s.name, name])))
        if to_peer:
            print("  %-4s vantor v6-epsv / best peer v6-epsv: %s" % (op, spread(to_peer)))


def stop_all(servers):
    for s in servers:
        if s.v6 is not None and s.v6 is not s:
            s.v6.stop()
        s.stop()

# --- FTPS ---------------------------------------------------------------------
# The same certificate (EC P-256, self-signed) and the same cipher for every
# server: TLS_AES_128_GCM_SHA256 under TLS 1.3, ECDHE-ECDSA-AES128-GCM-SHA256
# under 1.2, pinned in each server where it has a setting and always in the
# client (curl's flags, and an OpenSSL configuration for every client
# process, so a peer without a 1.3 setting still gets the one suite).
TLS_SUITE = "TLS_AES_128_GCM_SHA256"
TLS_CIPHER = "ECDHE-ECDSA-AES128-GCM-SHA256"
TLS_CURL = ["--ssl-reqd", "-k", "--tls13-ciphers", TLS_SUITE, "--ciphers", TLS_CIPHER]


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
    conf = os.path.join(d, "client.cnf")
    with open(conf, "w") as f:
        f.write("openssl_conf = c\n[c]\nssl_conf = s\n[s]\nsystem_default = d\n"
                "[d]\nCiphersuites = %s\nCipherString = %s\n" % (TLS_SUITE, TLS_CIPHER))
    os.environ["OPENSSL_CONF"] = conf  # inherited by curl and the login clients
    return cert, key


def start_vantor_tls(data, cert, key, name="vantor", binary=None):
    return start_vantor_ini(name + "-tls.ini", data, [
        "TLSCertificateFile=" + cert, "TLSPrivateKeyFile=" + key, "TLSCipherList=" + TLS_CIPHER,
        "TLSCipherSuites=" + TLS_SUITE], [("bench", ["RequireTLS=1"])], tls=True, name=name,
                            binary=binary)


def start_baseline_tls(data, cert, key):
    """--baseline under --tls-only: the older build with the same TLS setup."""
    return start_vantor_tls(data, cert, key, "baseline", ARGS.baseline)


def start_vsftpd_tls(data, cert, key):
    srv = start_vsftpd(data, conf_name="vsftpd-tls.conf", extra=[
        "ssl_enable=YES", "allow_anon_ssl=YES", "force_anon_logins_ssl=YES",
        "force_anon_data_ssl=YES", "rsa_cert_file=" + cert, "rsa_private_key_file=" + key,
        "ssl_ciphers=" + TLS_CIPHER, "ssl_sslv2=NO", "ssl_sslv3=NO", "ssl_tlsv1=YES"])
    srv.tls = True
    return srv


def start_pureftpd_tls(data, cert, key):
    srv = start_pureftpd(data, extra=["-Y", "2", "-2", "%s,%s" % (cert, key), "-J", TLS_CIPHER])
    srv.tls = True
    return srv


def start_proftpd_tls(data, cert, key):
    srv = start_proftpd(data, extra=[
        "ModulePath " + os.path.join(ARGS.peers, "usr/lib/proftpd"), "LoadModule mod_tls.c",
        "TLSEngine on", "TLSRequired on", "TLSProtocol TLSv1.2 TLSv1.3",
        "TLSECCertificateFile " + cert, "TLSECCertificateKeyFile " + key,
        "TLSCipherSuite " + TLS_CIPHER, "TLSSessionTickets on", "TLSVerifyClient off",
        "TLSLog none"])
    srv.tls = True
    return srv


def tls_retr(srv):
    """RETR of 1 GiB under PROT P: the rate, and the server's CPU seconds
    (process tree, reaped session processes included) for it."""
    cpu0 = cpu_seconds(srv.proc.pid, reaped=True)
    rate, from_retr, pre = retr_once(srv, split=True)
    time.sleep(0.3)  # a forked session process ends and is reaped
    return rate, from_retr, pre, cpu_seconds(srv.proc.pid, reaped=True) - cpu0


LOGIN_CLIENT = r"""
import socket, ssl, sys, time
port, user, password, secs = int(sys.argv[1]), sys.argv[2], sys.argv[3], float(sys.argv[4])
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE
def reply(f):
    while True:
        line = f.readline()
        if not line:
            raise EOFError
        if line[3:4] == b" ":
            return line
session, n, reused, end = None, 0, 0, time.time() + secs
while time.time() < end:
    raw = socket.create_connection(("127.0.0.1", port))
    reply(raw.makefile("rb"))
    raw.sendall(b"AUTH TLS\r\n")
    if not reply(raw.makefile("rb")).startswith(b"234"):
        raise SystemExit("AUTH refused")
    s = ctx.wrap_socket(raw, session=session)
    f = s.makefile("rb")
    s.sendall(b"USER " + user.encode() + b"\r\n")
    reply(f)
    s.sendall(b"PASS " + password.encode() + b"\r\n")
    if not reply(f).startswith(b"230"):
        raise SystemExit("login refused")
    reused += s.session_reused
    session = s.session
    s.sendall(b"QUIT\r\n")
    reply(f)
    s.close()
    n += 1
print(n, reused)
"""


def tls_logins(srv, secs, clients=2):
    """Logins per second (connect, AUTH TLS, handshake resuming the previous
    login's session, USER, PASS, QUIT) by `clients` processes at once, and
    the share of handshakes that resumed."""
    procs = [subprocess.Popen([sys.executable, "-c", LOGIN_CLIENT, str(srv.port), srv.auth[0],
                               srv.auth[1], str(secs)], stdout=subprocess.PIPE, text=True)
             for _ in range(clients)]
    n = reused = 0
    for p in procs:
        out, _ = p.communicate(timeout=secs + 60)
        if p.returncode != 0:
            raise RuntimeError("login client failed")
        a, b = out.split()
        n, reused = n + int(a), reused + int(b)
    return n / secs, reused / max(n, 1)


def tls_bench(data, src, n_rounds, login_secs):
    cert, key = tls_files()
    servers = start_each((("vantor", start_vantor_tls), ("vsftpd", start_vsftpd_tls),
                          ("pure-ftpd", start_pureftpd_tls), ("proftpd", start_proftpd_tls)),
                         ARGS.servers, data, cert, key)
    if ARGS.baseline:  # whatever --servers names
        servers[1:1] = start_each((("baseline", start_baseline_tls),), "", data, cert, key)
    try:
        for s in servers:
            try:
                retr_once(s)  # warm caches; also proves the server speaks TLS
            except Exception as e:
                print("%-10s FTPS failed, left out: %s" % (s.name, e))
                s.broken = True
        servers = [s for s in servers if not getattr(s, "broken", False)]
        got = []  # per round: name -> figures
        for i in range(n_rounds):
            rnd = {}
            for s in turned(servers, i):
                try:
                    # curl waits 0.2 to 1.4 s of its own before a PROT P
                    # RETR (bench/README.md): retrx leaves that out.
                    rate, retrx, pre, cpu = tls_retr(s)
                    f = {"retr": rate, "retrx": retrx, "pre": pre, "cpu": cpu}
                    f["stor"] = stor_once(s, src, data)
                    # 20 curl processes: curl's --parallel shares one TLS
                    # session cache among its transfers, so a data connection
                    # would offer another control connection's session.
                    f["par"] = par_once(s)
                    if f["par"] == 0:
                        raise RuntimeError("20 downloads: a transfer failed")
                    f["login"], f["resumed"] = tls_logins(s, login_secs)
                    rnd[s.name] = f
                except Exception as e:
                    print("%-10s FTPS round %d failed: %s" % (s.name, i, e))
            got.append(rnd)
            print("round %d: %s" % (i, "  ".join(
                "%s RETR %.0f (from RETR %.0f, %.0f ms before it) STOR %.0f 20xDL %.0f MB/s "
                "CPU %.2f s/GiB logins %.0f/s (%.0f%% resumed)"
                % (k, v["retr"] / 1e6, v["retrx"] / 1e6, v["pre"] * 1e3, v["stor"] / 1e6,
                   v["par"] / 1e6, v["cpu"], v["login"], 100 * v["resumed"])
                for k, v in rnd.items())))
    finally:
        for s in servers:
            s.stop()
    print("FTPS medians (%d rounds; load average %s):" % (n_rounds, os.getloadavg()))
    print("%-10s %10s %10s %10s %11s %10s %10s %9s" % (
        "server", "RETR MB/s", "from RETR", "STOR MB/s", "20xDL MB/s", "CPU s/GiB", "logins/s",
        "resumed"))
    for s in servers:
        rs = [g[s.name] for g in got if s.name in g]
        if rs:
            med = lambda k: statistics.median(r[k] for r in rs)
            print("%-10s %10.0f %10.0f %10.0f %11.0f %10.3f %10.0f %8.0f%%" % (
                s.name, med("retr") / 1e6, med("retrx") / 1e6, med("stor") / 1e6,
                med("par") / 1e6, med("cpu"), med("login"), 100 * med("resumed")))
    ratios = {k: [] for k in ("retr", "retrx", "stor", "par", "cpu", "login")}
    for g in got:
        peers = [v for k, v in g.items() if is_peer(k)]
        if "vantor" not in g or not peers:
            continue
        v = g["vantor"]
        for k in ratios:
            best = min(p[k] for p in peers) if k == "cpu" else max(p[k] for p in peers)
            ratios[k].append(v[k] / best)
    if ratios["retr"]:
        print("vantor / best peer per round, median [lowest..highest] of %d: RETR %s  "
              "from RETR %s  STOR %s  20xDL %s  CPU %s  logins %s" % (
                  len(ratios["retr"]), spread(ratios["retr"]), spread(ratios["retrx"]),
                  spread(ratios["stor"]), spread(ratios["par"]), spread(ratios["cpu"]),
                  spread(ratios["login"])))
    paired("FTPS", got, ("retr", "retrx", "stor", "par", "cpu", "login"))


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))


def idle_tls_sessions(srv, n):
    """Logs n sessions in under TLS and leaves them idle; the server's RSS
    growth per session in KiB. The sessions are closed afterwards."""
    import socket
    import ssl
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE

    def reply(f):
        while True:
            line = f.readline()
            if line[3:4] == b" " or not line:
                return line
    time.sleep(0.5)
    rss0 = rss_kib(srv.proc.pid)
    held = []
    try:
        for _ in range(n):
            raw = socket.create_connection(("127.0.0.1", srv.port), timeout=30)
            reply(raw.makefile("rb"))
            raw.sendall(b"AUTH TLS\r\n")
            reply(raw.makefile("rb"))
            s = ctx.wrap_socket(raw)
            f = s.makefile("rb")
            s.sendall(b"USER bench\r\nPASS bench\r\n")
            reply(f)
            if not reply(f).startswith(b"230"):
                raise RuntimeError("login refused")
            held.append(s)
        time.sleep(1.0)
        return (rss_kib(srv.proc.pid) - rss0) / float(n)
    finally:
        for s in held:
            s.close()


def tls_memory(data, n_rounds, sessions=500):
    """Vantor as built (record buffers kept) and as built with
    VANTOR_TLS_RELEASE_BUFFERS=ON: RSS per idle logged-in TLS session, and
    RETR of 1 GiB under PROT P in paired rounds (ratio released / kept)."""
    cert, key = tls_files()
    builds = (("released", ARGS.vantor_release), ("kept", ARGS.vantor))
    mem = {name: [] for name, _ in builds}
    ratios = []
    for i in range(n_rounds):
        rates = {}
        for name, binary in (builds if i % 2 == 0 else builds[::-1]):
            ARGS.vantor = binary
            srv = start_vantor_tls(data, cert, key)
            try:
                if i == 0 or len(mem[name]) < 2:
                    mem[name].append(idle_tls_sessions(srv, sessions))
                retr_once(srv)
                rates[name] = retr_once(srv)
            finally:
                srv.stop()
        ratios.append(rates["released"] / rates["kept"])
        print("round %d: RETR released %.0f kept %.0f MB/s" % (i, rates["released"] / 1e6,
                                                               rates["kept"] / 1e6))
    ARGS.vantor = builds[1][1]
    for name, _ in builds:
        print("%-9s RSS per idle TLS session (%d sessions): %s KiB" % (
            name, sessions, " ".join("%.1f" % m for m in mem[name])))
    print("RETR released / kept, median [lowest..highest] of %d rounds: %s; load %s" % (
        len(ratios), spread(ratios), os.getloadavg()))



def main():
    data = os.path.join(ARGS.work, "data")
    src = make_data(data)
    if ARGS.tls_memory:
        tls_memory(os.path.realpath(data), ARGS.rounds)
        return
    if ARGS.tls_only:
        tls_bench(data, src, ARGS.rounds if not ARGS.quick else 3, 2.0 if ARGS.quick else 5.0)
        return
    results = {}
    servers = start_each((("vantor", start_vantor), ("vsftpd", start_vsftpd),
                          ("pure-ftpd", start_pureftpd), ("proftpd", start_proftpd),
                          ("pyftpdlib", start_pyftpdlib)), ARGS.servers, data)
    if ARGS.baseline:  # whatever --servers names
        servers[1:1] = start_each((("baseline", start_baseline),), "", data)
    if ARGS.families_only:
        try:
            start_v6_twins(servers, data)
            families(servers, ARGS.rounds, src, data)
        finally:
            stop_all(servers)
        return
    if ARGS.quick:
        try:
            quick(servers, ARGS.rounds, src, data)
        finally:
            stop_all(servers)
        return
    if ARGS.parallel_only:
        try:
            parallel(servers, ARGS.cases.split(","), ARGS.rounds)
        finally:
            for s in servers:
                s.stop()
        return
    try:
        # One untimed download each first: whoever went first in the first
        # round would otherwise pay for cold caches alone.
        for s in servers:
            try:
                retr_once(s)
            except Exception as e:
                print("%-10s warm-up failed: %s" % (s.name, e))
        # All servers run side by side and take turns, figure by figure.
        rounds(servers, 3, retr_once, results, "retr")
        rounds(servers, 1, cpu_per_gib, results, "cpu")
        rounds(servers, 5, lambda s: stor_once(s, src, data), results, "stor")
        rounds(servers, 3, par_once, results, "par")
        for s in servers:
            try:
                results.setdefault(s.name, {})["list1"], results[s.name]["list2"] = list_twice(s)
            except Exception as e:
                print("%-10s LIST failed: %s" % (s.name, e))
        for s in servers:
            if s.name == "vantor":
                results[s.name]["limit"] = speed_limit(s)
        parallel(servers, ARGS.cases.split(","), ARGS.rounds)
        start_v6_twins(servers, data)
        families(servers, ARGS.rounds, src, data)
    finally:
        stop_all(servers)
    keys = ("retr", "stor", "par", "cpu", "list1", "list2")
    results = {k: v for k, v in results.items() if all(x in v for x in keys)}
    print("%-10s %12s %12s %12s %10s %9s %9s" % ("server", "RETR MB/s", "STOR MB/s",
                                                 "20xDL MB/s", "CPU s/GiB", "LIST1 s", "LIST2 s"))
    for name, r in results.items():
        print("%-10s %12.0f %12.0f %12.0f %10.3f %9.3f %9.3f" % (
            name, r["retr"] / 1e6, r["stor"] / 1e6, r["par"] / 1e6, r["cpu"], r["list1"], r["list2"]))
    peers = {k: v for k, v in results.items() if is_peer(k)}
    if "vantor" in results and peers:
        v = results["vantor"]
        best = lambda key, low=False: (min if low else max)(p[key] for p in peers.values())
        print("ratios to the best peer: RETR %.2f  STOR %.2f  20xDL %.2f  CPU %.2f  LIST2 %.2f" % (
            v["retr"] / best("retr"), v["stor"] / best("stor"), v["par"] / best("par"),
            v["cpu"] / best("cpu", True), v["list2"] / best("list2", True)))
    if "vantor" in results and "limit" in results["vantor"]:
        rate, secs = results["vantor"]["limit"]
        print("SpeedLimit=1000000: %.0f bytes/s over %.1f s (%.1f%% off)" % (
            rate, secs, 100.0 * (rate - 1e6) / 1e6))
    print("every round (MB/s for transfers, CPU s/GiB):")
    for line in ROUNDS:
        print("  " + line)


ap = argparse.ArgumentParser()
ap.add_argument("--vantor", required=True)
ap.add_argument("--peers", required=True)
ap.add_argument("--work", required=True)
ap.add_argument("--servers", default="", help="comma-separated names; default all")
ap.add_argument("--parallel-only", action="store_true",
                help="only the cases of many transfers at once")
ap.add_argument("--families-only", action="store_true",
                help="only IPv4 (PASV, EPSV) and IPv6 (EPSV), every server")
ap.add_argument("--tls-only", action="store_true",
                help="only FTPS: RETR, STOR, 20 downloads, CPU per GiB, TLS logins per second")
ap.add_argument("--tls-memory", action="store_true",
                help="RSS per idle TLS session and RETR, as built and with --vantor-release")
ap.add_argument("--vantor-release", help="e2e server built with VANTOR_TLS_RELEASE_BUFFERS=ON")
ap.add_argument("--quick", action="store_true",
                help="RETR, STOR, 20 downloads, CPU and LIST in --rounds paired rounds; "
                     "with --tls-only: 3 rounds, 2 s of logins")
ap.add_argument("--baseline", help="an older vantor-e2e-server, paired with this one round by "
                                   "round")
ap.add_argument("--cases", default=",".join(PAR_CASES), help="of " + ",".join(PAR_CASES))
ap.add_argument("--rounds", type=int, default=5, help="rounds of the parallel cases")
ARGS = ap.parse_args()
ARGS.work = os.path.abspath(ARGS.work)
main()
