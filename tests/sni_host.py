#!/usr/bin/python3
# A minimal D-Bus tray (StatusNotifierWatcher with a host) for the tests, on
# the session bus that DBUS_SESSION_BUS_ADDRESS names, and a probe that acts
# as a tray host would on the item that registered with it.
#   sni_host.py watch          own the watcher; print "ready", then "item NAME" per item
#   sni_host.py title          the item's Title
#   sni_host.py activate       a left click on the icon (Activate)
#   sni_host.py toggles        "LABEL=STATE" per checkable menu item (GetLayout only)
#   sni_host.py click LABEL    choose the menu item LABEL (Event "clicked")
import sys

from gi.repository import Gio, GLib

WATCHER = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
TIMEOUT_MS = 5000

WATCHER_XML = """
<node><interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
</interface></node>"""


def watch():
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    items = []

    def call(conn, sender, path, iface, method, params, invocation):
        if method == "RegisterStatusNotifierItem":
            name = params.unpack()[0]
            # Some items give their object path; the sender is then the service.
            service = sender if name.startswith("/") else name
            items.append(service)
            print("item", service, flush=True)
            conn.emit_signal(None, WATCHER_PATH, WATCHER, "StatusNotifierItemRegistered",
                             GLib.Variant("(s)", (service,)))
        invocation.return_value(None)

    def get(conn, sender, path, iface, prop):
        return {"RegisteredStatusNotifierItems": GLib.Variant("as", items),
                "IsStatusNotifierHostRegistered": GLib.Variant("b", True),
                "ProtocolVersion": GLib.Variant("i", 0)}[prop]

    info = Gio.DBusNodeInfo.new_for_xml(WATCHER_XML).interfaces[0]
    bus.register_object(WATCHER_PATH, info, call, get, None)
    loop = GLib.MainLoop()
    Gio.bus_own_name_on_connection(bus, WATCHER, Gio.BusNameOwnerFlags.NONE,
                                   lambda *a: print("ready", flush=True), lambda *a: loop.quit())
    loop.run()


def bus_call(bus, name, path, iface, method, args, reply):
    return bus.call_sync(name, path, iface, method, args, GLib.VariantType(reply) if reply else None,
                         Gio.DBusCallFlags.NONE, TIMEOUT_MS, None)


def prop(bus, name, path, iface, key):
    return bus_call(bus, name, path, "org.freedesktop.DBus.Properties", "Get",
                    GLib.Variant("(ss)", (iface, key)), "(v)").unpack()[0]


def menu_items(bus, item):
    menu = prop(bus, item, "/StatusNotifierItem", ITEM, "Menu")
    layout = bus_call(bus, item, menu, MENU, "GetLayout",
                      GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))").unpack()[1]
    found = []
    todo = [layout]   # walked without recursion
    while todo:
        ident, props, children = todo.pop()
        if "label" in props:
            found.append((ident, props["label"].replace("_", ""), props))
        todo.extend(children)
    return menu, found


def main():
    cmd = sys.argv[1]
    if cmd == "watch":
        return watch()
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    items = prop(bus, WATCHER, WATCHER_PATH, WATCHER, "RegisteredStatusNotifierItems")
    if not items:
        sys.exit("no item registered")
    item = items[-1]
    if cmd == "title":
        print(prop(bus, item, "/StatusNotifierItem", ITEM, "Title"))
    elif cmd == "activate":
        bus_call(bus, item, "/StatusNotifierItem", ITEM, "Activate", GLib.Variant("(ii)", (0, 0)), None)
    elif cmd == "toggles":
        for ident, label, props in sorted(menu_items(bus, item)[1]):
            if props.get("toggle-type") == "checkmark":
                print("%s=%d" % (label, props.get("toggle-state", 0)))
    elif cmd == "click":
        menu, found = menu_items(bus, item)
        ident = [i for i, label, _ in found if label == sys.argv[2]]
        if not ident:
            sys.exit("no menu item %r" % sys.argv[2])
        bus_call(bus, item, menu, MENU, "Event",
                 GLib.Variant("(isvu)", (ident[0], "clicked", GLib.Variant("i", 0), 0)), None)


main()
