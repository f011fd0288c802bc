#!/usr/bin/env bash
# Saves the GUI screenshots into docs/ (or the directory given) under Xvfb.
set -euo pipefail
root="$(cd "$(dirname "$0")/../../.." && pwd)"
build="${BUILD_DIR:-$root/build-gui}"
out="${1:-$root/docs}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target gui_screenshot >/dev/null
xvfb-run -a -s "-screen 0 1280x800x24" "$build/tests/gui/gui_screenshot" "$out"
