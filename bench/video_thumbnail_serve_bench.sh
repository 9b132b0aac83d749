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
. "$top/bench/serve_bench_setup.sh"
videos=/tmp/tarvel-video-bench
if [[ ! -f $videos/v$(printf %04d $((count - 1))).avi ]]; then
  mkdir -p "$videos"
  "$build/bench/bench_videos" "$count" "$videos" >/dev/null
fi
serve_files "$build" "$videos" v avi "$count" videos
bash "$ns" exec /usr/bin/python3 - "$folder" "$count" "$top/bench" <<'PY'
import os, sys, time, urllib.request
folder, count = sys.argv[1], int(sys.argv[2])
sys.path.insert(0, sys.argv[3])
from serve_fetch import fetch_twice, fnv
base = "http://127.0.0.1:49200"
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
fetch_twice("video thumbnails", urls, 100)
PY
