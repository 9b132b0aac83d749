#!/usr/bin/python3
"""VLC as a player finds and uses a server: its own UPnP discovery (libupnp)
lists the MediaServers of the network under "Universal Plug'n'Play", and its
rc interface walks them by titles and plays an item.

  vlc_client.py LOG SECONDS NAME/PATH... -- VLC COMMAND...

Runs the VLC command (cvlc with its rc interface, as the user it runs as) and
drives it through that interface: for each NAME/PATH of a container
("tarvel/Music/Albums/Blue Train") it opens the server and each container on
the way, as a user does in VLC's playlist; VLC browses each and, at the
last, plays its first item. For each it prints

  PATH input=URL title=TITLE playing=1|0 length=SECONDS art=FILE|none

FILE being where VLC keeps the art it fetched from the item's
upnp:albumArtURI. VLC's log goes to LOG. Exit status 1 when a step is not
found, or nothing plays, in SECONDS.

VLC 3.0's rc interface can crash by itself: its "info" reads the playing
item's details while the input thread is still adding to them (a core
showed SIGSEGV in the Lua binding that lists them, as playback started).
"info" is asked only once the item plays (still, about one run in twenty
met the crash), and a VLC that dies of a signal is started again and walks
all the paths again, with a note on stderr, up to three times in all: a
crash that our server's answers cause comes back and still fails.
"""
import queue
import re
import subprocess
import sys
import threading
import time


class Crashed(Exception):
    pass


LINE = re.compile(r"^\|( *)\*?(\d+) - (.*?)(?: \(\d\d:\d\d:\d\d\))?(?: \[played \d+ times?\])?$")


class Vlc:
    def __init__(self, args, log):
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=log, text=True, errors="replace")
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n").lstrip("> "))
        self.lines.put(None)

    def ask(self, command, last, seconds=10):
        """The lines that answer `command`, up to one that starts with `last`."""
        while not self.lines.empty():
            self.lines.get_nowait()
        self.send(command)
        out, end = [], time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                line = self.lines.get(timeout=0.2)
            except queue.Empty:
                continue
            if line is None:
                status = self.proc.wait()
                if status < 0 or status > 128:  # by a signal, itself or under runuser
                    raise Crashed("vlc ended by signal %d" % (-status if status < 0 else status - 128))
                raise SystemExit("vlc ended, status %s" % status)
            out.append(line)
            if line.startswith(last):
                return out
        raise SystemExit("no answer to %r: %r" % (command, out))

    def playlist(self):
        """(depth, id, title) of each playlist node."""
        nodes = []
        for line in self.ask("playlist", "+----[ End of playlist ]"):
            m = LINE.match(line)
            if m:
                nodes.append((len(m.group(1)) // 2, int(m.group(2)), m.group(3)))
        return nodes

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def quit(self):
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.flush()
            self.proc.wait(5)
        except Exception:
            self.proc.kill()
            self.proc.wait()


def children(nodes, parent):
    """The nodes right under the node of id `parent` (None: under the UPnP node)."""
    out, inside = [], None
    for depth, node, title in nodes:
        if inside is not None:
            if depth <= inside:
                break
            if depth == inside + 1:
                out.append((node, title))
        elif (parent is None and title == "Universal Plug'n'Play") or node == parent:
            inside = depth
    return out


def find(vlc, parent, title, seconds):
    """The node `title` under `parent`. A parent that shows no children after
    a few seconds is opened again, as a user clicks again: under load VLC has
    let a goto pass while it still played what the goto before started."""
    end = time.monotonic() + seconds
    again = time.monotonic() + 4
    while True:
        found = [n for n, t in children(vlc.playlist(), parent) if t == title]
        if found:
            return found[0]
        if time.monotonic() > end:
            raise SystemExit("no %r under %r: %r" % (title, parent, vlc.playlist()))
        if parent is not None and time.monotonic() > again:
            vlc.send("goto %d" % parent)
            again = time.monotonic() + 4
        time.sleep(0.5)


def playing(vlc, before, seconds):
    """The item VLC plays once it is not `before`, and is playing. A container
    VLC browses is an input too, of a upnp:// address: not an item."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        lines = vlc.ask("status", "( state")
        for line in lines:
            m = re.match(r"\( new input: (.*) \)$", line)
            if (m and m.group(1) != before and not m.group(1).startswith("upnp://")
                    and "( state playing )" in lines):
                return m.group(1)
        time.sleep(0.3)
    raise SystemExit("nothing new plays: " + repr(vlc.playlist()))


def answer(vlc, command):
    """The one-line answer to `command` (a line that follows it by itself)."""
    return vlc.ask(command + "\nstatus", "( state")[0].strip()


def walk(command, log, seconds, paths):
    """The line of each path, as VLC gave them."""
    results = []
    with open(log, "a") as out:
        vlc = Vlc(command, out)
        try:
            current = None
            for path in paths:
                node = None
                for step in path.split("/"):
                    node = find(vlc, node, step, seconds)
                    vlc.send("goto %d" % node)
                current = playing(vlc, current, seconds)
                art = "none"
                end = time.monotonic() + 3
                while art == "none" and time.monotonic() < end:
                    for line in vlc.ask("info\nstatus", "( state"):
                        m = re.match(r"\| artwork_url: file://(.*)$", line)
                        if m:
                            art = m.group(1)
                    time.sleep(0.3)
                results.append(" ".join([path, "input=" + current, "title=" + answer(vlc, "get_title"),
                                         "playing=" + answer(vlc, "is_playing"),
                                         "length=" + answer(vlc, "get_length"), "art=" + art]))
        finally:
            vlc.quit()
    return results


def main():
    split = sys.argv.index("--")
    log, seconds, paths, command = sys.argv[1], float(sys.argv[2]), sys.argv[3:split], sys.argv[split + 1:]
    open(log, "w").close()
    for attempt in range(3):
        try:
            results = walk(command, log, seconds, paths)
            break
        except Crashed as crash:
            if attempt == 2:
                raise SystemExit("%s, a third time" % crash)
            print("%s; once more" % crash, file=sys.stderr, flush=True)
    for line in results:
        print(line, flush=True)


if __name__ == "__main__":
    main()
