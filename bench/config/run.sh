#!/usr/bin/env bash
# Builds and runs the INI layer benchmark (Release) and prints its figures.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j2 --target bench_config_ini >/dev/null
build/release/bench/config/bench_config_ini
