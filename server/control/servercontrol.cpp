#include "servercontrol.h"

#if defined(Q_OS_WIN)
#error "No Windows backend yet: add it in control/windows/ and select it here."
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
