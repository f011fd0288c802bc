"""Login benchmark: Vantor against python3-pyftpdlib and vsftpd on loopback.

For each server: logins per second (connect, USER, PASS, QUIT) with one
client and with 50 concurrent clients for 5 seconds each, the server's CPU
time per login, sequential FTPS logins (AUTH TLS first; Vantor only, the
peers run without certificates), then 1000 idle logged-in sessions with the server's PSS
before and after and a NOOP on every session. The servers run at the same
time on their own ports and take turns, three rounds of each mode; the
round with the median rate is reported. All clients log in as the
anonymous user, which every server offers without system accounts.
`--quick` checks that every stage runs: one round of 1 s stretches and 100
idle sessions.
"""
import argparse
import asyncio
import os
import socket
import ssl
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from benchlib import (cpu_seconds, free_port, peer_env, pss_kib, pyftpdlib_cmd,  # noqa: E402
                      stop, summary, turned, vsftpd_conf, wait_port)

ARGS = None
SESSIONS = 1000
SECONDS = 5.0
CONCURRENCY = 50
ROUNDS = 3


class Server:
    def __init__(self, name, cmd, port, env=None):
        self.name, self.port = name, port
        self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     env=env, cwd=ARGS.work)
        if not wait_port(port, 15):
            raise RuntimeError("%s did not start" % name)
        time.sleep(0.3)

    def stop(self):
        stop(self.proc)


def start_vantor(name="vantor", binary=None):
    port = free_port()
    home = os.path.join(ARGS.work, "home")
    os.makedirs(home, exist_ok=True)
    ini = os.path.join(ARGS.work, name + "-login.ini")
    cert, key = os.path.join(ARGS.work, "login-cert.pem"), os.path.join(ARGS.work, "login-key.pem")
    if not os.path.exists(cert):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=bench", "-days", "30",
                        "-keyout", key, "-out", cert], capture_output=True, check=True)
    with open(ini, "w") as f:
        # 50 clients connect at once from one address: the default
        # MaxPreLoginPerIP (10) would refuse the rest with 421 at admission.
        f.write("[GLOBAL]\nPortNr=%d\nLogIPNames=NO\nLogFileIPNames=NO\nMaxPreLoginPerIP=0\n"
                "TLSCertificateFile=%s\nTLSPrivateKeyFile=%s\n"
                "[USER=anonymous]\nHomeDir=%s\n" % (port, cert, key, home))
    srv = Server(name, [binary or ARGS.vantor, "--quiet", ini], port)
    srv.tls = True
    return srv


def start_baseline():
    return start_vantor("baseline", ARGS.baseline)


def start_pyftpdlib():
    port = free_port()
    home = os.path.join(ARGS.work, "home")
    os.makedirs(home, exist_ok=True)
    cmd, env = pyftpdlib_cmd(ARGS.peers, "add_anonymous(%r)" % home, "127.0.0.1", port)
    return Server("pyftpdlib", cmd, port, env=env)


def start_vsftpd():
    port = free_port()
    conf = vsftpd_conf(os.path.join(ARGS.work, "vsftpd-login.conf"), ARGS.work,
                       os.path.join(ARGS.work, "home"), port, 5000)
    return Server("vsftpd", [os.path.join(ARGS.peers, "usr/sbin/vsftpd"), conf], port,
                  env=peer_env(ARGS.peers))


async def reply(reader):
    """One reply (multi-line replies end with "ddd ")."""
    line = await reader.readline()
    if not line:
        raise EOFError("connection closed by the server before a reply")
    if len(line) >= 4 and line[3:4] == b"-":
        code = line[:3] + b" "
        while True:
            line = await reader.readline()
            if not line:
                raise EOFError("connection closed by the server inside reply %r" % code)
            if line.startswith(code):
                break
    return line


