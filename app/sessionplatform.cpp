#include "sessionplatform.h"

#include <QProcessEnvironment>

#include <vector>

QByteArray platformForSession(const QProcessEnvironment &environment)
{
    if (!environment.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty())
        return QByteArray(); // the user's own choice
    if (environment.value(QStringLiteral("XDG_SESSION_TYPE")) != QLatin1String("wayland"))
        return QByteArray();
    // DISPLAY on a Wayland session names its Xwayland server; without one the
    // window runs natively and minimizes to the taskbar.
    if (environment.value(QStringLiteral("DISPLAY")).isEmpty())
        return QByteArray();
    return QByteArrayLiteral("xcb");
}

void preferXwaylandOnWayland(int &argc, char **&argv)
{
    static QByteArray platform;
    static char option[] = "-platform";
    static std::vector<char *> arguments;
    platform = platformForSession(QProcessEnvironment::systemEnvironment());
    if (platform.isEmpty())
        return;
    arguments.assign(argv, argv + argc);
    arguments.push_back(option);
    arguments.push_back(platform.data());
    arguments.push_back(nullptr);
    argc += 2;
    argv = arguments.data();
}
