#include "servercontrol.h"

#if defined(Q_OS_WIN)
#include "windowsservercontrol.h"
using PlatformServerControl = WindowsServerControl;
#else
#include "posixservercontrol.h"
using PlatformServerControl = PosixServerControl;
#endif

QString serverProgramName()
{
    return PlatformServerControl::programName();
}

std::unique_ptr<ServerControl> createPlatformServerControl()
{
    return std::make_unique<PlatformServerControl>();
}

QString serverExitText(const ServerExit &exit)
{
    QString text;
    switch (exit.kind) {
    case ServerExit::Kind::Exited:
        text = QStringLiteral("Orbelith Server exited with code %1").arg(exit.code);
        break;
    case ServerExit::Kind::Signalled:
        text =
            QStringLiteral("Orbelith Server was ended by signal %1 (%2)").arg(exit.code).arg(exit.signalName);
        break;
    case ServerExit::Kind::Unknown:
        text = QStringLiteral("Orbelith Server ended");
        break;
    }
    if (!exit.lastLine.isEmpty())
        text += QStringLiteral(": ") + exit.lastLine;
    return text;
}
