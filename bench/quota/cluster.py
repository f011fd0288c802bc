"""Upload rate of a quota user with the usage kept in PostgreSQL against the
same user with the usage kept in the INI file, on one machine, paired.

Two servers run side by side on the same files: one with a [CLUSTER] section
on a PostgreSQL server this script starts (initdb in a temporary folder,
Unix socket only, stopped by its PID at the end), one without. Each round
uploads the same file once to each (`curl -T` to a new name, the order
turned every round) and takes the ratio of the two rates. Printed: each
round, the median of the per-round ratios (PostgreSQL / INI) with their
spread, the charges the database recorded per upload, the loop's time per
charge (the CPU time of the server's loop thread over the PostgreSQL
uploads less the INI server's over the same uploads, per charge: what the
store adds, all of it on the loop thread) and the load average.

    cluster.py --vantor path/to/vantor-e2e-server --init path/to/vantor --work DIR
               [--mb N] [--rounds N]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))
import benchlib  # noqa: E402
import pg_e2e  # noqa: E402


def start(args, name, root, section):
    port = benchlib.free_port()
    ini = os.path.join(root, "..", "%s.ini" % name)
    with open(ini, "w") as f:
        f.write("[GLOBAL]\nPortNr=%d\nEncryptPasswords=no\n[DRIVES]\nC=%s\n"
                "[USER=quota]\nPassword=x\nHomeDir=C:\\%s\nAccess1=C:\\%s,RWAMDCLP\n"
                "QuotaEnable=YES\nQuotaMaxCurrent=10000000000000,0\n%s"
                % (port, root, name, name, section))
    os.makedirs(os.path.join(root, name))
    proc = subprocess.Popen([args.vantor, "--quiet", ini], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    if not benchlib.wait_port(port, 15):
        raise RuntimeError("%s did not start" % name)
    return proc, port


def loop_seconds(pid):
    """Seconds on the CPU of the server's main thread, its event loop (the
    bytes of an upload go through the data lane's threads), from schedstat:
    nanoseconds, where stat counts 10 ms ticks."""
    with open("/proc/%d/task/%d/schedstat" % (pid, pid)) as f:
        return int(f.read().split()[0]) / 1e9


def upload(port, name, src, root):
    """Seconds for one upload to a new name (removed behind the server's back
    afterwards, so no overwrite credit serves the next one)."""
    start = time.perf_counter()
    subprocess.run(["curl", "-s", "-S", "-T", src,
                    "ftp://quota:x@127.0.0.1:%d/up.bin" % port], check=True)
    took = time.perf_counter() - start
    os.remove(os.path.join(root, name, "up.bin"))
    return took


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--vantor", required=True)
    ap.add_argument("--init", required=True, help="the vantor program, for --cluster-init")
    ap.add_argument("--work", required=True)
    ap.add_argument("--mb", type=int, default=200)
    ap.add_argument("--rounds", type=int, default=9)
    args = ap.parse_args()
    if not pg_e2e.available():
        print("PostgreSQL is not installed (Debian package postgresql)")
        return 1
    os.makedirs(args.work, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix="quota-cluster-", dir=os.path.abspath(args.work))
    try:
        root = os.path.join(tmp, "root")
        os.makedirs(root)
        src = os.path.join(tmp, "src.bin")
        with open(src, "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(args.mb):
                f.write(block)
        with pg_e2e.PgServer() as pg:
            section = "[CLUSTER]\nStore=postgresql\nConnInfo=%s\nNode=bench\n" % pg.conninfo()
            init = os.path.join(tmp, "init.ini")
            with open(init, "w") as f:
                f.write("[GLOBAL]\n" + section)
            subprocess.run([args.init, "--cluster-init", init], check=True,
                           stdout=subprocess.DEVNULL)
            pgs = start(args, "pg", root, section)
            ini = start(args, "ini", root, "")
            try:
                end = time.time() + 10
                while pg.sql("SELECT count(*) FROM vantor_nodes") != "1" and time.time() < end:
                    time.sleep(0.05)
                servers = [("pg", pgs[1]), ("ini", ini[1])]
                for name, port in servers:
                    upload(port, name, src, root)  # warm-up
                charges0 = int(pg.sql("SELECT count(*) FROM vantor_charges"))
                cpu = {"pg": 0.0, "ini": 0.0}
                procs = {"pg": pgs[0], "ini": ini[0]}
                size = args.mb << 20
                ratios = []
                print("round  PostgreSQL MB/s  INI MB/s  ratio", flush=True)
                for r in range(args.rounds):
                    t = {}
                    for name, port in benchlib.turned(servers, r):
                        before = loop_seconds(procs[name].pid)
                        t[name] = upload(port, name, src, root)
                        cpu[name] += loop_seconds(procs[name].pid) - before
                    rp, ri = size / t["pg"] / 1e6, size / t["ini"] / 1e6
                    ratios.append(rp / ri)
                    print("%5d  %15.1f  %8.1f  %5.2f" % (r + 1, rp, ri, rp / ri), flush=True)
                charges = int(pg.sql("SELECT count(*) FROM vantor_charges")) - charges0
                print("median ratio %.2f (spread %.2f .. %.2f, %d rounds of %d MB; target >= 0.90)"
                      % (benchlib.summary(ratios) + (args.rounds, args.mb)))
                print("database charges per upload: %.1f; loop thread CPU per upload: PostgreSQL "
                      "%.4f s, INI %.4f s; loop time per charge: %.3f ms over the INI store's, "
                      "at most %.3f ms (all the loop's time over the uploads)"
                      % (charges / args.rounds, cpu["pg"] / args.rounds, cpu["ini"] / args.rounds,
                         1000 * (cpu["pg"] - cpu["ini"]) / max(charges, 1),
                         1000 * cpu["pg"] / max(charges, 1)))
                print("load average: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
            finally:
                benchlib.stop(pgs[0])
                benchlib.stop(ini[0])
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
