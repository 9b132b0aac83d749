#!/usr/bin/env bash
# MediaServer against MiniDLNA on the same 10,000-item folder and the same
# 200 MB file, both inside one private network namespace made by ns.sh:
# Browse in pages of 200 (unsorted and by title), streaming against cat, and
# Browse while 14 slow streams run. Needs root, the build, and the Debian
# packages minidlna and python3 (the server is never started outside the
# namespace). Given a second build folder (an earlier version), its
# MediaServer is measured too, in the same run, on a copy of the catalogue.
# With --art the folder has album art, as a music library does: each track
# holds an embedded cover (ID3v2 APIC) and the folder a cover.jpg, so that
# both servers publish upnp:albumArtURI on every item (MiniDLNA gave the
# folder's cover to none of the tracks that had none of their own). GdkPixbuf's
# Python binding (gir1.2-gdkpixbuf-2.0) makes the JPEGs.
#   bench/upnp_bench.sh [--art] [build folder [earlier build folder]]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
art=0
if [[ ${1:-} == --art ]]; then
  art=1
  shift
fi
# Absolute: the servers start from folders of their own.
build=$(cd "${1:-$top/build}" && pwd)
before=${2:+$(cd "$2" && pwd)}
ns=${TARVEL_NS_SH:-$top/../shared/upnp/ns.sh}
[[ -r $ns ]] || ns=/work/shared/upnp/ns.sh
# Without minidlna (or with TARVEL_BENCH_NO_PEER=1) the peer is left out.
peer_on=1
if [[ -n ${TARVEL_BENCH_NO_PEER:-} ]] || ! command -v minidlnad >/dev/null; then
  peer_on=0
  echo "MiniDLNA left out (no minidlna package, or TARVEL_BENCH_NO_PEER)" >&2
