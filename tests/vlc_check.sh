#!/usr/bin/env bash
# By-hand check, not part of the suite (whose VLC test browses and plays;
# this one seeks): VLC plays a 30-minute MP3 from MediaServer and seeks to
# 25:00 in it, which it does with a second, ranged GET. Runs inside a
# private network namespace made by ns.sh; VLC refuses root, so it runs as
# "nobody". Needs root and the Debian packages vlc-bin and vlc-plugin-base.
#   tests/vlc_check.sh [build folder]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
ns=${TARVEL_NS_SH:-$top/../shared/upnp/ns.sh}
[[ -r $ns ]] || ns=/work/shared/upnp/ns.sh
command -v cvlc >/dev/null || { echo "needs the packages vlc-bin and vlc-plugin-base" >&2; exit 1; }
work=$(mktemp -d /tmp/tarvel-vlc.XXXXXX)
chmod 755 "$work"
export NS_PIDFILE=$work/ns.pid XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$work/run" "$work/ours"
mkdir -p "$work/media" "$work/home"
chown nobody "$work/home"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  sleep 0.5
  bash "$ns" stop || true
  rm -rf "$work"
}
trap cleanup EXIT

# 30 minutes of 128 kbit/s silence.
/usr/bin/python3 -c "
frame = b'\xff\xfb\x90\x00' + b'\x00' * 413
open('$work/media/song.mp3', 'wb').write(frame * int(1800 * 44100 / 1152))"
chmod -R a+rX "$work/media"
(cd "$work/ours" && "$build/src/tarvel" share "$work/media" >/dev/null)
bash "$ns" start >/dev/null
(cd "$work/ours" && exec bash "$ns" exec "$build/src/MediaServer" --interface lo --port 49200) \
  2>"$work/server.log" &
pids+=($!)
sleep 2
hash=$(/usr/bin/python3 -c "
h = 0xcbf29ce484222325
for c in '$work/media/song.mp3'.encode(): h = ((h ^ c) * 0x100000001b3) & 0xffffffffffffffff
print('%016x' % h)")
(sleep 3; echo get_length; echo seek 1500; sleep 2; echo get_time; echo is_playing; sleep 1; echo quit) |
  timeout 30 bash "$ns" exec runuser -u nobody -- env HOME="$work/home" \
    cvlc -I rc --rc-fake-tty --aout dummy --no-video -vv "http://127.0.0.1:49200/media/$hash.mp3" \
    >"$work/vlc.out" 2>&1 || true
numbers=($(grep -aE '^(> )?[0-9]+\s*$' "$work/vlc.out" | tr -dc '0-9\n'))
ranges=$(grep -aE '^Range: bytes=[1-9]' "$work/vlc.out" || true)
echo "length ${numbers[0]:-?} s, time after seeking to 1500 s: ${numbers[1]:-?} s, playing: ${numbers[2]:-?}"
echo "ranged request for the seek: ${ranges:-none}"
if [[ ${numbers[0]:-0} -ge 1790 && ${numbers[1]:-0} -ge 1500 && ${numbers[2]:-0} == 1 && -n $ranges ]]; then
  echo "VLC played and seeked"
else
  echo "VLC did not play and seek as expected; its log:" >&2
  tail -50 "$work/vlc.out" >&2
  exit 1
fi
