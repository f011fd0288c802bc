#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when missing.
#   VANTOR_DEPS=server  only what building and running vantor needs
#                       (scripts/run.sh);
#   otherwise           everything the test suite needs (scripts/test.sh).
set -euo pipefail
mode="${VANTOR_DEPS:-all}"
# The server: compiler, CMake and the libraries it links.
need=(build-essential cmake g++ libcrypt-dev libpq-dev libseccomp-dev libsystemd-dev libssl-dev openssl
      pkg-config libmicrohttpd-dev nlohmann-json3-dev libcurl4-openssl-dev)
if [ "$mode" != server ]; then
  # The tests: the compiler cache, GoogleTest, the real clients, the man pages.
  need+=(ccache libgtest-dev python3 curl lftp tnftp scdoc)
  # promtool checks the metrics text; fail2ban-regex the fail2ban filter.
  need+=(prometheus fail2ban)
  # The administration endpoint's test: its OpenAPI file read and applied.
  need+=(python3-yaml python3-jsonschema)
  # A real PostgreSQL for the cluster store's tests (started by the tests).
  need+=(postgresql)
  # Node and npm for basic-ftp (below), from Debian when none is on the PATH.
  command -v npm >/dev/null || need+=(nodejs npm)
  # The fuzz smoke run of scripts/test.sh: clang and its libFuzzer runtime.
  need+=(clang libclang-rt-dev)
  if [ "${VANTOR_WITH_GUI:-1}" = 1 ]; then
    need+=(qt6-base-dev xvfb xauth)
  fi
fi
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# Node's basic-ftp for the e2e suite's real-client uploads, in a folder of
# its own (never the system's node_modules), only when missing. The same
# folder is where tests/e2e/e2e_transfer_clients.py looks for it.
node_dir="${VANTOR_NODE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/vantor/node}"
if [ "$mode" != server ] && command -v npm >/dev/null && [ ! -f "$node_dir/node_modules/basic-ftp/package.json" ]; then
  echo "installing: basic-ftp (npm) into $node_dir"
  mkdir -p "$node_dir"
  npm install --prefix "$node_dir" --no-audit --no-fund --silent basic-ftp
fi
