"""Logins per second with the cluster store on and off, paired.

Two servers run side by side: one with a [CLUSTER] section on a PostgreSQL
server this script starts (initdb in a temporary folder, Unix socket only,
stopped by its PID at the end), one without. Each round measures both, in
turns, for SECONDS each: sequential logins (connect, USER, PASS, QUIT) and
20 concurrent clients, of the anonymous account and of a named account
(whose USER reads its password row from the store). Printed: the figures per round, the median of the
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
HASH = "abNANd1rDfiNc"  # crypt("secret", "ab")
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


ACCOUNTS = {"anonymous": b"bench@example.org", "joe": b"secret"}


async def one_login(port, user):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    await reply(reader)
    writer.write(b"USER %s\r\n" % user.encode())
    r = await reply(reader)
    if r.startswith(b"331"):
        writer.write(b"PASS %s\r\n" % ACCOUNTS[user])
        r = await reply(reader)
    if not r.startswith(b"230"):
        raise RuntimeError("login refused: %r" % r)
    writer.write(b"QUIT\r\n")
    await reply(reader)
    writer.close()


async def login_loop(port, workers, user):
    count = 0
    end = time.time() + SECONDS

    async def worker():
        nonlocal count
        while time.time() < end:
            await one_login(port, user)
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
                "[USER=anonymous]\nHomeDir=%s\n[USER=joe]\nPassword=%s\nHomeDir=%s\n%s"
                % (port, home, HASH, home, cluster))
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
            kinds = [(user, n) for user in ACCOUNTS for n in (1, CONCURRENCY)]
            got = {(k, name): [] for k in kinds for name in ("on", "off")}
            for i in range(args.rounds):
                line = []
                for user, n in kinds:
                    for name, port in turned(servers, i):
                        got[((user, n), name)].append(asyncio.run(login_loop(port, n, user)))
                    line.append("%s x%d on %.0f off %.0f" % (user, n, got[((user, n), "on")][-1],
                                                            got[((user, n), "off")][-1]))
                print("round %d (logins/s): %s" % (i + 1, "; ".join(line)), flush=True)
            rows = pg.sql("SELECT count(*) FROM vantor_sessions")
            for user, n in kinds:
                print("%s, %d client(s) at once, on/off per round: %s"
                      % (user, n, spread([a / b for a, b in zip(got[((user, n), "on")],
                                                                got[((user, n), "off")])])))
            print("sessions left registered after the runs: %s" % rows)
            print("load average: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
        finally:
            stop(on[0])
            stop(off[0])
    return 0


if __name__ == "__main__":
    sys.exit(main())
