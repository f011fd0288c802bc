#!/usr/bin/env bash
# Builds and runs the whole test suite twice: Release (warnings are errors),
# then with AddressSanitizer + UndefinedBehaviorSanitizer (halt on the first
# error). Then the unit tests under ThreadSanitizer, and every fuzz target
# for a bounded time (scripts/fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs="$(nproc)"
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
for cfg in release asan; do
  echo "=== $cfg build"
  if [ "$cfg" = asan ]; then
    opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTOR_SANITIZE=ON)
    # The 5 GiB round trip runs in the Release pass; under the sanitizers it
    # would take most of the run for no extra finding.
    export VANTOR_E2E_QUICK=1
  else
    opts=(-DCMAKE_BUILD_TYPE=Release -DVANTOR_WERROR=ON)
  fi
  cmake -S . -B "build/$cfg" "${opts[@]}" >/dev/null
  cmake --build "build/$cfg" -j"$jobs"
  (cd "build/$cfg" && ctest --output-on-failure -j"$jobs" --timeout 300)
done

# The worker pool, the resolver, the directory cache's watch worker and the
# spawn reaper run off the loop thread: the unit tests exercise them under
# ThreadSanitizer. Only the unit test binaries are built (no front end); each
# runs whole, one process per binary.
echo "=== tsan build (unit tests)"
units=(util platform net config log accounts fs ftp)
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTOR_TSAN=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON >/dev/null
cmake --build build/tsan -j"$jobs" --target "${units[@]/#/test_}"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp"
for u in "${units[@]}"; do
  echo "--- test_$u under tsan"
  (cd build/tsan/tests && "./test_$u" --gtest_brief=1)
done

# Every fuzz target for 20 s; the session target must log in first (it
# prints the line below), so a link that loses the commands fails here.
echo "=== fuzz smoke"
bash scripts/fuzz 20
grep -q "ftp_session: login reached" build-fuzz/fuzz_ftp_session.log ||
  { echo "ftp_session fuzz target did not log in" >&2; exit 1; }

echo "all tests passed"
