#pragma once

#include <QStringList>

// The program's command line as text, from main's arguments, the program as
// it was called first. On Windows main's arguments are in the system's code
// page, which lacks most of the world's letters: the command line is read as
// Windows keeps it, in UTF-16, instead (windows/; posix/ elsewhere).
QStringList programArguments(int argc, char *argv[]);
