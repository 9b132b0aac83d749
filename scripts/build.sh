#!/usr/bin/env bash
# Configures (once) and builds incrementally into build/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"
if [[ ! -f "$top/build/build.ninja" ]]; then
  cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
fi
cmake --build "$top/build" >&2
