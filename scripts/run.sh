#!/usr/bin/env bash
# Builds vantor alone (Release; no tests, no GUI) and starts it on the example
# configuration. Its own build folder, build/server, so the test suite's
# build/release keeps its settings.
set -euo pipefail
cd "$(dirname "$0")/.."
VANTOR_DEPS=server bash scripts/deps.sh
cmake -S . -B build/server -DCMAKE_BUILD_TYPE=Release -DVANTOR_TESTS=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON >/dev/null
cmake --build build/server -j"$(nproc)" --target vantor
VANTOR_BIN="$PWD/build/server/app/vantor" exec bash examples/run-example.sh "$@"
