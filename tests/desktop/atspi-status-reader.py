#!/usr/bin/python3
# A screen reader's view of one program: prints "ready" once it listens, then
# for every name change of a status bar in that program the name it reads back
# over AT-SPI, as "heard: <name>", until it is ended.
import sys

import pyatspi

program = sys.argv[1]


def on_name_changed(event):
    try:
        if event.host_application.name != program:
            return
        if event.source.getRole() != pyatspi.ROLE_STATUS_BAR:
            return
        print("heard: " + event.source.name, flush=True)
    except Exception as error:  # an object gone meanwhile: say so, go on
        print("error: %s" % error, flush=True)


pyatspi.Registry.registerEventListener(on_name_changed, "object:property-change:accessible-name")
print("ready", flush=True)
pyatspi.Registry.start()
