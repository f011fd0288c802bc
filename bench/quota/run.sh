#!/usr/bin/env bash
# Upload rate of a user with a disk quota beside a user without one on the
# same server: curl -T of a file (200 MB unless given) in paired rounds, the
# order alternating; prints each round and the median of the per-round
# ratios (quota / no quota) with its spread. Target: at least 0.9.
#
#   bench/quota/run.sh [MB] [rounds]   (VANTOR_BUILD_DIR, VANTOR_BENCH_DIR override)
#   bench/quota/run.sh --cluster [MB] [rounds]
# --cluster compares the usage kept in PostgreSQL (a server this script
# starts) with the usage kept in the INI file instead, and prints the
# loop's time per charge.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../lib/e2e_server.sh"

if [ "${1:-}" = "--cluster" ]; then
  shift
  cmake --build "$BUILD" -j2 --target vantor >/dev/null
  exec python3 "$HERE/cluster.py" --vantor "$BUILD/tests/e2e/vantor-e2e-server" \
    --init "$BUILD/app/vantor" --work "$WORK" --mb "${1:-200}" --rounds "${2:-9}"
fi
exec python3 "$HERE/quota.py" --vantor "$BUILD/tests/e2e/vantor-e2e-server" --work "$WORK" \
  --mb "${1:-200}" --rounds "${2:-9}"
