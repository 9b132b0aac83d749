#!/usr/bin/python3
"""Connections to a server as clients make them, for the server's tests.

  http_load.py requests PORT COUNT PATH...   COUNT requests, each on a new
      keep-alive connection that the client closes after the answer (GET,
      HEAD and a ranged GET in turn over the PATHs); prints "ok N"
  http_load.py idle PORT COUNT SECONDS      opens up to COUNT connections that
      send nothing (until three in a row cannot be made), prints "held N", keeps them
      SECONDS, closes them
  http_load.py leave PORT COUNT PATH...     COUNT GET requests over the PATHs,
      each on its own connection that the client closes as soon as the
      request is sent, without waiting for the answer; prints "left N"
"""
import http.client
import socket
import sys
import time


def requests(port, count, paths):
    ok = 0
    for i in range(count):
        path = paths[i % len(paths)]
        method, headers = [("GET", {}), ("HEAD", {}), ("GET", {"Range": "bytes=0-99"})][i % 3]
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        try:
            conn.request(method, path, headers=headers)
            answer = conn.getresponse()
            answer.read()
            if answer.status < 500:
                ok += 1
        except OSError as e:
            print("request", i, "failed:", e, file=sys.stderr)
        finally:
            conn.close()
    print("ok", ok)


def idle(port, count, seconds):
    held = []
    failures = 0
    deadline = time.monotonic() + 20
    while len(held) < count and failures < 3 and time.monotonic() < deadline:
        s = socket.socket()
        s.settimeout(2)
        try:
            s.connect(("127.0.0.1", port))
            held.append(s)
            failures = 0
        except OSError:
            s.close()
            failures += 1  # three in a row: the server takes no more
    print("held", len(held), flush=True)
    time.sleep(seconds)
    for s in held:
        s.close()


def leave(port, count, paths):
    for i in range(count):
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (paths[i % len(paths)], port)).encode())
            time.sleep(0.05)  # the request is being answered when the client goes
    print("left", count)


def main():
    mode, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    if mode == "requests":
        requests(port, count, sys.argv[4:])
    elif mode == "leave":
        leave(port, count, sys.argv[4:])
    elif mode == "idle":
        idle(port, count, float(sys.argv[4]))
    else:
        sys.exit(2)


if __name__ == "__main__":
    main()
