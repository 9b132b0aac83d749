#!/usr/bin/python3
"""A UPnP control point on GUPnP, the way a player finds and uses a server.

  upnp_client.py names SECONDS            friendly names (one line each) of the
                                          MediaServers found, with their UDNs
  upnp_client.py fetch NAME PATH...       browse by titles from the root (each
                                          PATH is "Music/All Tracks/title"),
                                          fetch the item's res, print its size
                                          and SHA-256, MIME type, res size, DLNA
                                          profile and contentFeatures header
  upnp_client.py watch NAME SECONDS       subscribe to the ContentDirectory,
                                          print "subscribed", then each new
                                          SystemUpdateID as "update N"
Everything runs on interface "lo"; exit status 1 when the server is not found.
"""
import hashlib
import warnings
import sys
import urllib.request

import gi

gi.require_version("GUPnP", "1.6")
gi.require_version("GUPnPAV", "1.0")
from gi.repository import GLib, GObject, GUPnP, GUPnPAV  # noqa: E402

warnings.simplefilter("ignore", DeprecationWarning)

CDS = "urn:schemas-upnp-org:service:ContentDirectory:1"


def discover(name, seconds):
    """Device proxies by friendly name (all of them when name is None)."""
    context = GUPnP.Context.new("lo", 0)
    cp = GUPnP.ControlPoint.new(context, "urn:schemas-upnp-org:device:MediaServer:1")
    found = {}
    loop = GLib.MainLoop()

    def available(_cp, proxy):
        found.setdefault(proxy.get_udn(), proxy)
        if name is not None and proxy.get_friendly_name() == name:
            loop.quit()

    cp.connect("device-proxy-available", available)
    cp.set_active(True)
    GLib.timeout_add(int(seconds * 1000), loop.quit)
    loop.run()
    return cp, context, found


def browse(service, object_id):
    action = GUPnP.ServiceProxyAction.new_from_list(
        "Browse",
        ["ObjectID", "BrowseFlag", "Filter", "StartingIndex", "RequestedCount", "SortCriteria"],
        [object_id, "BrowseDirectChildren", "*", 0, 0, ""])
    service.call_action(action, None)
    ok, values = action.get_result_list(["Result", "TotalMatches"],
                                        [GObject.TYPE_STRING, GObject.TYPE_UINT])
    parser = GUPnPAV.DIDLLiteParser()
    children = []
    parser.connect("container-available", lambda _p, c: children.append(("c", c)))
    parser.connect("item-available", lambda _p, i: children.append(("i", i)))
    parser.parse_didl(values[0])
    if len(children) != values[1]:
        raise SystemExit("TotalMatches %d but %d children" % (values[1], len(children)))
    return children


def server(name, seconds=8):
    cp, context, found = discover(name, seconds)
    for proxy in found.values():
        if proxy.get_friendly_name() == name:
            return cp, context, proxy
    print("not found", file=sys.stderr)
    sys.exit(1)


def main():
    command = sys.argv[1]
    if command == "names":
        _cp, _ctx, found = discover(None, float(sys.argv[2]))
        for udn, proxy in sorted(found.items()):
            print(proxy.get_friendly_name(), udn, proxy.get_location())
        return
    if command == "fetch":
        _cp, _ctx, proxy = server(sys.argv[2])
        service = proxy.get_service(CDS)
        for path in sys.argv[3:]:
            object_id, node = "0", None
            for step in path.split("/"):
                children = browse(service, object_id)
                match = [c for c in children if c[1].get_title() == step]
                if not match:
                    raise SystemExit("no %r under %r: %r" % (
                        step, object_id, [c[1].get_title() for c in children]))
                node = match[0][1]
                object_id = node.get_id()
            resource = node.get_resources()[0]
            info = resource.get_protocol_info()
            with urllib.request.urlopen(resource.get_uri(), timeout=10) as reply:
                data = reply.read()
                features = reply.headers.get("contentFeatures.dlna.org")
            print(path, len(data), hashlib.sha256(data).hexdigest(), info.get_mime_type(),
                  resource.get_size64(), info.get_dlna_profile(), features,
                  "| duration=%d bitrate=%d rate=%d channels=%d artist=%s art=%s" % (
                      resource.get_duration(), resource.get_bitrate(), resource.get_sample_freq(),
                      resource.get_audio_channels(), node.get_artist(), node.get_album_art()))
        return
    if command == "art":
        # art NAME OUTDIR PATH...: each item's upnp:albumArtURI fetched into
        # OUTDIR/N.jpg; prints the path, the art's contentFeatures and the
        # DLNA profiles of the item's resources ("none" without art).
        _cp, _ctx, proxy = server(sys.argv[2])
        service = proxy.get_service(CDS)
        for n, path in enumerate(sys.argv[4:]):
            object_id, node = "0", None
            for step in path.split("/"):
                children = browse(service, object_id)
                match = [c for c in children if c[1].get_title() == step]
                if not match:
                    raise SystemExit("no %r under %r: %r" % (
                        step, object_id, [c[1].get_title() for c in children]))
                node = match[0][1]
                object_id = node.get_id()
            profiles = [r.get_protocol_info().get_dlna_profile() or "-" for r in node.get_resources()]
            art = node.get_album_art()
            if not art:
                print(path, "none", ",".join(profiles))
                continue
            with urllib.request.urlopen(art, timeout=20) as reply:
                data = reply.read()
                features = reply.headers.get("contentFeatures.dlna.org")
            with open("%s/%d.jpg" % (sys.argv[3], n), "wb") as out:
                out.write(data)
            print(path, features, ",".join(profiles))
        return
    if command == "watch":
        cp, _ctx, proxy = server(sys.argv[2])
        service = proxy.get_service(CDS)
        loop = GLib.MainLoop()
        seen = []

        def changed(_proxy, _variable, value):
            seen.append(value.get_uint() if hasattr(value, "get_uint") else value)
            print("update", seen[-1], flush=True)
            if len(seen) > 1:
                loop.quit()

        service.add_notify("SystemUpdateID", GObject.TYPE_UINT, changed)
        service.set_subscribed(True)
        print("subscribed", flush=True)
        GLib.timeout_add(int(float(sys.argv[3]) * 1000), loop.quit)
        loop.run()
        return
    raise SystemExit("unknown command " + command)


if __name__ == "__main__":
    main()
