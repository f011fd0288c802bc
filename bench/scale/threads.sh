#!/usr/bin/env bash
# Where protected downloads spend their CPU, thread by thread: 20 parallel
# PROT P downloads with DataThreads=1 and DataThreads=2, in paired rounds
# (see threads.py for what is read and printed).
#
#   bench/scale/threads.sh [--rounds 3] [--parallel 20]
#       [--server-cpus LIST --client-cpus LIST]   (taskset lists, on a
#       machine with cores to spare for the clients)
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../lib/e2e_server.sh"
exec python3 "$HERE/threads.py" --vantor "$BUILD/tests/e2e/vantor-e2e-server" --work "$WORK" "$@"
