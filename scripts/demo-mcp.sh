#!/usr/bin/env bash
# The MCP demonstration: installs what it needs, builds qor-native, qor-mcp and the GTK fixture,
# installs the MCP TypeScript SDK client (tools/mcp-demo, pinned by its package-lock.json), then
# runs that client in a private desktop session. The client starts qor-mcp exactly as an
# assistant's MCP client does, and qor-mcp starts qor-native; every tool call and its answer is
# printed, and the capture it receives is kept in build/demo.
# Exits 0 when every step answered as expected.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/demo
capture=$build/demo-mcp-capture.png

fail() {
  echo "demo-mcp: $1" >&2
  exit 1
}

bash scripts/dependencies.sh || fail "could not install the Debian packages it needs"

echo "Building qor-native, qor-mcp and the fixture in build/demo (a few minutes the first time) ..."
mkdir -p "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log" >&2; fail "configuring the build failed"; }
cmake --build "$build" --target qor-native qor-mcp qor_fixture -j "$(nproc)" \
  >"$build/build.log" 2>&1 ||
  { cat "$build/build.log" >&2; fail "the build failed"; }

echo "Installing the MCP client (npm ci in tools/mcp-demo) ..."
(cd tools/mcp-demo && npm ci --no-audit --no-fund --loglevel=error) ||
  fail "npm could not install the MCP SDK"

rm -f "$capture"
status=0
bash scripts/desktop-session.sh -- node tools/mcp-demo/demo_client.mjs "$build/qor-mcp" \
  "$build/tests/fixture/qor_fixture" "$capture" || status=$?
case $status in
  0) ;;
  125) fail "the private desktop session (Xvfb, D-Bus, accessibility bus, openbox) did not start" ;;
  *) fail "the demonstration stopped (status $status); the reason is printed above" ;;
esac
