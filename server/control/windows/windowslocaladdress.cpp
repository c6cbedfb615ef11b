#include "localaddress.h"

#include "win32control.h"

// Windows' own list of adapters, in its order (GetAdaptersAddresses).
QString localIpAddress()
{
    return QString::fromStdWString(win32::localIpv4Address());
}
