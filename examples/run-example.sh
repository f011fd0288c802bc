#!/usr/bin/env bash
# Starts vantor on the example configuration. The configuration is copied to
# build/example/VANTOR.INI (the server writes to its configuration file) with
# the [DRIVES] roots made absolute; an existing copy is kept, so changes made
# while it runs survive a restart. Remove build/example to start afresh.
#   examples/run-example.sh [vantor options]   (VANTOR_BIN: the program)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
bin="${VANTOR_BIN:-$root/build/release/app/vantor}"
run="$root/build/example"
mkdir -p "$run"
if [ ! -f "$run/VANTOR.INI" ]; then
  sed "s|^C=ftproot\$|C=$here/ftproot|" "$here/vantor.ini" > "$run/VANTOR.INI.new"
  chmod 600 "$run/VANTOR.INI.new"
  mv "$run/VANTOR.INI.new" "$run/VANTOR.INI"
fi
exec "$bin" "$@" "$run/VANTOR.INI"
