#include "platformfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QString workingFolder()
{
    return QDir::currentPath();
}

namespace {

SmallFileRead unusable(const QString &reason)
{
    return {SmallFileRead::State::Unusable, {}, reason};
}

} // namespace

SmallFileRead readSmallRegularFile(const QString &path, qint64 maxSize)
{
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    if (info.isDir())
        return unusable(QStringLiteral("it is a folder"));
    if (!info.isFile())
        return unusable(QStringLiteral("it is not a regular file"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return unusable(file.errorString());
    if (file.size() > maxSize)
        return unusable(QStringLiteral("it is larger than %1 MiB").arg(maxSize / (1024 * 1024)));
    const QByteArray contents = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return unusable(file.errorString());
    return {SmallFileRead::State::Read, contents, {}};
}

// Windows lets only administrators (or developer mode) make links, and has no
// sticky folders shared by every user.
QString untrustedLinkReason(const QString &)
{
    return {};
}
