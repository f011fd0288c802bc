"""Where the encryption of protected downloads runs: 20 parallel PROT P
downloads (20 curl processes, each resuming its own control connection's
session; 200 MiB each by default, so the 40 handshakes, which stay on the
loop, weigh little) against vantor with DataThreads=1 and DataThreads=2,
and with --baseline an older build too, in paired rounds (the servers run
side by side and take turns).

Per run it reads every thread's user + system time from
/proc/PID/task/*/stat before and after, and names them by their comm: the
loop is the thread whose id is the process id, the data lane
"vantor-data<n>", the file workers "vantor-work<n>". It prints each
thread's CPU seconds, the loop's share of the server's CPU (target: under
10%) and, with two data threads, the larger thread's share of the lane's
CPU (target: at most 60%)."""
import argparse
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from benchlib import free_port, spread, stop, wait_port  # noqa: E402

MiB = 1 << 20
TICK = os.sysconf("SC_CLK_TCK")
SUITE = "TLS_AES_128_GCM_SHA256"
CIPHER = "ECDHE-ECDSA-AES128-GCM-SHA256"


def threads(pid):
    """tid -> (comm, cpu seconds) of every thread of `pid`."""
    out = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                text = f.read()
        except OSError:
            continue
        comm = text[text.index("(") + 1:text.rindex(")")]
        fields = text.rsplit(")", 1)[1].split()
        out[int(tid)] = (comm, (int(fields[11]) + int(fields[12])) / TICK)
    return out


def role(pid, tid, comm):
    return "loop" if tid == pid else comm


def start(binary, work, lane, data, cert, key, name):
    port = free_port()
    ini = os.path.join(work, name + ".ini")
    with open(ini, "w") as f:
        f.write("\n".join([
            "[GLOBAL]", "PortNr=%d" % port, "EncryptPasswords=no", "MaxPreLoginPerIP=0",
            "DataThreads=%d" % lane, "TLSCertificateFile=" + cert, "TLSPrivateKeyFile=" + key,
            "TLSCipherList=" + CIPHER, "TLSCipherSuites=" + SUITE,
            "[DRIVES]", "C=" + data,
            "[USER=bench]", "Password=bench", "HomeDir=C:\\", "Access1=C:\\,RWAMDCLP",
            "RequireTLS=1"]) + "\n")
    log = open(os.path.join(work, name + ".log"), "w")
    proc = subprocess.Popen([binary, "--quiet", ini], stdout=log, stderr=subprocess.STDOUT)
    if not wait_port(port):
        stop(proc)
        raise SystemExit("%s did not start" % name)
    return proc, port


def downloads(port, n, name, pin):
    url = "ftp://127.0.0.1:%d/%s" % (port, name)
    cmd = ["curl", "-s", "-S", "--max-time", "300", "-o", "/dev/null", "-u", "bench:bench",
           "--ssl-reqd", "-k", "--tls13-ciphers", SUITE, "--ciphers", CIPHER, url]
    if pin:
        cmd = ["taskset", "-c", pin] + cmd
    t0 = time.time()
    procs = [subprocess.Popen(cmd) for _ in range(n)]
    bad = sum(p.wait() != 0 for p in procs)
    if bad:
        raise RuntimeError("%d of %d downloads failed" % (bad, n))
    return time.time() - t0


