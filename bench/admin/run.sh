#!/usr/bin/env bash
# NOOP round trips of 50 sessions with and without administration load, in
# paired rounds, and the answer time of GET /v1/sessions with many sessions.
#
#   bench/admin/run.sh [--idle 1000] [--big 10000] [--rounds 4] [--seconds 8]
#
# A client logs in 100 times a second in both halves; the administration
# load adds 5 clients polling /v1/sessions 10 times a second and one
# following /v1/log. Every loop is bounded by --seconds and stops by itself.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
WORK=${VANTOR_BENCH_DIR:-$HERE/work}
BUILD=${VANTOR_BUILD_DIR:-$ROOT/build-bench}
mkdir -p "$WORK"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON >/dev/null
cmake --build "$BUILD" -j2 --target vantor >/dev/null
exec python3 "$HERE/admin.py" --vantor "$BUILD/app/vantor" --work "$WORK" "$@"
