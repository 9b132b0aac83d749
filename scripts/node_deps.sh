#!/usr/bin/env bash
# Installs the pinned npm packages of the tests' node UPnP client
# (tests/node_client) into BUILD/tests/node_client/node_modules with `npm
# ci`, never into the source tree. Does nothing when the lock file is the one
# installed last time.
#   scripts/node_deps.sh BUILD
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dest=$1/tests/node_client
lock=$top/tests/node_client/package-lock.json
if [[ -f $dest/installed.lock ]] && cmp -s "$lock" "$dest/installed.lock"; then
  exit 0
fi
command -v npm >/dev/null || { echo "npm is missing: scripts/deps.sh installs it" >&2; exit 1; }
mkdir -p "$dest"
cp "$top/tests/node_client/package.json" "$lock" "$dest/"
rm -f "$dest/installed.lock"
(cd "$dest" && npm ci --no-audit --no-fund --loglevel=error >&2)
cp "$lock" "$dest/installed.lock"
