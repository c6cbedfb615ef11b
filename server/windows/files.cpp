#include "platformfiles.h"

#include "win32control.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

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
    // Shared for deletion too, unlike QFile: another Start here may put a new
    // file in its place meanwhile, which a reader without it would refuse.
    const win32::UniqueHandle file(::CreateFileW(QDir::toNativeSeparators(path).toStdWString().c_str(),
                                                 GENERIC_READ,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.get(), &size))
        return unusable(QString::fromStdWString(win32::errorText(::GetLastError())));
    if (size.QuadPart > maxSize)
        return unusable(QStringLiteral("it is larger than %1 MiB").arg(maxSize / (1024 * 1024)));
    QByteArray contents(qsizetype(size.QuadPart), Qt::Uninitialized);
    DWORD got = 0;
    if (!::ReadFile(file.get(), contents.data(), DWORD(contents.size()), &got, nullptr))
        return unusable(QString::fromStdWString(win32::errorText(::GetLastError())));
    contents.truncate(qsizetype(got));
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
    QString path;
    QByteArray bytes;
};

namespace {

QString holdersText(const std::vector<win32::FileHolder> &holders)
{
    if (holders.empty())
        return QStringLiteral("another program");
    QStringList names;
    for (const win32::FileHolder &holder : holders)
        names.append(
            QStringLiteral("%1 (PID %2)").arg(QString::fromStdWString(holder.name)).arg(holder.processId));
    return names.join(QStringLiteral(", "));
}

// After the new file could not take the old one's place: another program may
// hold the old one open (a log viewer, a tail tool, another reader of it for a
// moment), which lets it be written but not replaced; it is written in place
// then, as the design's own Start rewrites it. Nothing when it cannot be
// written either for another reason: the failure stands as it was.
std::optional<QString> writeInPlaceInstead(const QString &path, const QByteArray &bytes)
{
    using Outcome = win32::InPlaceWrite::Outcome;
    const win32::InPlaceWrite write = win32::writeInPlace(
        QDir::toNativeSeparators(path).toStdWString(), std::string(bytes.constData(), size_t(bytes.size())));
    const QString error = QString::fromStdWString(win32::errorText(write.error));
    switch (write.outcome) {
    case Outcome::Written:
        return QString();
    case Outcome::NotWritable:
        break;
    case Outcome::HeldAgainstWriting:
        return QStringLiteral("%1 holds it open and lets no other program replace or change it (%2). Close "
                              "it there, then Start again.")
            .arg(holdersText(write.holders), error);
    case Outcome::WrittenPartly:
        return QStringLiteral("it could not be replaced, so it was written in place, and that failed partway "
                              "(%1): the file is incomplete now. Start again once that is mended.")
            .arg(error);
    }
    return std::nullopt;
}

} // namespace

StagedFile::StagedFile() : d(std::make_unique<Private>()) {}

StagedFile::~StagedFile() = default;

QString StagedFile::write(const QString &directory, const QString &name, const QByteArray &bytes)
{
    const QString path = QDir(directory).filePath(name);
    if (const QString refused = untrustedLinkReason(path); !refused.isEmpty())
        return refused;
    d->file = std::make_unique<QSaveFile>(path);
    d->path = path;
    d->bytes = bytes;
    if (!d->file->open(QIODevice::WriteOnly) || d->file->write(bytes) != bytes.size() || !d->file->flush())
        return d->file->errorString();
    return {};
}

QString StagedFile::commit()
{
    if (!d->file)
        return QStringLiteral("nothing was written");
    if (d->file->commit())
        return {};
    return writeInPlaceInstead(d->path, d->bytes).value_or(d->file->errorString());
}
