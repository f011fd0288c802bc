"""Upload rate of a quota user beside a user without quota on one server.

Each round uploads the same file once as each user with `curl -T` to a new
name (the order alternates between rounds, so neither user always runs on a
warm page cache) and takes the ratio of the two rates. The figure is the median
of the per-round ratios; the spread is their lowest and highest value. The
configuration file carries filler accounts so that a quota write costs what
it costs on a real server (the whole file is rewritten and flushed)."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import benchlib  # noqa: E402

FILLER_USERS = 500


def write_ini(path, root, port):
    lines = ["[GLOBAL]", "PortNr=%d" % port, "EncryptPasswords=no", "[DRIVES]", "C=" + root]
    for name, extra in (("quota", ["QuotaEnable=YES", "QuotaMaxCurrent=10000000000000,0"]),
                        ("plain", [])):
        lines += ["[USER=%s]" % name, "Password=x", "HomeDir=C:\\" + name,
                  "Access1=C:\\%s,RWAMDCLP" % name] + extra
    for i in range(FILLER_USERS):
        lines += ["[USER=filler%d]" % i, "Password=x", "HomeDir=C:\\plain",
                  "Access1=C:\\plain,RL", "RatiosEnable=NO"]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def upload(port, user, src, root):
    """Seconds for one upload to a new name. The file is removed behind the
    server's back afterwards: overwriting it instead would credit the old
    size first, and the next upload would be served from that credit."""
    start = time.perf_counter()
    subprocess.run(["curl", "-s", "-S", "-T", src,
                    "ftp://%s:x@127.0.0.1:%d/up.bin" % (user, port)], check=True)
    took = time.perf_counter() - start
    os.remove(os.path.join(root, user, "up.bin"))
    return took


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--vantor", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--mb", type=int, default=200)
    p.add_argument("--rounds", type=int, default=9)
    a = p.parse_args()
    tmp = tempfile.mkdtemp(prefix="quota-", dir=os.path.abspath(a.work))
    try:
        root = os.path.join(tmp, "root")
        for d in ("quota", "plain"):
            os.makedirs(os.path.join(root, d))
        src = os.path.join(tmp, "src.bin")
        with open(src, "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(a.mb):
                f.write(block)
        port = benchlib.free_port()
        ini = os.path.join(tmp, "vantor.ini")
        write_ini(ini, root, port)
        proc = subprocess.Popen([a.vantor, "--quiet", ini], stdout=subprocess.DEVNULL)
        try:
            if not benchlib.wait_port(port):
                sys.exit("server did not come up")
            size = a.mb << 20
            upload(port, "plain", src, root)  # warm-up
            ratios = []
            print("round  quota MB/s  plain MB/s  ratio")
            for r in range(a.rounds):
                order = ("quota", "plain") if r % 2 == 0 else ("plain", "quota")
                t = {u: upload(port, u, src, root) for u in order}
                rq, rp = size / t["quota"] / 1e6, size / t["plain"] / 1e6
                ratios.append(rq / rp)
                print("%5d  %10.1f  %10.1f  %5.2f" % (r + 1, rq, rp, rq / rp))
            print("median ratio %.2f (spread %.2f .. %.2f, %d rounds of %d MB; target >= 0.90)"
                  % (benchlib.summary(ratios) + (a.rounds, a.mb)))
        finally:
            benchlib.stop(proc)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