async def logged_in(port):
    """A connection logged in as the anonymous user."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    r = await reply(reader)
    if not r.startswith(b"220"):
        raise RuntimeError("connection refused: %r" % r)
    writer.write(b"USER anonymous\r\n")
    r = await reply(reader)
    if r.startswith(b"331"):
        writer.write(b"PASS bench@example.org\r\n")
        r = await reply(reader)
    if not r.startswith(b"230"):
        raise RuntimeError("login refused: %r" % r)
    return reader, writer


async def one_login(port):
    reader, writer = await logged_in(port)
    writer.write(b"QUIT\r\n")
    await reply(reader)
    writer.close()
    return True


async def login_loop(port, workers):
    count = 0
    stop = time.time() + SECONDS

    async def worker():
        nonlocal count
        while time.time() < stop:
            await one_login(port)
            count += 1

    await asyncio.gather(*(worker() for _ in range(workers)))
    return count


async def idle_sessions(port):
    conns = []
    for _ in range(SESSIONS):
        conns.append(await logged_in(port))
    return conns


async def noop_all(conns):
    for _, w in conns:
        w.write(b"NOOP\r\n")
    answered = 0
    for r, _ in conns:
        if (await reply(r)).startswith(b"200"):
            answered += 1
    return answered


TLS_CLIENT = ssl.create_default_context()
TLS_CLIENT.check_hostname = False
TLS_CLIENT.verify_mode = ssl.CERT_NONE


def ftps_login(port):
    """connect, AUTH TLS, USER, PASS, QUIT on one blocking connection."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        f = raw.makefile("rb")
        for send, want in ((None, b"220"), (b"AUTH TLS\r\n", b"234")):
            if send:
                raw.sendall(send)
            if not f.readline().startswith(want):
                raise RuntimeError("no %r" % want)
        with TLS_CLIENT.wrap_socket(raw) as s:
            f = s.makefile("rb")
            for send, want in ((b"USER anonymous\r\n", b"331"), (b"PASS bench@example.org\r\n",
                                b"230"), (b"QUIT\r\n", b"221")):
                s.sendall(send)
                line = f.readline()
                while line[3:4] == b"-":
                    line = f.readline()
                if not line.startswith(want):
                    raise RuntimeError("FTPS login: %r" % line)


def ftps_logins(srv):
    """Sequential FTPS logins per second and server CPU per login."""
    if not getattr(srv, "tls", False):
        return 0.0, 0.0
    pid = srv.proc.pid
    cpu0 = cpu_seconds(pid, reaped=True)
    n, t0 = 0, time.time()
    while time.time() < t0 + SECONDS:
        ftps_login(srv.port)
        n += 1
    dt = time.time() - t0
    time.sleep(0.5)
    return n / dt, (cpu_seconds(pid, reaped=True) - cpu0) / max(n, 1) * 1e6


def logins(srv, workers):
    """Logins per second and server CPU per login over one 5 s stretch."""
    pid = srv.proc.pid
    cpu0 = cpu_seconds(pid, reaped=True)
    t0 = time.time()
    n = asyncio.run(login_loop(srv.port, workers))
    dt = time.time() - t0
    time.sleep(0.5)
    return n / dt, (cpu_seconds(pid, reaped=True) - cpu0) / max(n, 1) * 1e6


def idle(srv):
    pid = srv.proc.pid
    time.sleep(1)
    before = pss_kib(pid)

    async def run():
        conns = await idle_sessions(srv.port)
        await asyncio.sleep(1)
        after = pss_kib(pid)
        answered = await noop_all(conns)
        for _, w in conns:
            w.close()
        return after, answered

    after, answered = asyncio.run(run())
    return {"pss_before": before, "pss_after": after,
            "per_session": (after - before) / SESSIONS, "noop": answered}


