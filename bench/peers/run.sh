#!/usr/bin/env bash
# Vantor against Debian's vsftpd, pure-ftpd, proftpd and python3-pyftpdlib on
# loopback: RETR and STOR of 1 GiB, 20 parallel downloads of 50 MiB, server
# CPU per GiB sent, LIST of a 10,000-file directory (first and second time),
# the per-user speed limit of 1 MB/s, and 20 and 200 downloads and uploads at
# once from one curl process.
#
# The peers are fetched with `apt-get download` and unpacked with `dpkg -x`
# into work/ of this folder; they run from there with configurations of
# their own on loopback ports and are never installed or run as services.
#
#   bench/peers/run.sh            (VANTOR_BUILD_DIR, VANTOR_BENCH_DIR override)
#   bench/peers/run.sh --quick [--rounds 5] [--baseline BIN] [--servers ...]
#       (RETR, STOR, 20 downloads, CPU per GiB and LIST in paired rounds;
#       --baseline adds an older vantor-e2e-server, in every mode (with
#       --tls-only under the same TLS settings), and prints the median of the per-round ratios this build /
#       baseline with their spread)
#   bench/peers/run.sh --parallel-only [--cases dl20,dl200,ul20,ul200]
#       [--rounds 5] [--servers vantor,pyftpdlib]
#   bench/peers/run.sh --families-only [--rounds 5]   (every server over
#       IPv4 with PASV and EPSV and over IPv6 with EPSV; the peers get a
#       second process on ::1)
#   bench/peers/run.sh --tls-only [--quick | --rounds 5] [--servers ...]
#       (FTPS under PROT P against vsftpd, pure-ftpd and proftpd's mod_tls)
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../lib/e2e_server.sh"
mkdir -p "$WORK/debs"

# --- peers -------------------------------------------------------------------
PKGS="vsftpd pure-ftpd proftpd-core libwrap0 libhiredis0.14 libmemcached11 libmemcachedutil2
      libhashkit2 libpcre2-posix3 python3-pyftpdlib proftpd-mod-crypto"
if [ ! -x "$WORK/peers/usr/sbin/proftpd" ] || [ ! -f "$WORK/peers/usr/lib/proftpd/mod_tls.so" ] || [ ! -d "$WORK/peers/usr/lib/python3/dist-packages/pyftpdlib" ]; then
  (cd "$WORK/debs" && apt-get download $PKGS >/dev/null 2>&1)
  for d in "$WORK"/debs/*.deb; do dpkg -x "$d" "$WORK/peers"; done
fi

exec python3 "$HERE/peers.py" --vantor "$BUILD/tests/e2e/vantor-e2e-server" \
  --peers "$WORK/peers" --work "$WORK" "$@"
