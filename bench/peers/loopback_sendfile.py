"""What a sendfile sender costs the receiver on loopback.

    python3 bench/peers/loopback_sendfile.py FILE [--rounds 5]

Sends FILE over a loopback TCP connection to a receiver process that reads
it in 100 KiB pieces (as curl does), once with sendfile and once with
read and send through a 256 KiB buffer, in paired rounds. Prints the rate
and the receiver's CPU seconds per GiB of each, and per round sendfile /
copy, median [lowest..highest]. On loopback the receiver's copy reads the
page cache itself when the sender used sendfile, and warm memory when the
sender copied first: the single-download figures of bench/peers carry it.
"""
import argparse
import os
import socket
import statistics
import time

GiB = 1 << 30


def one(path, mode):
    size = os.path.getsize(path)
    ls = socket.socket()
    ls.bind(("127.0.0.1", 0))
    ls.listen(1)
    port = ls.getsockname()[1]
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # the receiver: a process of its own, so its CPU is its own
        s = socket.create_connection(("127.0.0.1", port))
        buf = bytearray(100 * 1024)
        got = 0
        t0, c0 = time.time(), os.times()
        while True:
            n = s.recv_into(buf)
            if not n:
                break
            got += n
        t1, c1 = time.time(), os.times()
        cpu = (c1.user - c0.user) + (c1.system - c0.system)
        os.write(w, ("%f %f" % (got / (t1 - t0), cpu / (got / GiB))).encode())
        os._exit(0)
    c, _ = ls.accept()
    with open(path, "rb") as f:
        if mode == "sendfile":
            off = 0
            while off < size:
                off += os.sendfile(c.fileno(), f.fileno(), off, size - off)
        else:
            buf = bytearray(256 * 1024)
            view = memoryview(buf)
            while True:
                n = f.readinto(buf)
                if not n:
                    break
                c.sendall(view[:n])
    c.close()
    ls.close()
    os.waitpid(pid, 0)
    rate, cpu = map(float, os.read(r, 100).split())
    os.close(r)
    os.close(w)
    return rate, cpu


def spread(v):
    return "%.2f [%.2f..%.2f]" % (statistics.median(v), min(v), max(v))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("file")
    ap.add_argument("--rounds", type=int, default=5)
    a = ap.parse_args()
    one(a.file, "copy")  # the file into the page cache
    rates, cpus = [], []
    for i in range(a.rounds):
        got = {}
        # The order turns each round.
        for mode in (("sendfile", "copy") if i % 2 == 0 else ("copy", "sendfile")):
            got[mode] = one(a.file, mode)
        print("round %d: sendfile %.0f MB/s, receiver %.3f s/GiB; copy %.0f MB/s, receiver %.3f s/GiB"
              % (i, got["sendfile"][0] / 1e6, got["sendfile"][1], got["copy"][0] / 1e6,
                 got["copy"][1]), flush=True)
        rates.append(got["sendfile"][0] / got["copy"][0])
        cpus.append(got["sendfile"][1] / got["copy"][1])
    print("sendfile / copy, median [lowest..highest] of %d rounds: rate %s, receiver CPU per GiB %s"
          % (a.rounds, spread(rates), spread(cpus)))


if __name__ == "__main__":
    main()