def rounds(servers, n, fn):
    """n rounds, every server once per round, the order turning each round
    (a drift in the machine's speed falls on all alike); per server the
    round with the median rate."""
    got = {s.name: [] for s in servers}
    for i in range(n if servers else 0):
        for s in turned(servers, i):
            got[s.name].append(fn(s))
    RAW.append(got)
    return {name: sorted(v)[len(v) // 2] for name, v in got.items() if v}


RAW = []


def paired(label, got):
    """vantor against the baseline, round by round: the median of the
    per-round ratios and their spread."""
    if "baseline" not in got or "vantor" not in got:
        return
    for k, what in ((0, "rate"), (1, "cpu/login")):
        r = [v[k] / b[k] for v, b in zip(got["vantor"], got["baseline"]) if b[k] > 0]
        if r:
            # The upper of the two middle ratios when the rounds are even.
            print("%-6s %-9s vantor/baseline median %.3f (spread %.3f..%.3f, %d rounds)" % (
                (label, what) + summary(r, statistics.median_high) + (len(r),)))


def describe(e):
    """An exception as a line that says something even when its text is
    empty (a bare EOFError or a timeout)."""
    return "%s: %s" % (type(e).__name__, e) if str(e) else type(e).__name__


def main():
    global ARGS, SECONDS, SESSIONS
    p = argparse.ArgumentParser()
    p.add_argument("--vantor", required=True)
    p.add_argument("--peers", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--baseline", help="an older vantor-e2e-server, paired with this one")
    p.add_argument("--rounds", type=int, default=ROUNDS)
    p.add_argument("--servers", default="vantor,pyftpdlib,vsftpd")
    p.add_argument("--quick", action="store_true", help="one round, 1 s stretches, 100 sessions")
    ARGS = p.parse_args()
    if ARGS.quick:
        ARGS.rounds, SECONDS, SESSIONS = 1, 1.0, 100
    rows = []
    servers = []
    starts = [globals()["start_" + n] for n in ARGS.servers.split(",")]
    if ARGS.baseline:
        starts.insert(1, start_baseline)
    for start in starts:
        name = start.__name__[len("start_"):]
        try:
            servers.append(start())
        except Exception as e:  # a peer that cannot run is reported, not fatal
            rows.append((name, {"error": describe(e)}))
    try:
        # All servers run at once and take turns: three rounds of each mode.
        seq = rounds(servers, ARGS.rounds, lambda s: logins(s, 1))
        par = rounds(servers, ARGS.rounds, lambda s: logins(s, CONCURRENCY))
        tls = rounds(servers, ARGS.rounds, ftps_logins)
        for s in servers:
            r = idle(s)
            r["seq"], r["seq_cpu_us"] = seq[s.name]
            r["par"], r["par_cpu_us"] = par[s.name]
            r["tls"], r["tls_cpu_us"] = tls[s.name]
            rows.append((s.name, r))
    except Exception as e:
        rows.append(("run", {"error": describe(e)}))
    finally:
        for s in servers:
            s.stop()
    print("%-10s %10s %10s %12s %12s %9s %9s %10s %6s %9s %12s" % (
        "server", "seq/s", "par50/s", "cpu/login", "cpu/login50", "PSS0 KiB", "PSS1 KiB",
        "KiB/sess", "NOOP", "ftps/s", "cpu/ftps"))
    for name, r in rows:
        if "error" in r:
            print("%-10s error: %s" % (name, r["error"]))
            continue
        tls = ("%9.0f %10.0fus" % (r["tls"], r["tls_cpu_us"])) if r["tls"] else "%9s %12s" % (
            "-", "-")
        print("%-10s %10.0f %10.0f %10.0fus %10.0fus %9d %9d %10.1f %6d %s" % (
            name, r["seq"], r["par"], r["seq_cpu_us"], r["par_cpu_us"], r["pss_before"],
            r["pss_after"], r["per_session"], r["noop"], tls))
    for label, got in zip(("seq", "par50", "ftps"), RAW):
        paired(label, got)


if __name__ == "__main__":
    main()
