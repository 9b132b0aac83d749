#!/usr/bin/env bash
# Builds, then starts tarvel with the given arguments.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/build.sh"
exec "$top/build/src/tarvel" "$@"