def one(proc, port, args):
    before = threads(proc.pid)
    secs = downloads(port, args.parallel, "big", args.client_cpus)
    time.sleep(0.2)  # the last completions reach the loop
    after = threads(proc.pid)
    per = {}
    for tid, (comm, cpu) in after.items():
        per[role(proc.pid, tid, comm)] = per.get(role(proc.pid, tid, comm), 0.0) + cpu - (
            before.get(tid, (comm, 0.0))[1])
    total = sum(per.values())
    lane = {k: v for k, v in per.items() if k.startswith("vantor-data")}
    lane_total = sum(lane.values())
    return {
        "rate": args.parallel * args.size * MiB / secs,
        "threads": per,
        "loop_share": per.get("loop", 0.0) / total if total else 0.0,
        "lane_split": max(lane.values()) / lane_total if lane_total else 0.0,
        "cpu_gib": total / (args.parallel * args.size * MiB / (1 << 30)),
    }


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--vantor", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--parallel", type=int, default=20)
    ap.add_argument("--size", type=int, default=200, help="MiB per download")
    ap.add_argument("--baseline", help="an older vantor-e2e-server, measured beside")
    ap.add_argument("--server-cpus", default="", help="taskset list for the servers")
    ap.add_argument("--client-cpus", default="", help="taskset list for curl")
    args = ap.parse_args()
    data = os.path.join(args.work, "data")
    os.makedirs(data, exist_ok=True)
    big = os.path.join(data, "big")
    if not os.path.exists(big) or os.path.getsize(big) != args.size * MiB:
        with open(big, "wb") as f:
            for _ in range(args.size):
                f.write(os.urandom(MiB))
    cert, key = os.path.join(args.work, "cert.pem"), os.path.join(args.work, "key.pem")
    if not os.path.exists(cert):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=127.0.0.1",
                        "-keyout", key, "-out", cert, "-days", "365"],
                       capture_output=True, check=True)
    runs = [("lane1", args.vantor, 1), ("lane2", args.vantor, 2)]
    if args.baseline:
        runs.append(("baseline", args.baseline, 2))
    servers = {}
    got = {name: [] for name, _, _ in runs}
    try:
        for name, binary, lane in runs:
            servers[name] = start(binary, args.work, lane, data, cert, key, name)
            if args.server_cpus:
                subprocess.run(["taskset", "-a", "-p", "-c", args.server_cpus,
                                str(servers[name][0].pid)], capture_output=True, check=True)
        for proc, port in servers.values():
            downloads(port, 2, "big", args.client_cpus)  # warm the page cache and TLS
        for i in range(args.rounds):
            order = [r[0] for r in runs]
            order = order[i % len(order):] + order[:i % len(order)]
            for name in order:
                proc, port = servers[name]
                r = one(proc, port, args)
                got[name].append(r)
                print("round %d %s: %.0f MB/s, %.2f CPU s/GiB, loop %.1f%%, "
                      "largest data thread %.1f%% of the lane; %s" % (
                          i, name, r["rate"] / 1e6, r["cpu_gib"], 100 * r["loop_share"],
                          100 * r["lane_split"], "  ".join(
                              "%s %.2f s" % kv for kv in sorted(r["threads"].items())
                              if kv[1] > 0.005)), flush=True)
    finally:
        for proc, _ in servers.values():
            stop(proc)
    print("medians over %d paired rounds [lowest..highest]; load average %s" % (
        args.rounds, " ".join("%.2f" % x for x in os.getloadavg())))
    for name, _, _ in runs:
        rs = got[name]
        print("%-8s %s MB/s, loop share %s%%, largest data thread %s%% of the lane, "
              "CPU %s s/GiB" % (name, spread([r["rate"] / 1e6 for r in rs]),
                                spread([100 * r["loop_share"] for r in rs]),
                                spread([100 * r["lane_split"] for r in rs]),
                                spread([r["cpu_gib"] for r in rs])))
    ratios = [b["rate"] / a["rate"] for a, b in zip(got["lane1"], got["lane2"])]
    print("rate DataThreads=2 / DataThreads=1 per round: %s" % spread(ratios))
    if args.baseline:
        for k, what in (("rate", "rate"), ("cpu_gib", "CPU per GiB")):
            print("%s this build (DataThreads=2) / baseline per round: %s" % (what, spread(
                [a[k] / b[k] for a, b in zip(got["lane2"], got["baseline"])])))
    loop_ok = all(r["loop_share"] < 0.10 for n in ("lane1", "lane2") for r in got[n])
    split_ok = statistics.median(r["lane_split"] for r in got["lane2"]) <= 0.60
    print("loop under 10%% of the server's CPU in every run: %s; two data threads within "
          "60/40 (median): %s" % ("yes" if loop_ok else "NO", "yes" if split_ok else "NO"))


if __name__ == "__main__":
    main()
