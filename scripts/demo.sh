#!/usr/bin/env bash
# The demonstration: installs what it needs, builds the bridge, the GTK fixture and the
# demonstration controller (tools/demo), then runs the controller in a private desktop session.
# The controller starts the fixture and the bridge, talks to the bridge through its pipes and
# prints every request and response; the window capture it takes is kept in build/demo.
# Exits 0 when every step answered as expected.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/demo
capture=$build/demo-capture.png

fail() {
  echo "demo: $1" >&2
  exit 1
}

bash scripts/dependencies.sh || fail "could not install the Debian packages it needs"

echo "Building the bridge, the fixture and the demonstration controller in build/demo" \
  "(a few minutes the first time) ..."
mkdir -p "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log" >&2; fail "configuring the build failed"; }
cmake --build "$build" --target qor-native qor_fixture qor-demo -j "$(nproc)" \
  >"$build/build.log" 2>&1 ||
  { cat "$build/build.log" >&2; fail "the build failed"; }

rm -f "$capture"
status=0
bash scripts/desktop-session.sh -- "$build/tools/demo/qor-demo" "$build/qor-native" \
  "$build/tests/fixture/qor_fixture" "$capture" || status=$?
case $status in
  0) ;;
  125) fail "the private desktop session (Xvfb, D-Bus, accessibility bus, openbox) did not start" ;;
  *) fail "the demonstration stopped (status $status); the reason is printed above" ;;
esac
