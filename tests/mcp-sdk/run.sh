#!/usr/bin/env bash
# Installs the pinned MCP SDK and ajv (package-lock.json) when missing, then runs sdk_test.mjs on
# a private desktop session.   run.sh QOR_MCP FIXTURE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [[ ! -d "$here/node_modules/@modelcontextprotocol/sdk" || ! -d "$here/node_modules/ajv" ]]; then
  (cd "$here" && npm ci --no-audit --no-fund --loglevel=error) >&2
fi
exec bash "$here/../../scripts/desktop-session.sh" -- node "$here/sdk_test.mjs" "$@"
