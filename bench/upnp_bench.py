#!/usr/bin/python3
"""Measures two MediaServers with the same client, inside a private network
namespace (run by upnp_bench.sh, never on its own):

  upnp_bench.py NAME URL CONTAINER FILE_URL FILE_PATH

NAME names the server in the report; URL is its ContentDirectory control URL;
CONTAINER the id of the 10,000-item folder; FILE_URL serves FILE_PATH (the
200 MB file). Prints one line per figure.
"""
import http.client
import os
import socket
import statistics
import subprocess
import sys
import threading
import time
import urllib.parse
import xml.sax.saxutils

PAGE = 200
SLOW_STREAMS = 14
CALLS_UNDER_STREAMS = 300


def browse_body(object_id, start, count, sort):
    return ("<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\""
            " s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
            "<u:Browse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">"
            "<ObjectID>%s</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter>"
            "<StartingIndex>%d</StartingIndex><RequestedCount>%d</RequestedCount>"
            "<SortCriteria>%s</SortCriteria></u:Browse></s:Body></s:Envelope>"
            % (xml.sax.saxutils.escape(object_id), start, count, sort)).encode()


class Control:
    def __init__(self, url):
        u = urllib.parse.urlparse(url)
        self.host, self.port, self.path = u.hostname, u.port, u.path
        self.conn = None
        self.with_art = 0  # items of the last page that carry upnp:albumArtURI

    def browse(self, object_id, start, count, sort=""):
        """(seconds, NumberReturned) of one call; raises on failure."""
        body = browse_body(object_id, start, count, sort)
        headers = {"Content-Type": "text/xml; charset=\"utf-8\"",
                   "SOAPAction": "\"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\""}
        t0 = time.perf_counter()
        if self.conn is None:
            self.conn = http.client.HTTPConnection(self.host, self.port, timeout=10)
        try:
            self.conn.request("POST", self.path, body, headers)
            reply = self.conn.getresponse()
            data = reply.read()
        except Exception:
            self.conn.close()
            self.conn = None
            raise
        elapsed = time.perf_counter() - t0
        if reply.status != 200:
            raise RuntimeError("HTTP %d" % reply.status)
        text = data.decode("utf-8", "replace")
        returned = int(text.split("<NumberReturned>")[1].split("<")[0])
        self.with_art = sum("albumArtURI" in item for item in text.split("&lt;item ")[1:])
        return elapsed, returned


def pages(control, container, sort):
    times = []
    start = with_art = 0
    while True:
        elapsed, returned = control.browse(container, start, PAGE, sort)
        times.append(elapsed * 1000)
        with_art += control.with_art
        if returned == 0:
            times.pop()
            break
        start += returned
        if start >= 10000:
            break
    return times, start, with_art


def stream_rate(file_url):
    t0 = time.perf_counter()
    out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{size_download}", file_url],
                         capture_output=True, text=True, check=True)
    return int(out.stdout) / (time.perf_counter() - t0) / 1e9


def cat_rate(path):
    t0 = time.perf_counter()
    with open(path, "rb") as f, open("/dev/null", "wb") as null:
        subprocess.run(["cat"], stdin=f, stdout=null, check=True)
    size = os.path.getsize(path)
    return size / (time.perf_counter() - t0) / 1e9


def serve_from_memory(data, listener):
    """A bare sender: answers every GET with `data`, straight from memory."""
    while True:
        try:
            conn, _ = listener.accept()
        except OSError:
            return
        with conn:
            request = b""
            while b"\r\n\r\n" not in request:
                chunk = conn.recv(4096)
                if not chunk:
                    break
                request += chunk
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % len(data))
            conn.sendall(data)


def loopback_ceiling(path):
    """What the same client gets over loopback from a sender that does no
    work at all: the most any server can reach on this machine."""
    with open(path, "rb") as f:
        data = f.read()
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    thread = threading.Thread(target=serve_from_memory, args=(data, listener), daemon=True)
    thread.start()
    url = "http://127.0.0.1:%d/" % listener.getsockname()[1]
    rates = sorted(stream_rate(url) for _ in range(3))
    try:
        listener.shutdown(socket.SHUT_RDWR)  # wakes the accept
    except OSError:
        pass
    listener.close()
    return rates[1]


def slow_reader(file_url, stop):
    u = urllib.parse.urlparse(file_url)
    try:
        conn = http.client.HTTPConnection(u.hostname, u.port, timeout=30)
        conn.request("GET", u.path)
        reply = conn.getresponse()
        while not stop.is_set():
            if not reply.read(16 * 1024):
                break
            time.sleep(0.05)
        conn.close()
    except Exception:
        pass


def main():
    name, url, container, file_url, file_path = sys.argv[1:6]
    control = Control(url)
    for label, sort in (("unsorted", ""), ("sorted by title", "+dc:title")):
        pages(control, container, sort)  # warm up once
        times, seen, with_art = pages(control, container, sort)
        print("%s: Browse %s, %d items in %d pages of %d: median %.2f ms a page (min %.2f, max %.2f);"
              " %d items with upnp:albumArtURI"
              % (name, label, seen, len(times), PAGE, statistics.median(times), min(times), max(times),
                 with_art))
    rates = sorted(stream_rate(file_url) for _ in range(3))
    cats = sorted(cat_rate(file_path) for _ in range(3))
    ceiling = loopback_ceiling(file_path)
    print("%s: streaming 200 MB: %.2f GB/s (cat %.2f GB/s, ratio %.2f; loopback ceiling %.2f GB/s, ratio %.2f)"
          % (name, rates[1], cats[1], rates[1] / cats[1], ceiling, rates[1] / ceiling))
    stop = threading.Event()
    readers = [threading.Thread(target=slow_reader, args=(file_url, stop)) for _ in range(SLOW_STREAMS)]
    for r in readers:
        r.start()
    time.sleep(1)
    failures, times = 0, []
    for i in range(CALLS_UNDER_STREAMS):
        try:
            elapsed, _ = control.browse(container, (i * PAGE) % 10000, PAGE)
            times.append(elapsed * 1000)
        except Exception:
            failures += 1
    stop.set()
    for r in readers:
        r.join()
    print("%s: %d Browse calls while %d slow streams run: %d failed, median %.2f ms"
          % (name, CALLS_UNDER_STREAMS, SLOW_STREAMS, failures,
             statistics.median(times) if times else float("nan")))


if __name__ == "__main__":
    main()
