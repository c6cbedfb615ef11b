#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <memory>
#include <optional>

// What the core's files do differently per platform: one implementation in
// posix/files.cpp and one in windows/files.cpp, chosen in CMake.

// A name for the process's working folder that the file functions reach it
// by: its absolute name, or on Linux "/proc/self/cwd" when that name is not
// text (not UTF-8), which QDir::currentPath() cannot hold and which Qt's
// files, QSaveFile among them, would take for another name.
QString workingFolder();

// What reading a small regular file found.
struct SmallFileRead
{
    enum class State
    {
        Read,
        Missing,
        Unusable,
    };
    State state = State::Missing;
    QByteArray contents;
    // Why it cannot be used, in plain words, when it is Unusable.
    QString reason;
};

// Reads the regular file at path, of at most maxSize bytes. Anything else at
// that name (a folder, a FIFO, a device), or a file that cannot be read, is
// refused without waiting on it.
SmallFileRead readSmallRegularFile(const QString &path, qint64 maxSize);

// One settings file, written beside its place first and put there later.
// write() puts the whole content into a new file in the folder that the name
// leads to, and commit() puts it in place of the file there; a file never
// committed is discarded with the object. Each returns why it failed, in
// plain words, or nothing. On Linux a link at the name is followed only when
// it is the user's own or root's (another user may have made it in a folder
// that everyone may write to), and the new file goes where the name led when
// it was checked, whatever happens to the name afterwards.
class StagedFile
{
public:
    StagedFile();
    ~StagedFile();
    Q_DISABLE_COPY_MOVE(StagedFile)

    QString write(const QString &directory, const QString &name, const QByteArray &bytes);
    QString commit();

private:
    struct Private;
    std::unique_ptr<Private> d;
};
