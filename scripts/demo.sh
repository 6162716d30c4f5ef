#!/usr/bin/env bash
# Builds the bridge and shows it answering requests: capabilities, permissions, an unknown method.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/dependencies.sh
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-demo --target qor-native -j "$(nproc)"

printf '%s\n' \
  '{"id":1,"method":"capabilities"}' \
  '{"id":2,"method":"permissions.status"}' \
  '{"id":3,"method":"no.such.method"}' |
  ./build-demo/qor-native
