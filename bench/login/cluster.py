"""Logins per second with the cluster store on and off, paired.

Two servers run side by side: one with a [CLUSTER] section on a PostgreSQL
server this script starts (initdb in a temporary folder, Unix socket only,
stopped by its PID at the end), one without. Each round measures both, in
turns, for SECONDS each: sequential logins (connect, USER, PASS, QUIT) and
20 concurrent clients. Printed: the figures per round, the median of the
per-round ratios (on / off) with their spread, and the load average.

    cluster.py --vantor path/to/vantor-e2e-server --init path/to/vantor --work DIR
               [--rounds N] [--quick]
"""
import argparse
import asyncio
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))
from benchlib import free_port, spread, stop, turned, wait_port  # noqa: E402
import pg_e2e  # noqa: E402

SECONDS = 4.0
CONCURRENCY = 20


async def reply(reader):
    line = await reader.readline()
    if not line:
        raise EOFError("closed before a reply")
    if line[3:4] == b"-":
        code = line[:3] + b" "
        while not line.startswith(code):
            line = await reader.readline()
            if not line:
                raise EOFError("closed inside a reply")
    return line


async def one_login(port):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    await reply(reader)
    writer.write(b"USER anonymous\r\n")
    r = await reply(reader)
    if r.startswith(b"331"):
        writer.write(b"PASS bench@example.org\r\n")
        r = await reply(reader)
    if not r.startswith(b"230"):
        raise RuntimeError("login refused: %r" % r)
    writer.write(b"QUIT\r\n")
    await reply(reader)
    writer.close()


async def login_loop(port, workers):
    count = 0
    end = time.time() + SECONDS

    async def worker():
        nonlocal count
        while time.time() < end:
            await one_login(port)
            count += 1
    await asyncio.gather(*(worker() for _ in range(workers)))
    return count / SECONDS


def start(args, name, cluster):
    port = free_port()
    home = os.path.join(args.work, "home")
    os.makedirs(home, exist_ok=True)
    ini = os.path.join(args.work, "cluster-%s.ini" % name)
    with open(ini, "w") as f:
        f.write("[GLOBAL]\nPortNr=%d\nLogIPNames=NO\nLogFileIPNames=NO\nMaxPreLoginPerIP=0\n"
                "[USER=anonymous]\nHomeDir=%s\n%s" % (port, home, cluster))
    proc = subprocess.Popen([args.vantor, ini], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    if not wait_port(port, 15):
        raise RuntimeError("%s did not start" % name)
    return proc, port


def main():
    global SECONDS
    ap = argparse.ArgumentParser()
    ap.add_argument("--vantor", required=True)
    ap.add_argument("--init", required=True, help="the vantor program, for --cluster-init")
    ap.add_argument("--work", required=True)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    if args.quick:
        SECONDS, args.rounds = 1.0, 1
    if not pg_e2e.available():
        print("PostgreSQL is not installed (Debian package postgresql)")
        return 1
    os.makedirs(args.work, exist_ok=True)
    with pg_e2e.PgServer() as pg:
        section = ("[CLUSTER]\nStore=postgresql\nConnInfo=%s\nNode=bench\n" % pg.conninfo())
        init = os.path.join(args.work, "cluster-init.ini")
        with open(init, "w") as f:
            f.write("[GLOBAL]\n" + section)
        subprocess.run([args.init, "--cluster-init", init], check=True,
                       stdout=subprocess.DEVNULL)
        on = start(args, "on", section)
        off = start(args, "off", "")
        try:
            end = time.time() + 10
            while pg.sql("SELECT count(*) FROM vantor_nodes") != "1" and time.time() < end:
                time.sleep(0.05)
            servers = [("on", on[1]), ("off", off[1])]
            seq, conc = {"on": [], "off": []}, {"on": [], "off": []}
            for i in range(args.rounds):
                for name, port in turned(servers, i):
                    seq[name].append(asyncio.run(login_loop(port, 1)))
                for name, port in turned(servers, i):
                    conc[name].append(asyncio.run(login_loop(port, CONCURRENCY)))
                print("round %d: sequential on %.0f off %.0f /s; %d clients on %.0f off %.0f /s"
                      % (i + 1, seq["on"][-1], seq["off"][-1], CONCURRENCY, conc["on"][-1],
                         conc["off"][-1]), flush=True)
            rows = pg.sql("SELECT count(*) FROM vantor_sessions")
            print("sequential logins/s, on/off per round: %s"
                  % spread([a / b for a, b in zip(seq["on"], seq["off"])]))
            print("%d concurrent clients, on/off per round: %s"
                  % (CONCURRENCY, spread([a / b for a, b in zip(conc["on"], conc["off"])])))
            print("sessions left registered after the runs: %s" % rows)
            print("load average: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
        finally:
            stop(on[0])
            stop(off[0])
    return 0


if __name__ == "__main__":
    sys.exit(main())
