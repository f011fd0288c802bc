#!/usr/bin/env bash
# Logins against Vantor, Debian's python3-pyftpdlib and vsftpd on loopback:
# connect/USER/PASS/QUIT sequentially and with 50 concurrent clients (5 s
# each), server CPU time per login, then 1000 idle logged-in sessions (PSS
# of the server before and after, NOOP answered by all).
#
# The peers are fetched with `apt-get download` and unpacked with `dpkg -x`
# into work/ of this folder; they run from there on their own loopback
# ports and are never installed or run as services.
#
#   bench/login/run.sh [--baseline BIN] [--rounds N] [--servers vantor,vsftpd] [--quick]
#                                 (VANTOR_BUILD_DIR, VANTOR_BENCH_DIR override)
# --baseline adds an older vantor-e2e-server to every round and prints the
# median of the per-round ratios (this build / baseline) with their spread.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../lib/e2e_server.sh"
mkdir -p "$WORK/debs"

if [ ! -x "$WORK/peers/usr/sbin/vsftpd" ] || [ ! -d "$WORK/peers/usr/lib/python3/dist-packages/pyftpdlib" ]; then
  (cd "$WORK/debs" && apt-get download vsftpd libwrap0 python3-pyftpdlib >/dev/null 2>&1)
  for d in "$WORK"/debs/*.deb; do dpkg -x "$d" "$WORK/peers"; done
fi

exec python3 "$HERE/login.py" --vantor "$BUILD/tests/e2e/vantor-e2e-server" \
  --peers "$WORK/peers" --work "$WORK" "$@"
