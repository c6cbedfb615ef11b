#include "servercontrol.h"

#if defined(Q_OS_WIN)
#error "No Windows backend yet: add servercontrol_windows.h/.cpp beside the POSIX one and select it here."
#else
#include "servercontrol_posix.h"
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
