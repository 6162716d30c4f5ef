#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer) in
# build-fuzz and runs each for a bounded time, starting from a copy of its seed corpus.
#
#   bash scripts/fuzz.sh [seconds per target] [target ...]
#
# Defaults: 60 seconds, every target (bridge_fuzzer, wire_fuzzer, dbus_wire_fuzzer). Exits non-zero
# when a target crashes, leaks, hangs or breaks one of its checks; the input that did it is kept in
# build-fuzz/artifacts/. docs/FUZZING.md explains longer runs.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift $(($# > 0 ? 1 : 0))
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(bridge_fuzzer wire_fuzzer dbus_wire_fuzzer)
fi

# Longest input per target: a bridge input holds a whole session of request lines.
declare -A max_len=([bridge_fuzzer]=8192 [wire_fuzzer]=4096 [dbus_wire_fuzzer]=4096)
declare -A corpus=([bridge_fuzzer]=fuzz/corpus/bridge [wire_fuzzer]=fuzz/corpus/wire
  [dbus_wire_fuzzer]=fuzz/corpus/dbus)

echo "== fuzz: configure and build"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_FUZZ=ON -DQOR_WERROR=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz --target "${targets[@]}" -j "$(nproc)"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/qor-fuzz-run-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -p build-fuzz/artifacts

failed=0
for target in "${targets[@]}"; do
  echo "== fuzz: $target for ${seconds}s"
  work="$scratch/$target"
  mkdir -p "$work"
  cp -r "${corpus[$target]}/." "$work/"
  status=0
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "build-fuzz/fuzz/$target" "$work" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
    -dict=fuzz/bridge.dict -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/artifacts/$target-" 2>"$scratch/$target.log" || status=$?
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::' "$scratch/$target.log" || true
  if ((status != 0)); then
    failed=1
    echo "!! $target failed (status $status); the last lines of its log:"
    tail -n 60 "$scratch/$target.log"
    ls -1 build-fuzz/artifacts/"$target"-* 2>/dev/null || true
  fi
done
exit "$failed"
