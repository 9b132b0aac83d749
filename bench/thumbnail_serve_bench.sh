#!/usr/bin/env bash
# MediaServer's thumbnails over HTTP, inside a private network namespace made
# by ns.sh: every picture's JPEG_TN fetched once cold (made by the server's
# workers) and once more from its thumbnail folder, four requests at a time.
# The pictures are bench_thumbnails' 12-megapixel JPEGs (made first when
# missing). Needs root and the build.
#   bench/thumbnail_serve_bench.sh [build folder [count]]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
count=${2:-200}
. "$top/bench/serve_bench_setup.sh"
pictures=/tmp/tarvel-thumbnail-bench
[[ -f $pictures/p$(printf %04d $((count - 1))).jpg ]] || "$build/bench/bench_thumbnails" "$count" "$pictures" >/dev/null
serve_files "$build" "$pictures" p jpg "$count" pictures
bash "$ns" exec /usr/bin/python3 - "$folder" "$count" "$top/bench" <<'PY'
import os, sys, time, urllib.error, urllib.request
folder, count = sys.argv[1], int(sys.argv[2])
sys.path.insert(0, sys.argv[3])
from serve_fetch import fetch_twice, fnv
urls = ["http://127.0.0.1:49200/thumbnails/%s.jpg" % fnv(os.path.join(folder, "p%04d.jpg" % i))
        for i in range(count)]
for _ in range(100):
    try:
        urllib.request.urlopen("http://127.0.0.1:49200/", timeout=1)
        break
    except urllib.error.HTTPError:
        break
    except OSError:
        time.sleep(0.1)
fetch_twice("thumbnails", urls, 50)
PY
