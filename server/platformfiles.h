#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

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

// Why the settings file at path may not be written through the link there,
// in plain words; empty when it may be written. On Linux a link that another
// user made (in a folder that everyone may write to) is not followed.
QString untrustedLinkReason(const QString &path);
