#!/usr/bin/env bash
# NOOP round trips of 50 idle sessions while other clients load the server,
# for vantor and for vsftpd (a process per session) in the same run.
#
#   bench/latency/run.sh [--quick] [--scale 0.05] [--rounds 3] [--baseline BIN] [--loads listr,index,...] [--timeline]
#
# --quick: scale 0.05 (10,000 entries, 5 MB uploads, 1 MB downloads), 2 s
# of logins, 2 rounds; a few minutes in all. Every load is cut off after
# 900 s, so even the full run ends.
# --scale shrinks the tree (200,000 entries), the uploads (100 MB each) and
# the downloads for a quick run; the figures in bench/README.md are full
# size unless they say otherwise. --baseline runs an older
# vantor-e2e-server too, so the loads' own times can be compared with it.
# vsftpd is fetched as bench/peers does (apt-get download, dpkg -x into
# work/ of bench/peers); it is never installed or run as a service.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../lib/e2e_server.sh"
PEERWORK=${VANTOR_PEERS_DIR:-$ROOT/bench/peers/work}
mkdir -p "$PEERWORK/debs"

if [ ! -x "$PEERWORK/peers/usr/sbin/vsftpd" ]; then
  (cd "$PEERWORK/debs" && apt-get download vsftpd libwrap0 >/dev/null 2>&1)
  for d in "$PEERWORK"/debs/*.deb; do dpkg -x "$d" "$PEERWORK/peers"; done
fi

exec python3 "$HERE/latency.py" --vantor "$BUILD/tests/e2e/vantor-e2e-server" \
  --peers "$PEERWORK/peers" --work "$WORK" "$@"
