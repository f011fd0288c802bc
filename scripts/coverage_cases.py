#!/usr/bin/env python3
"""What each test case reaches that no other case does.

Runs every ctest case of a coverage build (made by scripts/coverage) in a
process of its own, with its counters written under a folder of its own
(GCOV_PREFIX), reads them with gcov and prints, per case, the product lines
and branches no other case reaches; then the cases that reach nothing of
their own and a greedy smallest set of cases that reaches everything the
whole set reaches.

    coverage_cases.py BUILD [REGEX] [-j N] [--fresh]

REGEX picks the cases to (re)run; the report covers every case whose result
is stored under BUILD/per-case/cases and that ctest still lists, so after a
change to one test binary only its cases need to run again (--fresh forgets
the stored results first). Report: BUILD/per-case/report.txt (every unique
line) and report.json.
"""
import argparse
import concurrent.futures
import gzip
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

PRODUCT = ("util", "platform", "net", "config", "log", "accounts", "fs", "ftp", "app", "gui")


def ctest_cases(build, regex):
    cmd = ["ctest", "--show-only=json-v1"] + (["-R", regex] if regex else [])
    data = json.loads(subprocess.run(cmd, cwd=build, check=True, capture_output=True,
                                     text=True).stdout)
    cases = []
    for t in data["tests"]:
        if "command" not in t:
            continue
        props = {p["name"]: p["value"] for p in t.get("properties", [])}
        if props.get("DISABLED"):
            continue
        cases.append({
            "name": t["name"],
            "command": t["command"],
            "env": props.get("ENVIRONMENT", []),
            "cwd": props.get("WORKING_DIRECTORY", build),
            "timeout": float(props.get("TIMEOUT", 600)),
        })
    return cases


def safe_name(name):
    return re.sub(r"[^A-Za-z0-9_.-]", "_", name) + "-" + hashlib.sha1(
        name.encode()).hexdigest()[:8]


class Reader:
    """Turns .gcda files into sets of (file, line) and (file, line, branch)
    reached. gcov runs once per distinct counter file (by content): the
    objects a case does not touch come out the same in every case."""

    def __init__(self, build, src):
        self.build = os.path.realpath(build)
        self.src = os.path.realpath(src)
        self.cache = {}
        self.lock = threading.Lock()
        self.resolved = {}

    def source(self, folder, name):
        # gcov gives the tree's own files relative to it (-s, -r).
        key = (folder, name)
        if key in self.resolved:
            return self.resolved[key]
        path = os.path.realpath(os.path.join(self.src, name))
        rel = os.path.relpath(path, self.src)
        if rel.startswith(".."):
            # Compiled in another tree (a shared compiler cache): find the
            # longest tail of the path that names a file of this tree.
            parts = path.split(os.sep)
            rel = None
            for i in range(1, len(parts)):
                tail = os.path.join(*parts[i:])
                if os.path.exists(os.path.join(self.src, tail)):
                    rel = tail
                    break
        if rel is not None and rel.split(os.sep)[0] not in PRODUCT:
            rel = None
        self.resolved[key] = rel
        return rel

    def read(self, files):
        """files: list of (gcda path, original gcda path). Returns (lines, branches)."""
        todo = []
        results = []
        for gcda, orig in files:
            gcno = orig[:-len(".gcda")] + ".gcno"
            if not os.path.exists(gcno):
                continue
            with open(gcda, "rb") as f:
                key = (orig, hashlib.sha1(f.read()).digest())
            with self.lock:
                hit = self.cache.get(key)
            if hit is None:
                todo.append((gcda, gcno, orig, key))
            else:
                results.append(hit)
        if todo:
            with tempfile.TemporaryDirectory() as tmp:
                names = []
                for i, (gcda, gcno, orig, key) in enumerate(todo):
                    os.symlink(gcno, os.path.join(tmp, f"{i}.gcno"))
                    shutil.copyfile(gcda, os.path.join(tmp, f"{i}.gcda"))
                    names.append(f"{i}.gcda")
                for start in range(0, len(names), 200):
                    out = subprocess.run(["gcov", "-j", "-t", "-b", "-s", self.src, "-r"] + names[start:start + 200],
                                         cwd=tmp, capture_output=True, text=True).stdout
                    for doc in out.splitlines():
                        doc = doc.strip()
                        if not doc.startswith("{"):
                            continue
                        data = json.loads(doc)
                        i = int(os.path.basename(data["data_file"]).split(".")[0])
                        gcda, gcno, orig, key = todo[i]
                        folder = orig.split("/CMakeFiles/")[0]
                        hit = self.parse(data, folder)
                        with self.lock:
                            self.cache[key] = hit
                        results.append(hit)
        lines, branches, all_lines, all_branches = set(), set(), set(), set()
        for l, b, al, ab in results:
            lines |= l
            branches |= b
            all_lines |= al
            all_branches |= ab
        return lines, branches, all_lines, all_branches

    def parse(self, data, folder):
        lines, branches, all_lines, all_branches = set(), set(), set(), set()
        for f in data.get("files", []):
            rel = self.source(folder, f["file"])
            if rel is None:
                continue
            for ln in f.get("lines", []):
                key = f"{rel}:{ln['line_number']}"
                all_lines.add(key)
                if ln["count"] > 0:
                    lines.add(key)
                for i, br in enumerate(ln.get("branches", [])):
                    if br.get("throw"):
                        continue
                    bkey = f"{key}#{i}"
                    all_branches.add(bkey)
                    if br["count"] > 0:
                        branches.add(bkey)
        return (frozenset(lines), frozenset(branches), frozenset(all_lines),
                frozenset(all_branches))


