#pragma once

#include "result.h"

#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdio>
#include <optional>

// main's arguments as text, each of them whole. On Windows they come from the
// wide command line, as the system holds them. Elsewhere they are bytes, and
// a file name need not be UTF-8: each byte that is not part of a UTF-8
// character becomes one of U+DC80..U+DCFF, which no decoded UTF-8 text
// holds, so that the name keeps its bytes on its way to the system.
QStringList programArguments(int argc, char *argv[]);

// Makes the folder the process's working folder, where the program reads and
// writes the server's files and starts the server. The name is as
// programArguments() gives it, or any other text. On failure, the reason in
// plain words ("it does not exist").
Result enterFolder(const QString &path);

// A name from programArguments() as one line for the user: a byte that is
// not UTF-8 shows as U+FFFD.
QString displayedName(const QString &path);

// The folder a folder picker chose, by the name the system holds, as
// programArguments() gives it: where the picker's name is not the folder's
// own (on Linux a picker shows each byte of a name that is not UTF-8 as
// U+FFFD, and gives that back), the folder whose entries show so, one only.
// Nothing where there is none, or the picker's name is the folder's own.
std::optional<QString> pickedFolder(const QString &shown);

// A folder's name as the user's configuration keeps it: text, or the bytes
// of a name that is not UTF-8. And back, as programArguments() gives it.
QVariant folderSetting(const QString &path);
QString folderFromSetting(const QVariant &setting);

// Writes the text where the user reads it: in the console's own characters
// on Windows, in the locale's elsewhere.
void printText(std::FILE *stream, const QString &text);
