#!/usr/bin/env bash
# MediaServer's video thumbnails over HTTP, inside a private network namespace
# made by ns.sh: every video's JPEG_TN fetched once cold (a child decodes a
# frame a tenth into it) and once more from the thumbnail folder, four
# requests at a time. The videos are bench_videos' 10-second 720p MPEG-4
# clips (made first when missing). Needs root and the build.
#   bench/video_thumbnail_serve_bench.sh [build folder [count]]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
count=${2:-40}
ns=${TARVEL_NS_SH:-$top/../shared/upnp/ns.sh}
[[ -r $ns ]] || ns=/work/shared/upnp/ns.sh
videos=/tmp/tarvel-video-bench
if [[ ! -f $videos/v$(printf %04d $((count - 1))).avi ]]; then
  mkdir -p "$videos"
  "$build/bench/bench_videos" "$count" "$videos" >/dev/null
fi
work=$(mktemp -d /tmp/tarvel-video-serve.XXXXXX)
export NS_PIDFILE=$work/ns.pid XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$work/run" "$work/data" "$work/data/videos"
server=
cleanup() {
  [[ -n $server ]] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
  bash "$ns" stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
for ((i = 0; i < count; i++)); do
  ln "$videos/v$(printf %04d $i).avi" "$work/data/videos/" 2>/dev/null ||
    cp "$videos/v$(printf %04d $i).avi" "$work/data/videos/"
done
(cd "$work/data" && "$build/src/tarvel" share "$work/data/videos" >/dev/null)
bash "$ns" start >/dev/null
(cd "$work/data" && exec bash "$ns" exec "$build/src/MediaServer" --interface lo --port 49200) \
  2>"$work/server.log" &
server=$!
bash "$ns" exec /usr/bin/python3 - "$work/data/videos" "$count" <<'PY'
import concurrent.futures, os, sys, time, urllib.request
folder, count = sys.argv[1], int(sys.argv[2])
base = "http://127.0.0.1:49200"
def fnv(text):
    h = 0xcbf29ce484222325
    for b in text.encode():
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h
urls = ["%s/thumbnails/%s.jpg" % (base, fnv(os.path.join(folder, "v%04d.avi" % i))) for i in range(count)]
def browse():
    body = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            '<u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1"><ObjectID>video/all</ObjectID>'
            '<BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex>'
            '<RequestedCount>0</RequestedCount><SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>')
    request = urllib.request.Request(base + "/ContentDirectory/control", body.encode(), {
        "Content-Type": 'text/xml; charset="utf-8"',
        "SOAPAction": '"urn:schemas-upnp-org:service:ContentDirectory:1#Browse"'})
    with urllib.request.urlopen(request, timeout=10) as r:
        return r.read().decode()
# A video's thumbnail is offered once its details are read (in the background).
deadline = time.monotonic() + 120
while True:
    try:
        if browse().count("albumArtURI dlna:profileID=&quot;JPEG_TN") >= count:
            break
    except OSError:
        pass
    if time.monotonic() > deadline:
        raise SystemExit("the videos' details were not read in time")
    time.sleep(0.2)
def get(url):
    for _ in range(100):
        try:
            with urllib.request.urlopen(url, timeout=60) as r:
                return len(r.read())
        except urllib.error.HTTPError as e:
            if e.code != 503:
                raise
            time.sleep(0.2)
    raise SystemExit("still busy: " + url)
for label in ("cold", "cached"):
    start = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        sizes = list(pool.map(get, urls))
    took = time.monotonic() - start
    print("video thumbnails %-6s %4d in %6.2f s: %7.1f per second (%d bytes each on average)"
          % (label, count, took, count / took, sum(sizes) // count))
PY
