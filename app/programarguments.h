#pragma once

#include "result.h"

#include <QString>
#include <QStringList>

#include <cstdio>

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

// Writes the text where the user reads it: in the console's own characters
// on Windows, in the locale's elsewhere.
void printText(std::FILE *stream, const QString &text);
