#!/usr/bin/env bash
# Upload rate of a user with a disk quota beside a user without one on the
# same server: curl -T of a file (200 MB unless given) in paired rounds, the
# order alternating; prints each round and the median of the per-round
# ratios (quota / no quota) with its spread. Target: at least 0.9.
#
#   bench/quota/run.sh [MB] [rounds]   (VANTOR_BUILD_DIR, VANTOR_BENCH_DIR override)
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
WORK=${VANTOR_BENCH_DIR:-$HERE/work}
BUILD=${VANTOR_BUILD_DIR:-$ROOT/build-bench}
mkdir -p "$WORK"

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON >/dev/null
cmake --build "$BUILD" -j2 --target vantor-e2e-server >/dev/null

exec python3 "$HERE/quota.py" --vantor "$BUILD/tests/e2e/vantor-e2e-server" --work "$WORK" \
  --mb "${1:-200}" --rounds "${2:-9}"
