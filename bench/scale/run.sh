#!/usr/bin/env bash
# How the cost of moving bytes grows with the number of people merely logged
# in: 20 parallel uploads and 20 parallel downloads, in clear and under PROT
# P, alone and beside 10,000 idle logged-in sessions, in paired rounds
# against a baseline build.
#
#   bench/scale/run.sh [--baseline BIN] [--rounds 3] [--idle 10000] [--mib 50]
#                      [--cases ul,dl,ul-tls,dl-tls] [--part idle]
#   (VANTOR_BUILD_DIR, VANTOR_BENCH_DIR override the build and work folders)
#
# Prints per case and state the aggregate rate and the server's CPU seconds
# per GiB (from /proc of the server), per round and as medians with the
# spread of the per-round ratios (idle / alone, this build / baseline).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../lib/e2e_server.sh"
# The idle sessions need a descriptor each, in the server and in the holder.
ulimit -n "$(ulimit -Hn)"
exec python3 "$HERE/scale.py" --vantor "$BUILD/tests/e2e/vantor-e2e-server" --work "$WORK" "$@"
