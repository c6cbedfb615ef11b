#include "workingfolder.h"

#include <QDir>
#include <QFile>

#if defined(Q_OS_UNIX)
#include <unistd.h>

#include <climits>
#endif

QString workingFolder()
{
    const QString current = QDir::currentPath();
#if defined(Q_OS_LINUX)
    char bytes[PATH_MAX];
    if (::getcwd(bytes, sizeof bytes) && QFile::encodeName(current) != QByteArray(bytes))
        return QStringLiteral("/proc/self/cwd");
#endif
    return current;
}
