#!/usr/bin/env bash
# Builds and runs the socket layer benchmark; prints its figures.
#   bench/socket/run.sh [GiB per throughput run, default 1]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${VANTOR_BENCH_BUILD:-$root/build-bench-socket}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVANTOR_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bench_socket >/dev/null
"$build/bench/bench_socket" "${1:-1}"
