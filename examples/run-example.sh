#!/usr/bin/env bash
# Starts vantor on the example configuration. The configuration and its tree
# are copied to build/example/ (VANTOR.INI and ftproot/): the server writes to
# its configuration file, and uploads land in the copy, never in the source
# tree. An existing copy is kept, so changes made while it runs survive a
# restart. Remove build/example to start afresh.
#   examples/run-example.sh [vantor options]
#   VANTOR_BIN: the program; VANTOR_PORT: another port than 2121.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
bin="${VANTOR_BIN:-$root/build/release/app/vantor}"
run="$root/build/example"
mkdir -p "$run"
if [ ! -d "$run/ftproot" ]; then
  cp -a "$here/ftproot" "$run/ftproot.new"
  mv "$run/ftproot.new" "$run/ftproot"
fi
if [ ! -f "$run/VANTOR.INI" ]; then
  # C=ftproot is relative to the file's folder: the copy above.
  cp "$here/vantor.ini" "$run/VANTOR.INI.new"
  chmod 600 "$run/VANTOR.INI.new"
  mv "$run/VANTOR.INI.new" "$run/VANTOR.INI"
fi
if [ ! -f "$run/tls/cert.pem" ] && command -v openssl >/dev/null; then
  # A self-signed certificate for the example's TLS, made once.
  mkdir -p "$run/tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 825 \
    -subj "/CN=localhost" -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
    -keyout "$run/tls/key.pem" -out "$run/tls/cert.pem" 2>/dev/null
  chmod 600 "$run/tls/key.pem"
fi
if [ -n "${VANTOR_PORT:-}" ]; then
  sed -i "s|^PortNr=.*\$|PortNr=$VANTOR_PORT|" "$run/VANTOR.INI"
fi
exec "$bin" "$@" "$run/VANTOR.INI"
