#!/usr/bin/env bash
# Listing benchmark: a directory of 10,000 files listed in long format,
# generated from disk and served from the directory cache, with `ls -l` of
# the same directory for scale; then `LIST -R` of a 200,000-entry tree under
# the default MaxListEntries, and the resident memory after 20 option
# spellings of it against the DirCacheMaxMB budget. Prints the figures;
# judges nothing.
set -euo pipefail
cd "$(dirname "$0")/../.."
build="${BUILD_DIR:-build-bench}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target bench_listing bench_bound >/dev/null
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
"$build/bench/bench_listing" "$dir/tree" 10000
# ls -l of the same directory, median of 15 runs (output discarded).
times=()
for _ in $(seq 15); do
  t0=$(date +%s%N)
  LC_ALL=C ls -la "$dir/tree" >/dev/null
  t1=$(date +%s%N)
  times+=($(( (t1 - t0) / 1000 )))
done
median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 8p)
best=$(printf '%s\n' "${times[@]}" | sort -n | head -1)
printf 'ls -la, same directory (ms) median %d.%02d  best %d.%02d  (whole process)\n' \
  $((median / 1000)) $((median % 1000 / 10)) $((best / 1000)) $((best % 1000 / 10))
# The bounded recursive listing and the cache budget.
"$build/bench/bench_bound" "$dir/big" 5