def run_case(case, build, reader, store, index, total):
    folder = os.path.join(build, "per-case", "run", safe_name(case["name"]))
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    env = dict(os.environ)
    for kv in case["env"]:
        k, _, v = kv.partition("=")
        env[k] = v
    env["GCOV_PREFIX"] = folder
    env["GCOV_PREFIX_STRIP"] = "0"
    start = time.monotonic()
    proc = subprocess.Popen(case["command"], cwd=case["cwd"], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    try:
        rc = proc.wait(timeout=case["timeout"])
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        rc = "timeout"
    secs = time.monotonic() - start
    files = []
    for root, _, names in os.walk(folder):
        for n in names:
            if n.endswith(".gcda"):
                path = os.path.join(root, n)
                files.append((path, path[len(folder):]))
    lines, branches, _, _ = reader.read(files)
    shutil.rmtree(folder, ignore_errors=True)
    result = {"name": case["name"], "rc": rc, "seconds": round(secs, 2),
              "lines": sorted(lines), "branches": sorted(branches)}
    with gzip.open(os.path.join(store, safe_name(case["name"]) + ".json.gz"), "wt") as f:
        json.dump(result, f)
    print(f"[{index}/{total}] {case['name']}: rc {rc}, {secs:.1f} s, "
          f"{len(lines)} lines, {len(branches)} branches", flush=True)


def ranges(keys):
    """['a.cpp:3', 'a.cpp:4', 'a.cpp:9'] -> 'a.cpp:3-4,9'"""
    by_file = {}
    for k in keys:
        f, _, n = k.rpartition(":")
        by_file.setdefault(f, []).append(int(n))
    out = []
    for f in sorted(by_file):
        nums = sorted(set(by_file[f]))
        parts, lo, prev = [], nums[0], nums[0]
        for n in nums[1:] + [None]:
            if n is not None and n == prev + 1:
                prev = n
                continue
            parts.append(f"{lo}" if lo == prev else f"{lo}-{prev}")
            if n is not None:
                lo = prev = n
        out.append(f"{f}:{','.join(parts)}")
    return out


def report(build, names):
    store = os.path.join(build, "per-case", "cases")
    results = []
    for name in names:
        path = os.path.join(store, safe_name(name) + ".json.gz")
        if os.path.exists(path):
            try:
                with gzip.open(path, "rt") as f:
                    results.append(json.load(f))
            except (OSError, EOFError, ValueError):
                pass  # still being written by a run beside this one
    line_cases, branch_cases = {}, {}
    for r in results:
        for k in r["lines"]:
            line_cases[k] = line_cases.get(k, 0) + 1
        for k in r["branches"]:
            branch_cases[k] = branch_cases.get(k, 0) + 1
    rows, nothing = [], []
    for r in results:
        ul = [k for k in r["lines"] if line_cases[k] == 1]
        ub = [k for k in r["branches"] if branch_cases[k] == 1]
        r["unique_lines"], r["unique_branches"] = ul, ub
        if ul or ub:
            rows.append(r)
        else:
            nothing.append(r)
    # Greedy cover of every line and branch the set reaches.
    left = set(line_cases) | set(branch_cases)
    pool = {r["name"]: set(r["lines"]) | set(r["branches"]) for r in results}
    cover = []
    while left:
        best = max(pool, key=lambda n: len(pool[n] & left))
        gain = pool[best] & left
        if not gain:
            break
        cover.append((best, len(gain)))
        left -= gain
        del pool[best]
    failed = [r for r in results if r["rc"] != 0]
    rows.sort(key=lambda r: (-len(r["unique_lines"]), -len(r["unique_branches"]), r["name"]))
    out = []
    out.append(f"{len(results)} cases; {len(line_cases)} lines and {len(branch_cases)} "
               f"branches reached; {len(rows)} cases reach something no other case does, "
               f"{len(nothing)} reach nothing of their own; a greedy cover needs "
               f"{len(cover)} cases")
    if failed:
        out.append(f"failed ({len(failed)}): " + ", ".join(
            f"{r['name']} ({r['rc']})" for r in failed))
    out.append("")
    out.append("== unique lines, unique branches, case")
    for r in rows:
        out.append(f"{len(r['unique_lines']):6} {len(r['unique_branches']):6}  {r['name']}")
    out.append("")
    out.append(f"== cases that reach nothing no other case reaches ({len(nothing)})")
    for r in sorted(nothing, key=lambda r: r["name"]):
        out.append(f"  {r['name']}")
    out.append("")
    out.append(f"== greedy cover ({len(cover)} cases; new lines and branches each adds)")
    for name, gain in cover:
        out.append(f"{gain:6}  {name}")
    covered = {n for n, _ in cover}
    outside = sorted(r["name"] for r in results if r["name"] not in covered)
    out.append("")
    out.append(f"== outside the cover ({len(outside)}): together they reach nothing the cover "
               f"does not")
    for name in outside:
        out.append(f"  {name}")
    summary = "\n".join(out)
    detail = [summary, "", "== unique lines and branches per case"]
    for r in rows:
        detail.append(f"-- {r['name']}")
        for x in ranges(r["unique_lines"]):
            detail.append(f"   {x}")
        if r["unique_branches"]:
            by_line = {}
            for k in r["unique_branches"]:
                line, _, i = k.rpartition("#")
                by_line.setdefault(line, []).append(int(i))
            detail.append("   branches: " + " ".join(
                f"{line}#{','.join(map(str, sorted(v)))}" for line, v in sorted(by_line.items())))
    per = os.path.join(build, "per-case")
    with open(os.path.join(per, "report.txt"), "w") as f:
        f.write("\n".join(detail) + "\n")
    with open(os.path.join(per, "report.json"), "w") as f:
        json.dump({"cases": [{"name": r["name"], "rc": r["rc"], "seconds": r["seconds"],
                              "unique_lines": r["unique_lines"],
                              "unique_branches": r["unique_branches"]} for r in results],
                   "nothing_unique": sorted(r["name"] for r in nothing),
                   "cover": [n for n, _ in cover], "outside_cover": outside}, f, indent=1)
    print(summary)
    print(f"\nreport: {os.path.join(per, 'report.txt')}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("regex", nargs="?")
    ap.add_argument("-j", type=int, default=2)
    ap.add_argument("--fresh", action="store_true")
    ap.add_argument("--report-only", action="store_true")
    args = ap.parse_intermixed_args()
    build = os.path.realpath(args.build)
    src = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))
    store = os.path.join(build, "per-case", "cases")
    if args.fresh:
        shutil.rmtree(store, ignore_errors=True)
    os.makedirs(store, exist_ok=True)
    every = [c["name"] for c in ctest_cases(build, None)]
    if not args.report_only:
        cases = ctest_cases(build, args.regex)
        reader = Reader(build, src)
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.j) as ex:
            futs = [ex.submit(run_case, c, build, reader, store, i + 1, len(cases))
                    for i, c in enumerate(cases)]
            for f in futs:
                f.result()
    report(build, every)


if __name__ == "__main__":
    sys.exit(main())
