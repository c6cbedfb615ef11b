#!/usr/bin/python3
# A desktop panel's tray over D-Bus: a StatusNotifierWatcher with a host of its
# own, as KDE Plasma and the GNOME AppIndicator extension provide, and the
# desktop's notification service (org.freedesktop.Notifications). It prints
# "ready" once it owns both names, "registered <item>" and "unregistered
# <item>" as items come and go, "notify <JSON>" for each notification (its id,
# app_name, summary, body and actions), and answers commands on its standard
# input, one a line:
#   describe    the single item: "title <text>", "menu none|exported",
#               "pixmap <width> <height> <ARGB32 as hex>" for each icon
#               image, then "end"
#   activate | secondary | context | activate-twice
#               calls Activate, SecondaryActivate, ContextMenu, or Activate
#               twice without waiting in between; "reply <method> ok|error"
#   click-notification
#               the last notification was clicked: ActionInvoked with its
#               "default" action
# It ends when its standard input closes.
import json
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"

# dbus-python leaves properties out of its introspection data; Qt reads the
# watcher's properties through it, and without them decides there is no tray.
PROPERTIES_XML = (
    '<property name="RegisteredStatusNotifierItems" type="as" access="read"/>'
    '<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>'
    '<property name="ProtocolVersion" type="i" access="read"/>'
)


def say(line):
    print(line, flush=True)


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        self.bus = bus
        self.items = []  # (bus name, object path)
        self.name = dbus.service.BusName(WATCHER, bus)
        super().__init__(self.name, "/StatusNotifierWatcher")
        bus.add_signal_receiver(self.name_owner_changed, "NameOwnerChanged", "org.freedesktop.DBus")

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        item = (sender, service) if service.startswith("/") else (service, "/StatusNotifierItem")
        if item not in self.items:
            self.items.append(item)
            say("registered %s%s" % item)
            self.StatusNotifierItemRegistered("%s%s" % item)

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, item):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemUnregistered(self, item):
        pass

    @dbus.service.signal(WATCHER, signature="")
    def StatusNotifierHostRegistered(self):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {
            "RegisteredStatusNotifierItems": dbus.Array(["%s%s" % i for i in self.items], signature="s"),
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
        }

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, in_signature="", out_signature="s",
                         path_keyword="object_path", connection_keyword="connection")
    def Introspect(self, object_path, connection):
        xml = dbus.service.Object.Introspect(self, object_path, connection)
        opening = '<interface name="%s">' % WATCHER
        return xml.replace(opening, opening + PROPERTIES_XML)

    def name_owner_changed(self, name, old_owner, new_owner):
        if new_owner:
            return
        for item in [i for i in self.items if name in (i[0], old_owner)]:
            self.items.remove(item)
            say("unregistered %s%s" % item)
            self.StatusNotifierItemUnregistered("%s%s" % item)

    # The host's side: what a panel does with the single item.
    def item(self):
        if len(self.items) != 1:
            say("error %d items" % len(self.items))
            return None
        return self.bus.get_object(self.items[0][0], self.items[0][1], introspect=False)

    def describe(self):
        proxy = self.item()
        if proxy is None:
            return

        def described(props):
            say("title " + str(props["ToolTip"][2]))
            for width, height, data in props.get("IconPixmap", []):
                say("pixmap %d %d %s" % (width, height, bytes(data).hex()))
            menu = str(props.get("Menu", ""))
            if menu in ("", "/", "/NO_DBUSMENU"):
                say("menu none")
                say("end")
                return
            proxy_menu = self.bus.get_object(self.items[0][0], menu, introspect=False)
            proxy_menu.GetLayout(0, -1, dbus.Array([], signature="s"), dbus_interface="com.canonical.dbusmenu",
                                 reply_handler=lambda *a: (say("menu exported"), say("end")),
                                 error_handler=lambda e: (say("menu none"), say("end")))

        proxy.GetAll(ITEM, dbus_interface=dbus.PROPERTIES_IFACE, reply_handler=described,
                     error_handler=lambda e: say("error " + e.get_dbus_name()))

    def call(self, method, times=1):
        proxy = self.item()
        if proxy is None:
            return
        for _ in range(times):
            getattr(proxy, method)(0, 0, dbus_interface=ITEM,
                                   reply_handler=lambda: say("reply %s ok" % method),
                                   error_handler=lambda e: say("reply %s error" % method))


NOTIFICATIONS = "org.freedesktop.Notifications"


class Notifications(dbus.service.Object):
    def __init__(self, bus):
        self.name = dbus.service.BusName(NOTIFICATIONS, bus)
        super().__init__(self.name, "/org/freedesktop/Notifications")
        self.last_id = 0

    @dbus.service.method(NOTIFICATIONS, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints, timeout):
        self.last_id += 1
        say("notify " + json.dumps({"id": self.last_id, "app_name": str(app_name), "summary": str(summary),
                                    "body": str(body), "actions": [str(a) for a in actions]}))
        return self.last_id

    # Qt's tray calls only Notify, and listens for ActionInvoked.
    @dbus.service.signal(NOTIFICATIONS, signature="us")
    def ActionInvoked(self, notification_id, action_key):
        pass

    def click(self):
        self.ActionInvoked(self.last_id, "default")


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus)
    notifications = Notifications(bus)
    loop = GLib.MainLoop()
    commands = {
        "describe": watcher.describe,
        "activate": lambda: watcher.call("Activate"),
        "activate-twice": lambda: watcher.call("Activate", 2),
        "secondary": lambda: watcher.call("SecondaryActivate"),
        "context": lambda: watcher.call("ContextMenu"),
        "click-notification": notifications.click,
    }

    def on_input(source, condition):
        line = sys.stdin.readline()
        if not line:
            loop.quit()
            return False
        commands.get(line.strip(), lambda: say("error unknown command"))()
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_input)
    say("ready")
    loop.run()


main()
