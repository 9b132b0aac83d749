#!/usr/bin/env bash
# Takes the README's screenshots from the real program on a private X server
# with a window manager and a tray: each page of the sheet, the folder dialog,
# the media-type dialog, and the drop window taking a link dragged onto it.
# Writes docs/images/*.png.
#   bash scripts/screenshots.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
harness=${TARVEL_DESKTOP_HARNESS:-$top/../shared/desktop/harness.sh}
bash "$top/scripts/build.sh"
need=(xvfb xdotool x11-utils x11-xserver-utils imagemagick openbox trayer python3-xlib python3-gi gir1.2-gtk-3.0 fonts-dejavu-core)
missing=()
for p in "${need[@]}"; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p"); done
if ((${#missing[@]})); then
  echo "screenshots: installing ${missing[*]}" >&2
  ${SUDO:-$( [[ $(id -u) -ne 0 ]] && echo sudo)} apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

work=/tmp/tarvel-screens
rm -rf "$work"; mkdir -p "$work"
export XDG_RUNTIME_DIR=$work/run HOME=$work/home
# The media server the panel starts answers on loopback only.
export TARVEL_SERVER_INTERFACE=lo
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
mkdir -p "$HOME/Music/Jazz" "$HOME/Music/Rock" "$HOME/Pictures/Holiday" "$HOME/Videos" "$work/data"
for f in "$HOME/Music/Jazz/"{a,b,c}.mp3 "$HOME/Pictures/Holiday/"{1,2}.jpg "$HOME/Videos/film.avi"; do echo x > "$f"; done
tarvel=$top/build/src/tarvel
"$tarvel" --data-dir "$work/data" share "$HOME/Music" >/dev/null
"$tarvel" --data-dir "$work/data" share "$HOME/Pictures" >/dev/null
out=$top/docs/images
mkdir -p "$out"
# The drop window beside the sheet rather than over it; two stations stored.
mkdir -p "$HOME/.config" "$work/data/RadioList" "$work/www"
printf '[DragWindow]\nLeft=880\nTop=120\nVisible=1\n' > "$HOME/.config/tarvel.ini"
printf '[playlist]\r\nTitle1=(#1 - 10/200) Jazz  Hits\r\n' > "$work/data/RadioList/Jazz  Hits.pls"
printf '[playlist]\r\nTitle1=(#2 - 7/90) Classic Rock\r\n' > "$work/data/RadioList/Classic Rock.pls"
# A third one comes from a playlist link dropped on the drop window.
printf '[playlist]\nFile1=http://127.0.0.1:1/\nTitle1=(#3 - 1/50) Ambient: Calm\n' > "$work/www/tunein.pls"
(cd "$work/www" && exec /usr/bin/python3 -u -m http.server 0 --bind 127.0.0.1 >"$work/www.log" 2>&1) &
www=$!

. "$harness"
# The clean-up goes on past a process that has already ended.
trap 'set +e; desk_stop; kill $www 2>/dev/null; rm -rf "$work"' EXIT
desk_start
# In the harness's runtime folder, so that the panel finds the server that
# the rename starts and takes it over (instead of leaving it running).
"$tarvel" --data-dir "$work/data" rename "Living Room" >/dev/null 2>&1 || true
xsetroot -solid '#3a5f8a'
desk_run_app "$work/app.log" "$tarvel" --data-dir "$work/data"
win=$(desk_win '^Tarvel Media Server$')
sleep 1
desk_shot "$out/shared-folders.png" "$win"
desk_key "$win" ctrl+Tab; sleep 0.4; desk_shot "$out/server-name.png" "$win"
desk_key "$win" ctrl+Tab; sleep 0.4; desk_shot "$out/about.png" "$win"
desk_key "$win" ctrl+Tab; sleep 0.4; desk_shot "$out/radio-stations.png" "$win"
# A real drag of a link from another program onto the drop window; the page
# lists the new station by itself.
port=$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$work/www.log" | head -1)
drop=$(desk_win '^Tarvel Drop Window$')
# (in a command substitution: the harness's own clean-up there may fail)
dropped=$(desk_drop_url "http://127.0.0.1:$port/tunein.pls?id=3&file=tunein.pls" "$drop")
echo "screenshots: drag source says: $dropped" >&2
for _ in $(seq 50); do [[ -f "$work/data/RadioList/Ambient  Calm.pls" ]] && break; sleep 0.1; done
sleep 0.5
desk_shot "$out/drop-window.png"
desk_key "$win" ctrl+Tab; sleep 0.4
# Add: the folder dialog, then (after OK on a folder) the media-type dialog.
desk_key "$win" alt+a
dlg=$(desk_win '^Scandisk to search for media files$')
sleep 0.5
desk_shot "$out/folder-dialog.png" "$dlg"
desk_key "$dlg" Down Down Return
types=$(desk_win '^Dialog$')
sleep 0.5
desk_shot "$out/media-types.png" "$types"
desk_key "$types" Escape
echo "screenshots in $out" >&2
