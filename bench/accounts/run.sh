#!/bin/sh
# Builds and runs the account store benchmark (5,000 users, 50 groups, 20
# Access rules each). Targets: hot-path query <= 20 us, re-read <= 100 ms.
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${BUILD:-$ROOT/build-accounts}
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j2 --target bench_accounts >/dev/null
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
"$BUILD/bench/bench_accounts" "$WORK"
