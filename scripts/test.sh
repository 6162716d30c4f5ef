#!/usr/bin/env bash
# Builds and runs every test, twice: with g++ (warnings as errors), and with clang++ (warnings as
# errors) under AddressSanitizer and UndefinedBehaviorSanitizer. Installs missing packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/dependencies.sh

jobs=$(nproc)

run_pass() {
  local name=$1
  shift
  echo "== $name: configure and build"
  cmake -S . -B "build-ci/$name" -G Ninja -DQOR_WERROR=ON "$@" >/dev/null
  cmake --build "build-ci/$name" -j "$jobs"
  echo "== $name: test"
  (cd "build-ci/$name" && ctest --output-on-failure -j "$jobs" --timeout 600)
}

run_pass gcc -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc \
  -DCMAKE_INSTALL_PREFIX=/usr
echo "== gcc: Debian package"
bash scripts/package.sh build-ci/gcc
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_pass clang-sanitizers -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_COMPILER=clang -DQOR_SANITIZE=ON
bash scripts/fuzz.sh 60  # every fuzz target for a minute from its seeds (docs/FUZZING.md)
