#include "platformfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

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

struct StagedFile::Private
{
    std::unique_ptr<QSaveFile> file;
};

StagedFile::StagedFile() : d(std::make_unique<Private>()) {}

StagedFile::~StagedFile() = default;

QString StagedFile::write(const QString &directory, const QString &name, const QByteArray &bytes)
{
    const QString path = QDir(directory).filePath(name);
    if (const QString refused = untrustedLinkReason(path); !refused.isEmpty())
        return refused;
    d->file = std::make_unique<QSaveFile>(path);
    if (!d->file->open(QIODevice::WriteOnly) || d->file->write(bytes) != bytes.size() || !d->file->flush())
        return d->file->errorString();
    return {};
}

QString StagedFile::commit()
{
    if (!d->file || !d->file->commit())
        return d->file ? d->file->errorString() : QStringLiteral("nothing was written");
    return {};
}
