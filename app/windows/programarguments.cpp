#include "programarguments.h"

#include <windows.h>

#include <shellapi.h>

QStringList programArguments(int, char *[])
{
    // Split as the C runtime and Qt split it.
    int count = 0;
    wchar_t **parsed = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    QStringList arguments;
    for (int i = 0; parsed && i < count; ++i)
        arguments.append(QString::fromWCharArray(parsed[i]));
    ::LocalFree(parsed);
    return arguments;
}
