#!/usr/bin/env bash
# Every speed and memory target, measured in one run: each benchmark's
# figure beside its target, and a last line that names those that fall short.
#   bench/run_all.sh [build folder]
# TARVEL_BENCH_LARGE sets the large tree (300000 files by default).
# As root: TARVEL_BENCH_COLD=1 adds the share on a cold page cache, and the
# Browse comparison with MiniDLNA runs (bench/upnp_bench.sh, in a private
# network namespace; needs the minidlna package).
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
large=${TARVEL_BENCH_LARGE:-300000}
log=$(mktemp /tmp/tarvel-bench.XXXXXX)
trap 'rm -f "$log"' EXIT
rows=() short=()

# figure NAME VALUE OP TARGET UNIT: one row of the table.
figure() {
  local name=$1 value=$2 op=$3 target=$4 unit=$5 met
  if [[ -z $value ]]; then
    met="not measured" value="-" unit=""
  elif awk -v v="$value" -v t="$target" -v op="$op" \
      'BEGIN { exit !((op == "<" && v < t) || (op == "<=" && v <= t)) }'; then
    met="met"
  else
    met="SHORT"
    short+=("$name")
  fi
  rows+=("$(printf '| %-58s | %10s%s | %s %s%s | %s |' "$name" "$value" "$unit" "$op" "$target" "$unit" "$met")")
}

# pick PATTERN: the first number after PATTERN in the last benchmark's output.
pick() { grep -oP "$1\\s*\\K[0-9.]+" "$log" | head -1; }

run() { echo "== $*" >&2; "$@" >"$log" 2>&1; cat "$log" >&2; }

for n in 20000 "$large"; do
  # On a warm page cache, whatever the caller's environment says: the cold
  # cache has its own row below.
  run env -u TARVEL_BENCH_COLD "$build/bench/bench_scan" "$n"
  figure "share / single-thread floor, $n files" "$(pick 'share / \(enumeration \+ tags\) time:')" "<=" 1.0 x
  figure "rescan / share, $n files" "$(pick 'rescan / share time:')" "<=" 1.0 x
  figure "peak memory of the share, $n files" "$(pick 'peak resident size of tarvel:')" "<" 50 " MB"
done
if [[ ${TARVEL_BENCH_COLD:-} == 1 ]]; then
  run env TARVEL_BENCH_COLD=1 "$build/bench/bench_scan" 20000
  figure "share / floor on a cold cache, 20000 files" "$(pick 'share / \(enumeration \+ tags\) time:')" "<=" 1.3 x
fi
run "$build/bench/bench_catchup" "$large"
figure "catch-up with nothing changed / share, $large files" "$(pick 'nothing changed:\s*[0-9.]+ s\s*\(')" "<" 0.1 x
run "$build/bench/bench_monitor"
figure "change to row, median" "$(pick 'files: median')" "<" 5 " ms"
run env QT_QPA_PLATFORM=offscreen "$build/bench/bench_panel" 100000 200
figure "list of 100,000 rows in 200 folders loaded" "$(pick 'engine list load alone:')" "<" 50 " ms"
figure "sheet open with that list shown" "$(pick 'sheet open \(built, list loaded, shown\):')" "<" 1000 " ms"
if [[ $(id -u) == 0 ]] && command -v minidlnad >/dev/null; then
  for art in "" --art; do
    run bash "$top/bench/upnp_bench.sh" $art "$build"
    for order in unsorted "sorted by title"; do
      ours=$(grep -oP "^MediaServer: Browse $order,.*median \\K[0-9.]+" "$log" | head -1)
      peer=$(grep -oP "^MiniDLNA: Browse $order,.*median \\K[0-9.]+" "$log" | head -1)
      ratio=""
      [[ -n $ours && -n $peer ]] && ratio=$(awk -v a="$ours" -v b="$peer" 'BEGIN { printf "%.2f", a / b }')
      if [[ -z $art ]]; then
        figure "Browse of 10,000 items $order / MiniDLNA, a page" "$ratio" "<" 1.0 x
      else
        figure "Browse, 10,000 items with album art, $order / MiniDLNA" "$ratio" "<=" 1.0 x
      fi
    done
  done
else
  figure "Browse of 10,000 items / MiniDLNA (needs root and minidlna)" "" "<" 1.0 x
fi

echo
echo "| measure | measured | target | |"
echo "|---|---|---|---|"
printf '%s\n' "${rows[@]}"
if ((${#short[@]})); then
  echo "falls short: $(IFS=';'; echo "${short[*]}")"
  exit 1
fi
echo "every measured target met"
