"""Paired rounds of two bench_accounts binaries (an older build against this
one): each round runs both, the order turning every round, and every figure
is reported as the median of each build's rounds and the median of the
per-round ratios (new / old) with the lowest and highest ratio.

    python3 bench/accounts/paired.py OLD NEW [rounds] [--writes-only]
"""
import os
import re
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from benchlib import summary, turned  # noqa: E402

FIGURE = re.compile(r"^(.*?):?\s+median\s+([0-9.]+)\s+(ms|us)")


def run(binary, extra):
    with tempfile.TemporaryDirectory() as work:
        out = subprocess.run([binary, work] + extra, check=True, capture_output=True,
                             text=True).stdout
    figures = {}
    for line in out.splitlines():
        m = FIGURE.match(line)
        if m:
            figures[m.group(1).strip() + " (" + m.group(3) + ")"] = float(m.group(2))
    return figures


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    extra = ["--writes-only"] if "--writes-only" in sys.argv else []
    old, new = args[0], args[1]
    rounds = int(args[2]) if len(args) > 2 else 5
    got = {old: [], new: []}
    for i in range(rounds):
        for b in turned([old, new], i):
            got[b].append(run(b, extra))
    print("%-48s %10s %10s %8s %s" % ("figure", "old", "new", "new/old", "spread"))
    for name in got[new][0]:
        o = [r[name] for r in got[old] if name in r]
        n = [r[name] for r in got[new]]
        if not o:
            # A figure the older build does not measure: the new build's median.
            print("%-48s %10s %10.3f" % (name, "-", statistics.median(n)))
            continue
        if len(o) != len(n):
            continue
        ratios = [b / a for a, b in zip(o, n) if a > 0]
        med, lo, hi = summary(ratios) if ratios else (float("nan"),) * 3
        print("%-48s %10.3f %10.3f %8.3f %.3f..%.3f" % (
            name, statistics.median(o), statistics.median(n), med, lo, hi))


if __name__ == "__main__":
    main()
