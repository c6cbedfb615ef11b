#pragma once

#include <QByteArray>

class QProcessEnvironment;

// The Qt platform the program asks for in the session it starts in; empty
// leaves the choice to Qt. On a Wayland session with Xwayland, and no platform
// chosen by the user, it is xcb: Wayland tells no program that its window was
// minimized, so minimize-to-tray would never happen there.
QByteArray platformForSession(const QProcessEnvironment &environment);

// Adds that choice to the command line the application is about to read, so
// that programs started from this one do not inherit it. Call it before the
// application is created.
void preferXwaylandOnWayland(int &argc, char **&argv);
