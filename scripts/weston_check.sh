#!/usr/bin/env bash
# Looks at the drop window under weston (headless, CPU renderer, its own X
# window manager for XWayland), once natively on Wayland and once through
# XWayland: takes a screenshot of each and says where the skin was found,
# what its four corners show, and how many pixels of the skin's key colour
# the screen holds (0 when the window is round). Screenshots are kept in
# OUT (default: a fresh folder under /tmp, named at the end).
#   sudo bash scripts/weston_check.sh [OUT]
# Runs as root in private network and mount namespaces: the panel's media
# server announces itself, and that must reach no real network.
# Packages: weston xwayland qt6-wayland imagemagick xdotool python3.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
tarvel=${TARVEL:-$top/build/src/tarvel}
out=${1:-$(mktemp -d /tmp/tarvel-weston.XXXXXX)}
mkdir -p "$out"; out=$(cd "$out" && pwd)

if [[ -z "${TARVEL_WESTON_INSIDE:-}" ]]; then
  [[ $(id -u) -eq 0 ]] || { echo "weston_check: run as root (it needs unshare)" >&2; exit 1; }
  [[ -x $tarvel ]] || { echo "weston_check: no $tarvel; build first" >&2; exit 1; }
  TARVEL_WESTON_INSIDE=1 exec unshare --net --mount --pid --fork --mount-proc -- bash "$0" "$out"
fi

ip link set lo up
work=$(mktemp -d /tmp/tarvel-weston-run.XXXXXX)
# The X sockets XWayland makes stay in this namespace.
mount -t tmpfs tmpfs /tmp/.X11-unix 2>/dev/null || { mkdir -p /tmp/.X11-unix; mount -t tmpfs tmpfs /tmp/.X11-unix; }
pids=()
cleanup() {
  set +e
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

export XDG_RUNTIME_DIR=$work/run HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
export TARVEL_SERVER_INTERFACE=lo
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
mkdir -p "$XDG_CONFIG_HOME" "$work/data"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
bg=3a5f8a
cat > "$work/weston.ini" <<EOF
[core]
xwayland=true
[shell]
background-color=0xff$bg
panel-position=none
locking=false
EOF

wait_for() {  # SECONDS COMMAND...: until COMMAND succeeds
  local n=$(( $1 * 10 )); shift
  for _ in $(seq "$n"); do "$@" && return 0; sleep 0.1; done
  return 1
}

weston --backend=headless-backend.so --use-pixman --width=1920 --height=1200 --debug \
  --socket=tarvel-weston --config="$work/weston.ini" --log="$work/weston.log" &
pids+=($!)
wait_for 10 test -S "$XDG_RUNTIME_DIR/tarvel-weston" || { cat "$work/weston.log" >&2; exit 1; }
export WAYLAND_DISPLAY=tarvel-weston
# XWayland starts with the first X client; its display is the socket weston listens on.
wait_for 10 bash -c 'ls /tmp/.X11-unix | grep -q "^X"' || true
x=$(ls /tmp/.X11-unix | sed -n 's/^X//p' | head -1)
[[ -n $x ]] || { echo "weston_check: weston made no X display" >&2; cat "$work/weston.log" >&2; exit 1; }

skin=$top/res/images/158.png
measure() {  # NAME: screenshot, then the skin's place and corners
  local name=$1 shot
  (cd "$work" && rm -f wayland-screenshot-*.png && weston-screenshooter >/dev/null 2>&1)
  shot=$(ls "$work"/wayland-screenshot-*.png 2>/dev/null | head -1)
  [[ -n $shot ]] || { echo "$name: no screenshot" >&2; return 1; }
  mv "$shot" "$out/$name.png"
  /usr/bin/python3 - "$out/$name.png" "$skin" "$bg" "$name" <<'EOF'
import subprocess, sys
def load(path):
    ppm = subprocess.run(["/usr/bin/convert", path, "ppm:-"], capture_output=True, check=True).stdout
    parts = ppm.split(maxsplit=4)
    w, h = int(parts[1]), int(parts[2])
    data = parts[4]
    return w, h, lambda x, y: tuple(data[3 * (y * w + x):3 * (y * w + x) + 3])
shot_path, skin_path, bg, name = sys.argv[1:]
W, H, at = load(shot_path)
sw, sh, sk = load(skin_path)
key = sk(0, 0)
inside = [(x, y) for y in range(sh) for x in range(sw) if sk(x, y) != key]
probe = [inside[len(inside) // 2], inside[0], inside[-1]]
found = None
for y in range(H - sh + 1):
    for x in range(W - sw + 1):
        if all(at(x + px, y + py) == sk(px, py) for px, py in probe) and \
           all(at(x + px, y + py) == sk(px, py) for px, py in inside):
            found = (x, y); break
    if found: break
keyed = sum(1 for y in range(H) for x in range(W) if at(x, y) == key)
hexc = lambda c: "%02x%02x%02x" % c
if not found:
    print(f"{name}: skin not found on screen; {keyed} key-colour pixels")
    sys.exit(0)
x, y = found
corners = [at(x + cx, y + cy) for cx, cy in ((0, 0), (sw - 1, 0), (0, sh - 1), (sw - 1, sh - 1))]
desk = sum(1 for c in corners if hexc(c) == bg)
print(f"{name}: skin at ({x}, {y}); corners {' '.join(hexc(c) for c in corners)} "
      f"({desk} of 4 the desktop's {bg}); {keyed} key-colour ({hexc(key)}) pixels on screen")
EOF
}

run_panel() {  # NAME PLATFORM
  local name=$1 platform=$2 p
  rm -rf "$work/data"; mkdir -p "$work/data"
  printf '[DragWindow]\nLeft=700\nTop=500\nVisible=1\n' > "$XDG_CONFIG_HOME/tarvel.ini"
  if [[ $platform == xcb ]]; then
    DISPLAY=:$x QT_QPA_PLATFORM=xcb "$tarvel" --data-dir "$work/data" >"$work/$name.log" 2>&1 &
  else
    QT_QPA_PLATFORM=wayland "$tarvel" --data-dir "$work/data" >"$work/$name.log" 2>&1 &
  fi
  p=$!; pids+=($p)
  sleep 3  # no event says the compositor has drawn both windows
  # Under X the sheet is moved off the drop window, so that its corners
  # are seen against the desktop.
  [[ $platform == xcb ]] && DISPLAY=:$x xdotool search --name '^Tarvel Media Server$' \
    windowmove 900 300 >/dev/null 2>&1 && sleep 1
  measure "$name" || true
  kill "$p" 2>/dev/null; wait "$p" 2>/dev/null || true
}

# Natively the compositor places both windows, the sheet above: the drop
# window shows only where the sheet left it room, so a few tries.
for try in 1 2 3 4; do
  run_panel native-wayland wayland | tee "$work/result"
  grep -q 'skin at' "$work/result" && break
done
run_panel xwayland xcb
echo "weston_check: screenshots in $out" >&2
