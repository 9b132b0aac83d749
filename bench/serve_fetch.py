"""What the benchmarks of MediaServer's thumbnails share: the name a file's
thumbnail is kept under, and fetching every thumbnail twice (cold, then from
the thumbnail folder), four requests at a time, with the rate printed."""
import concurrent.futures
import time
import urllib.error
import urllib.request


def fnv(text):
    """The server's name for a path: FNV-1a, 64 bits, in hex."""
    h = 0xcbf29ce484222325
    for b in text.encode():
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def get(url, tries):
    """The body's length; a 503 (the server still busy) is asked again."""
    for _ in range(tries):
        try:
            with urllib.request.urlopen(url, timeout=60) as r:
                return len(r.read())
        except urllib.error.HTTPError as e:
            if e.code != 503:
                raise
            time.sleep(0.2)
    raise SystemExit("still busy: " + url)


def fetch_twice(what, urls, tries):
    for label in ("cold", "cached"):
        start = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            sizes = list(pool.map(lambda url: get(url, tries), urls))
        took = time.monotonic() - start
        print("%s %-6s %4d in %6.2f s: %7.1f per second (%d bytes each on average)"
              % (what, label, len(urls), took, len(urls) / took, sum(sizes) // len(urls)))
