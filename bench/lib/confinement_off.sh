#!/bin/sh
# vantor-e2e-server with Confinement=off added to the [GLOBAL] of its INI:
# the unconfined side of a paired run. Give it as the --baseline of
# bench/peers/run.sh or bench/login/run.sh, with VANTOR_E2E_SERVER naming
# the server the run measures:
#   VANTOR_E2E_SERVER=build-bench/tests/e2e/vantor-e2e-server \
#     bench/peers/run.sh --quick --baseline bench/lib/confinement_off.sh
# Arguments as the server's: [--quiet] <ini>.
set -eu
quiet=
if [ "$1" = --quiet ]; then quiet=--quiet; shift; fi
off="$1.off.ini"
sed 's/^\[GLOBAL\]$/[GLOBAL]\nConfinement=off/' "$1" >"$off"
exec "$VANTOR_E2E_SERVER" $quiet "$off"