fi
work=$(mktemp -d /tmp/tarvel-upnp-bench.XXXXXX)
export NS_PIDFILE=$work/ns.pid XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$work/run"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  sleep 0.5
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  bash "$ns" stop || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "making 10,000 tagged MP3 files and a 200 MB file in $work (album art: $art)" >&2
/usr/bin/python3 - "$work/media" "$art" <<'PY'
import os, struct, sys
root = sys.argv[1]
os.makedirs(root + "/folder")
def picture(size, seed):
    """A JPEG of a smooth picture, about as large as a cover at that size."""
    import gi
    gi.require_version("GdkPixbuf", "2.0")
    from gi.repository import GdkPixbuf, GLib
    pixels = bytes((x * 255 // size + seed) & 255 if c == 0 else (y * 255 // size) if c == 1 else
                   ((x ^ y) + seed) & 255 for y in range(size) for x in range(size) for c in range(3))
    pixbuf = GdkPixbuf.Pixbuf.new_from_bytes(GLib.Bytes.new(pixels), GdkPixbuf.Colorspace.RGB, False, 8,
                                             size, size, size * 3)
    ok, data = pixbuf.save_to_bufferv("jpeg", ["quality"], ["90"])
    return bytes(data)
apic = b""
if sys.argv[2] == "1":
    with open(root + "/folder/cover.jpg", "wb") as f:
        f.write(picture(600, 0))
    cover = picture(300, 90)
    apic = b"APIC" + struct.pack(">I", len(cover) + 14) + b"\x00\x00" + b"\x00image/jpeg\x00\x03\x00" + cover
def frame(fid, text):
    data = b"\x00" + text.encode("latin-1")
    return fid.encode() + struct.pack(">I", len(data)) + b"\x00\x00" + data
def syncsafe(n):
    return bytes([(n >> 21) & 127, (n >> 14) & 127, (n >> 7) & 127, n & 127])
audio = (b"\xff\xfb\x90\x00" + b"\x00" * 413) * 24
for i in range(10000):
    frames = frame("TIT2", "track %05d" % ((i * 7919) % 10000)) + frame("TPE1", "artist %d" % (i % 50)) \
        + frame("TALB", "album %d" % (i % 200)) + apic
    tag = b"ID3\x03\x00\x00" + syncsafe(len(frames)) + frames
    with open("%s/folder/song%05d.mp3" % (root, i), "wb") as f:
        f.write(tag + audio)
os.makedirs(root + "/big")
with open(root + "/big/big.mp3", "wb") as f:
    block = os.urandom(1 << 20)
    for _ in range(200):
        f.write(block)
PY

# Our catalogue, made by tarvel itself.
mkdir "$work/ours"
(cd "$work/ours" && "$build/src/tarvel" share "$work/media/folder" >/dev/null \
   && "$build/src/tarvel" share "$work/media/big" >/dev/null)
cat > "$work/minidlna.conf" <<CONF
media_dir=A,$work/media
db_dir=$work/minidlna-db
log_dir=$work/minidlna-log
port=8200
network_interface=lo
friendly_name=peer
inotify=no
notify_interval=900
CONF
mkdir -p "$work/minidlna-db" "$work/minidlna-log"

bash "$ns" start >/dev/null
(cd "$work/ours" && exec bash "$ns" exec "$build/src/MediaServer" --interface lo --port 49200) \
  2>"$work/ours.log" &
pids+=($!)
if [[ -n $before ]]; then
  cp -r "$work/ours" "$work/before"
  mkdir -m 700 "$work/run-before"
  (cd "$work/before" && XDG_RUNTIME_DIR=$work/run-before \
     exec bash "$ns" exec "$before/src/MediaServer" --interface lo --port 49201) 2>"$work/before.log" &
  pids+=($!)
fi
if ((peer_on)); then
  bash "$ns" exec minidlnad -f "$work/minidlna.conf" -P "$work/minidlna.pid" -S >"$work/minidlna.out" 2>&1 &
  pids+=($!)
fi

# Our folder container and MiniDLNA's ("Browse Folders", then the folder),
# found by browsing; both wait until all 10,000 items are in.
find_ids=$(bash "$ns" exec /usr/bin/python3 - "$work" "$peer_on" "$art" <<'PY'
import re, sys, time, http.client
sys.path.insert(0, sys.argv[1])
def browse(port, oid):
    body = ("<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
            "<s:Body><u:Browse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\"><ObjectID>%s</ObjectID>"
            "<BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex>"
            "<RequestedCount>0</RequestedCount><SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>" % oid)
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    path = "/ContentDirectory/control" if port == 49200 else "/ctl/ContentDir"
    c.request("POST", path, body, {"SOAPAction": "\"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"",
                                   "Content-Type": "text/xml"})
    text = c.getresponse().read().decode().replace("&lt;", "<").replace("&gt;", ">").replace("&quot;", '"')
    return re.findall(r'<container id="([^"]*)"[^>]*childCount="(\d+)"[^>]*><dc:title>([^<]*)<', text)
def find(port, start):
    for _ in range(600):
        try:
            todo = [start]
            while todo:
                oid = todo.pop()
                for cid, count, title in browse(port, oid):
                    if int(count) in (10000, 10000 + int(sys.argv[3])) and title == "folder":
                        return cid
                    if title in ("Browse Folders", "Folders", "media", "folder"):
                        todo.append(cid)
        except Exception:
            pass
        time.sleep(1)
    raise SystemExit("container not found on port %d" % port)
print(find(49200, "0"), find(8200, "0") if sys.argv[2] == "1" else "-")
PY
)
read -r ours peer <<<"$find_ids"
echo "containers: ours $ours, MiniDLNA $peer" >&2

bigOurs=$(bash "$ns" exec /usr/bin/python3 -c "
import hashlib; p='$work/media/big/big.mp3'
h=0xcbf29ce484222325
for c in p.encode(): h=((h^c)*0x100000001b3)&0xffffffffffffffff
print('%016x' % h)")
# MiniDLNA serves files by its own ids: find the big file's URL by browsing.
bigPeer=-
((peer_on)) && bigPeer=$(bash "$ns" exec /usr/bin/python3 - <<'PY'
import re, http.client
def browse(oid):
    body = ("<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
            "<s:Body><u:Browse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\"><ObjectID>%s</ObjectID>"
            "<BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex>"
            "<RequestedCount>50</RequestedCount><SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>" % oid)
    c = http.client.HTTPConnection("127.0.0.1", 8200, timeout=10)
    c.request("POST", "/ctl/ContentDir", body, {"SOAPAction": "\"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"",
                                               "Content-Type": "text/xml"})
    return c.getresponse().read().decode().replace("&lt;", "<").replace("&gt;", ">").replace("&quot;", '"').replace("&amp;", "&")
todo = ["0"]
while todo:
    text = browse(todo.pop())
    for item in re.findall(r"<item .*?</item>", text):
        if "<dc:title>big</dc:title>" in item:
            print(re.search(r">(http://[^<]*)</res>", item).group(1)); raise SystemExit
    todo += [c for c, t in re.findall(r'<container id="([^"]*)"[^>]*><dc:title>([^<]*)<', text)
             if t in ("Browse Folders", "media", "big")]
PY
)
echo "files: ours /media/$bigOurs.mp3, MiniDLNA $bigPeer" >&2

# Each server reads its files' details in the background once it has them;
# Browse and streaming are measured once that is over (the processor time of
# both servers has stopped growing; at most two minutes).
cputime() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
settle() {
  local last now quiet=0
  last=$(cputime "$1")
  for _ in $(seq 240); do
    sleep 0.5
    now=$(cputime "$1")
    if ((now - last <= 2)); then ((++quiet >= 2)) && return 0; else quiet=0; fi
    last=$now
  done
  echo "server $1 still busy: measured anyway" >&2
}
for p in "${pids[@]}"; do settle "$p"; done
echo "servers settled" >&2

bash "$ns" exec /usr/bin/python3 "$top/bench/upnp_bench.py" MediaServer \
  http://127.0.0.1:49200/ContentDirectory/control "$ours" \
  "http://127.0.0.1:49200/media/$bigOurs.mp3" "$work/media/big/big.mp3"
if [[ -n $before ]]; then
  # The same catalogue gives the same ids.
  bash "$ns" exec /usr/bin/python3 "$top/bench/upnp_bench.py" "MediaServer (earlier)" \
    http://127.0.0.1:49201/ContentDirectory/control "$ours" \
    "http://127.0.0.1:49201/media/$bigOurs.mp3" "$work/media/big/big.mp3"
fi
((peer_on)) || exit 0
bash "$ns" exec /usr/bin/python3 "$top/bench/upnp_bench.py" MiniDLNA \
  http://127.0.0.1:8200/ctl/ContentDir "$peer" "$bigPeer" "$work/media/big/big.mp3"
