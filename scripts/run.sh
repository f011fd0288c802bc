#!/usr/bin/env bash
# Builds vantor (Release) and starts it on the example configuration.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVANTOR_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)" --target vantor
exec bash examples/run-example.sh "$@"
