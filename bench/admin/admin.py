#!/usr/bin/env python3
"""The administration endpoint's cost to FTP sessions, and its answer time.

Paired rounds, their order turned each round: 50 sessions send NOOP in turn
(round trips timed) beside --idle connected sessions and 100 logins a second,
once without and once with the administration load (5 pollers of GET
/v1/sessions at 10 Hz, one follower of GET /v1/log, whose lines the logins
make). The logins run in both halves: they are FTP work, the condition the
administration load is measured under, not part of it. Printed: p99 of each round,
the median of the per-round ratios (loaded / quiet) with its spread, then
the answer time of GET /v1/sessions with --big sessions connected and the
longest NOOP round trip of one session while those answers are made (how
long the loop stood still for them)."""
import argparse
import ftplib
import multiprocessing
import os
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from benchlib import free_port, spread, stop, summary, turned, wait_port  # noqa: E402


def unix_get(path, url, timeout=30):
    """One GET over the Unix socket; (status line, seconds)."""
    t0 = time.perf_counter()
    s = socket.socket(socket.AF_UNIX)
    s.settimeout(timeout)
    s.connect(path)
    s.sendall(("GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" % url).encode())
    data = b""
    while True:
        chunk = s.recv(1 << 20)
        if not chunk:
            break
        data += chunk
    s.close()
    return data.split(b"\r\n", 1)[0], time.perf_counter() - t0


def connect_many(port, n):
    socks = []
    for _ in range(n):
        s = socket.create_connection(("127.0.0.1", port), timeout=30)
        socks.append(s)
    for s in socks:  # the greeting of each
        s.recv(4096)
    return socks


def noop_round(port, seconds):
    """Round trips of 50 sessions sending NOOP one after the other."""
    clients = []
    for _ in range(50):
        f = ftplib.FTP()
        f.connect("127.0.0.1", port, timeout=30)
        clients.append(f)
    times = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for f in clients:
            t0 = time.perf_counter()
            f.voidcmd("NOOP")
            times.append(time.perf_counter() - t0)
    for f in clients:
        f.close()
    return times


def admin_load(port, sock, stop_at, admin=True):
    """Starts the load threads; they end by themselves at `stop_at`. Without
    `admin` only the logins run."""
    threads = []

    def poll():
        while time.monotonic() < stop_at:
            unix_get(sock, "/v1/sessions")
            time.sleep(0.1)

    def follow():
        s = socket.socket(socket.AF_UNIX)
        s.connect(sock)
        s.settimeout(1)
        s.sendall(b"GET /v1/log HTTP/1.1\r\nHost: x\r\n\r\n")
        while time.monotonic() < stop_at:
            try:
                s.recv(65536)
            except socket.timeout:
                pass
        s.close()

    def logins():
        n = 0
        start = time.monotonic()
        while time.monotonic() < stop_at:
            f = ftplib.FTP()
            f.connect("127.0.0.1", port, timeout=30)
            f.login("joe", "secret")
            f.close()
            n += 1
            ahead = start + n / 100.0 - time.monotonic()
            if ahead > 0:
                time.sleep(ahead)

    for fn in ([poll] * 5 + [follow] if admin else []) + [logins]:
        t = threading.Thread(target=fn, daemon=True)
        t.start()
        threads.append(t)
    return threads


def run_load(port, sock, seconds, admin):
    for t in admin_load(port, sock, time.monotonic() + seconds, admin):
        t.join()


def p99(values):
    return statistics.quantiles(values, n=100)[98]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--vantor", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--idle", type=int, default=1000)
    ap.add_argument("--big", type=int, default=10000)
    ap.add_argument("--rounds", type=int, default=4)
    ap.add_argument("--seconds", type=float, default=8)
    o = ap.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    d = os.path.join(o.work, "srv")
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(os.path.join(d, "root"))
    port = free_port()
    sock = os.path.join(d, "admin.sock")
    with open(os.path.join(d, "V.INI"), "w") as f:
        f.write("[GLOBAL]\nPortNr=%d\nAdminSocket=%s\nEncryptPasswords=no\nMaxPreLoginPerIP=0\n"
                "MaxNrUsers=-1\nLogIPNames=NO\nLogFileIPNames=NO\n[DRIVES]\nC=%s/root\n"
                "[USER=joe]\nPassword=secret\nHomeDir=C:\\\nAccess1=C:\\,RL\n" % (port, sock, d))
    proc = subprocess.Popen([o.vantor, "-u", os.path.join(d, "V.INI")], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        if not wait_port(port):
            sys.exit("the server did not start")
        idle = connect_many(port, o.idle)
        print("load average %.1f %.1f %.1f at start" % os.getloadavg())
        quiet, loaded, ratios = [], [], []
        for i in range(o.rounds):
            p = {}
            for mode in turned(["quiet", "loaded"], i):
                # In a process of its own: the load's threads must not take
                # the measuring thread's interpreter lock.
                load = multiprocessing.Process(target=run_load,
                                               args=(port, sock, o.seconds + 3, mode == "loaded"))
                load.start()
                time.sleep(0.5)
                p[mode] = p99(noop_round(port, o.seconds))
                load.join(60)
            quiet.append(p["quiet"])
            loaded.append(p["loaded"])
            ratios.append(p["loaded"] / p["quiet"])
            print("round %d: NOOP p99 quiet %.2f ms, with admin load %.2f ms (ratio %.2f)"
                  % (i + 1, p["quiet"] * 1e3, p["loaded"] * 1e3, ratios[-1]))
        print("NOOP p99 ratio loaded/quiet: median %s, %d sessions idle"
              % (spread(ratios), o.idle))
        for s in idle:
            s.close()
        big = connect_many(port, o.big)
        # One session's NOOP round trips while the big answers are made: the
        # loop's stall shows as the longest of them.
        probe = ftplib.FTP()
        probe.connect("127.0.0.1", port, timeout=120)
        rtts, done = [], threading.Event()

        def noops():
            while not done.is_set():
                t0 = time.perf_counter()
                probe.voidcmd("NOOP")
                rtts.append(time.perf_counter() - t0)

        quiet_rtts = []
        for _ in range(200):
            t0 = time.perf_counter()
            probe.voidcmd("NOOP")
            quiet_rtts.append(time.perf_counter() - t0)
        sender = threading.Thread(target=noops)
        sender.start()
        times = []
        for _ in range(5):
            status, secs = unix_get(sock, "/v1/sessions", timeout=120)
            times.append(secs)
        done.set()
        sender.join()
        probe.close()
        print("GET /v1/sessions with %d sessions: %s, median %.1f ms (%s)"
              % (o.big, status.decode(), summary(times)[0] * 1e3,
                 ", ".join("%.1f" % (t * 1e3) for t in times)))
        top = sorted(rtts, reverse=True)[:5]
        print("NOOP round trips meanwhile: %d, the longest five %s ms, %.0f ms in all above "
              "20 ms (quiet before: longest %.1f ms)"
              % (len(rtts), ", ".join("%.0f" % (t * 1e3) for t in top),
                 sum(t for t in rtts if t > 0.02) * 1e3, max(quiet_rtts) * 1e3))
        for s in big:
            s.close()
        print("load average %.1f %.1f %.1f at end" % os.getloadavg())
    finally:
        stop(proc)


if __name__ == "__main__":
    main()
