#include "servercontrol.h"

#if defined(Q_OS_WIN)
#include "windowsservercontrol.h"
using PlatformServerControl = WindowsServerControl;
#else
#include "posixservercontrol.h"
using PlatformServerControl = PosixServerControl;
#endif

#include <QMetaObject>

void ServerControl::startSearch()
{
    // Answered from the event loop, as a slow search on a thread would be.
    QMetaObject::invokeMethod(
        this, [this] { emit searchAnswered(findRunningServer()); }, Qt::QueuedConnection);
}

QString serverProgramName()
{
    return PlatformServerControl::programName();
}

std::unique_ptr<ServerControl> createPlatformServerControl()
{
    return std::make_unique<PlatformServerControl>();
}
