#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>
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
// it was checked, whatever happens to the name afterwards. On Windows, where
// another program (a log viewer) holds the old file open so that it may be
// written but not replaced, commit() writes into it in place; where it may
// not be written either, it names that program where Windows tells.
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

// The system's 8-bit text, in which both settings files are written and read:
// on Linux UTF-8; on Windows the ANSI code page (UTF-8 only where that is code
// page 65001), as the server reads its configuration there.
struct EightBitText
{
    QByteArray bytes;
    // Where the first character that the system's 8-bit text cannot hold
    // starts; -1 when it holds every one.
    qsizetype unwritableAt = -1;
};
EightBitText toEightBitText(QStringView text);

// A settings file's bytes as text. On Linux UTF-8 (a byte-order mark
// dropped). On Windows the same where the file begins with that mark or is
// valid UTF-8 throughout (as earlier builds of this program wrote it), else
// the ANSI code page.
QString fromEightBitText(QByteArrayView bytes);

// The system's 8-bit text in a sentence: "this system's code page (936)".
QString eightBitTextName();

// Why Start may not write its files into the folder, in plain words, found
// before anything is written; empty when nothing speaks against it. On
// Windows: a folder under Program Files that only administrators may write to.
QString folderRefusalReason(const QString &directory);
