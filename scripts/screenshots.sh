#!/usr/bin/env bash
# Takes the README's screenshots from the real program on a private X server
# with a window manager and a tray: each page of the sheet, the folder dialog,
# the media-type dialog, and the drop window taking a link dragged onto it.
# Writes docs/images/*.png.
#   sudo bash scripts/screenshots.sh
# The program runs as a user would see it: in private mount, network and
# process namespaces, chrooted into an overlay of this system's root whose
# /home holds only a believable user's home (/home/alex with Music, Pictures
# and Videos) and whose /tmp, /mnt, /media, /root and the build tree are
# empty or gone, so that no path of the build machine shows in the folder
# dialog or the list; the programs are copied in.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
harness=${TARVEL_DESKTOP_HARNESS:-$top/../shared/desktop/harness.sh}

case "${1:-}" in
  --in-namespace) stage=namespace ;;
  --in-root) stage=root ;;
  *) stage=outside ;;
esac

if [[ $stage == outside ]]; then
  [[ $(id -u) -eq 0 ]] || { echo "screenshots: run as root (it needs unshare, mount and chroot)" >&2; exit 1; }
  # The machine's builds queue on one lock.
  flock -o /tmp/tarvel-cpu.lock bash "$top/scripts/build.sh"
  need=(xvfb xdotool x11-utils x11-xserver-utils imagemagick openbox trayer python3-xlib python3-gi gir1.2-gtk-3.0 fonts-dejavu-core)
  missing=()
  for p in "${need[@]}"; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p"); done
  if ((${#missing[@]})); then
    echo "screenshots: installing ${missing[*]}" >&2
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
  fi
  [[ -f $harness ]] || { echo "screenshots: no desktop harness at $harness" >&2; exit 1; }
  export TARVEL_SHOTS_HARNESS=$(cd "$(dirname "$harness")" && pwd)/$(basename "$harness")
  # A new process namespace: whatever the pictures start ends with it.
  exec unshare --mount --net --pid --fork --mount-proc -- bash "$0" --in-namespace
fi

if [[ $stage == namespace ]]; then
  mount --make-rprivate /
  ip link set lo up
  base=/run/tarvel-shots
  mkdir -p "$base"
  mount -t tmpfs -o mode=755 tmpfs "$base"
  # The mounts end with the namespace; the folder under them would stay.
  trap 'cd /; umount -R -l "$base" 2>/dev/null; rmdir "$base" 2>/dev/null' EXIT
  mkdir -p "$base"/{upper,work,root}
  up=$base/upper
  # Opaque folders: empty in the overlay whatever this system holds there.
  for d in home tmp var/tmp mnt media root srv; do
    mkdir -p "$up/$d"
    /usr/bin/python3 -c 'import os, sys; os.setxattr(sys.argv[1], "trusted.overlay.opaque", b"y")' "$up/$d"
  done
  chmod 1777 "$up/tmp" "$up/var/tmp"
  chmod 700 "$up/root"
  # The top folder of the build tree is gone (a whiteout).
  first=$(echo "$top" | cut -d/ -f2)
  case $first in home|tmp|var|mnt|media|root|srv|usr|etc|opt|"") ;; *) mknod "$up/$first" c 0 0 ;; esac
  mkdir -p "$up/opt/tarvel/bin" "$up/opt/tarvel/shots" "$up/opt/tarvel/images"
  cp "$top/build/src/tarvel" "$top/build/src/MediaServer" "$up/opt/tarvel/bin/"
  cp "$0" "$up/opt/tarvel/shots/screenshots.sh"
  cp "$TARVEL_SHOTS_HARNESS" "$up/opt/tarvel/shots/harness.sh"
  root=$base/root
  mount -t overlay overlay -o "lowerdir=/,upperdir=$up,workdir=$base/work" "$root"
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount --rbind /sys "$root/sys"
  mount -t tmpfs -o mode=755 tmpfs "$root/run"
  status=0
  chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
    bash /opt/tarvel/shots/screenshots.sh --in-root || status=$?
  if ((status == 0)); then
    mkdir -p "$top/docs/images"
    cp "$root"/opt/tarvel/images/*.png "$top/docs/images/"
    echo "screenshots in $top/docs/images" >&2
  fi
  exit "$status"
fi

# In the overlay: a user's home with a few files of each kind.
home=/home/alex
export HOME=$home USER=alex LOGNAME=alex
export XDG_CONFIG_HOME=$home/.config XDG_DATA_HOME=$home/.local/share
export XDG_MUSIC_DIR=$home/Music XDG_PICTURES_DIR=$home/Pictures XDG_VIDEOS_DIR=$home/Videos
export TARVEL_SERVER_INTERFACE=lo
work=/tmp/tarvel-screens
export XDG_RUNTIME_DIR=/tmp/runtime-alex
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
mkdir -p "$home/Music/Night Trio - Blue Hours" "$home/Music/The Harbour Lights" \
  "$home/Pictures/Holiday 2026" "$home/Pictures/Garden" "$home/Videos" "$home/Documents" \
  "$home/Downloads" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME/tarvel" "$work/www"
for f in "Night Trio - Blue Hours/"{"01 Slow Tide","02 Lanterns","03 After Rain"}.mp3 \
         "The Harbour Lights/"{"01 North Pier","02 Salt Road"}.mp3; do
  head -c 4096 /dev/zero > "$home/Music/$f"
done
for f in "Holiday 2026/"IMG_{0412,0413,0420}.jpg "Garden/"{roses,pond}.jpg; do
  head -c 2048 /dev/zero > "$home/Pictures/$f"
done
for f in "Birthday.mp4" "Beach walk.mkv"; do head -c 8192 /dev/zero > "$home/Videos/$f"; done
data=$XDG_DATA_HOME/tarvel
tarvel=/opt/tarvel/bin/tarvel
out=/opt/tarvel/images
"$tarvel" --data-dir "$data" share "$home/Music" >/dev/null
"$tarvel" --data-dir "$data" share "$home/Pictures" >/dev/null
# The drop window beside the sheet rather than over it; two stations stored.
mkdir -p "$data/RadioList"
printf '[DragWindow]\nLeft=880\nTop=120\nVisible=1\n' > "$XDG_CONFIG_HOME/tarvel.ini"
printf '[playlist]\r\nTitle1=(#1 - 10/200) Jazz  Hits\r\n' > "$data/RadioList/Jazz  Hits.pls"
printf '[playlist]\r\nTitle1=(#2 - 7/90) Classic Rock\r\n' > "$data/RadioList/Classic Rock.pls"
# A third one comes from a playlist link dropped on the drop window.
printf '[playlist]\nFile1=http://127.0.0.1:1/\nTitle1=(#3 - 1/50) Ambient: Calm\n' > "$work/www/tunein.pls"
(cd "$work/www" && exec /usr/bin/python3 -u -m http.server 0 --bind 127.0.0.1 >"$work/www.log" 2>&1) &
www=$!

export DESK_DIR=$work/desk
. /opt/tarvel/shots/harness.sh
# The clean-up goes on past a process that has already ended.
trap 'set +e; desk_stop; kill $www 2>/dev/null' EXIT
desk_start
# In the harness's runtime folder, so that the panel finds the server that
# the rename starts and takes it over (instead of leaving it running).
"$tarvel" --data-dir "$data" rename "Living Room" >/dev/null 2>&1 || true
xsetroot -solid '#3a5f8a'
cd "$home"
desk_run_app "$work/app.log" "$tarvel" --user-data-dir
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
for _ in $(seq 50); do [[ -f "$data/RadioList/Ambient  Calm.pls" ]] && break; sleep 0.1; done
sleep 0.5
desk_shot "$out/drop-window.png"
desk_key "$win" ctrl+Tab; sleep 0.4
# Add: the folder dialog, opened on the home with Videos (not shared yet)
# chosen; then, after OK, the media-type dialog.
desk_key "$win" alt+a
dlg=$(desk_win '^Scandisk to search for media files$')
sleep 0.5
desk_key "$dlg" Down Right; sleep 0.4
desk_key "$dlg" End; sleep 0.4
desk_shot "$out/folder-dialog.png" "$dlg"
desk_key "$dlg" Return
types=$(desk_win '^Dialog$')
sleep 0.5
desk_shot "$out/media-types.png" "$types"
desk_key "$types" Escape
