# Sourced by the run.sh scripts that drive vantor-e2e-server: with HERE set
# to the script's folder, sets ROOT, WORK and BUILD (VANTOR_BENCH_DIR and
# VANTOR_BUILD_DIR override the last two), makes WORK and builds the server
# in Release without the GUI.
ROOT=$(cd "$HERE/../.." && pwd)
WORK=${VANTOR_BENCH_DIR:-$HERE/work}
BUILD=${VANTOR_BUILD_DIR:-$ROOT/build-bench}
mkdir -p "$WORK"

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON >/dev/null
cmake --build "$BUILD" -j2 --target vantor-e2e-server >/dev/null
