#!/usr/bin/env bash
# Builds, then runs every test: first in build/, then the same suite built
# with AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/.
# TARVEL_NO_ASAN=1 skips the second run. Arguments go to both ctest runs.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/build.sh"
bash "$top/scripts/node_deps.sh" "$top/build"
export QT_QPA_PLATFORM=offscreen
(cd "$top/build" && ctest --output-on-failure -j"$(nproc)" "$@")
[[ "${TARVEL_NO_ASAN:-}" == 1 ]] && exit 0
if [[ ! -f "$top/build-asan/build.ninja" ]]; then
  cmake -S "$top" -B "$top/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVEL_SANITIZE=ON >&2
fi
cmake --build "$top/build-asan" >&2
bash "$top/scripts/node_deps.sh" "$top/build-asan"
# Any report fails its test: sanitizers stop the program at the first one.
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
(cd "$top/build-asan" && ctest --output-on-failure -j"$(nproc)" "$@")
